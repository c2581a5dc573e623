#include "app/box_tooltip.h"

#include <QDateTime>
#include <QStringList>
#include <algorithm>

namespace tessamer {
namespace {

const QString kSeparator = QStringLiteral(" \u00B7 ");

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

milliseconds Since(WallClock::time_point then, WallClock::time_point now) {
  return duration_cast<milliseconds>(now - then);
}

// Serial number and firmware, where the box's header has told them.
void AppendIdentity(const BoxHealth& box, QStringList& parts) {
  if (!box.serialNumber.empty()) {
    parts << QStringLiteral("serial ") + QString::fromStdString(box.serialNumber);
  }
  if (!box.firmware.empty()) {
    parts << QStringLiteral("firmware ") + QString::fromStdString(box.firmware);
  }
}

void AppendError(const BoxHealth& box, QStringList& parts) {
  if (!box.lastError.empty()) parts << QString::fromStdString(box.lastError);
}

QString SilentText(const BoxHealth& box, WallClock::time_point now) {
  const milliseconds age = box.newestRecordAge.value_or(Since(box.stateSince, now));
  const int64_t whole = std::max<int64_t>(0, duration_cast<seconds>(age).count());
  return QStringLiteral("Silent for %1 s").arg(whole);
}

}  // namespace

QString TimeOfDay(WallClock::time_point when) {
  const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
  return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
}

QString Elapsed(milliseconds duration) {
  const int64_t total = std::max<int64_t>(0, duration_cast<seconds>(duration).count());
  return QStringLiteral("%1:%2:%3")
      .arg(total / 3600, 2, 10, QLatin1Char('0'))
      .arg(total / 60 % 60, 2, 10, QLatin1Char('0'))
      .arg(total % 60, 2, 10, QLatin1Char('0'));
}

QString BoxToolTip(const BoxHealth& box, WallClock::time_point now) {
  QStringList parts;
  switch (box.state) {
    case BoxState::Idle:
      parts << QStringLiteral("Not connected");
      break;
    case BoxState::Connecting:
      parts << QStringLiteral("Connecting since ") + TimeOfDay(box.stateSince);
      if (box.reconnections > 0) parts << QStringLiteral("reconnection %1").arg(box.reconnections);
      AppendError(box, parts);
      break;
    case BoxState::Connected:
      parts << QStringLiteral("Connected since ") + TimeOfDay(box.stateSince)
            << QStringLiteral("%1 records/s").arg(box.recordsPerSecond, 0, 'f', 1);
      AppendIdentity(box, parts);
      break;
    case BoxState::Silent:
      parts << SilentText(box, now);
      AppendIdentity(box, parts);
      break;
    case BoxState::Lost:
      parts << QStringLiteral("Lost %1 ago").arg(Elapsed(Since(box.stateSince, now)))
            << QStringLiteral("reconnecting");
      AppendError(box, parts);
      break;
    case BoxState::Failed:
      parts << QStringLiteral("Could not connect at ") + TimeOfDay(box.stateSince);
      AppendError(box, parts);
      break;
    case BoxState::Stopped:
      parts << QStringLiteral("Stopped at ") + TimeOfDay(box.stateSince)
            << QStringLiteral("%1 records").arg(box.records);
      break;
  }
  return parts.join(kSeparator);
}

}  // namespace tessamer
