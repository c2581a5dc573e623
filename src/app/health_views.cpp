#include "app/health_views.h"

#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <QStringList>
#include <QTableView>
#include <QVBoxLayout>

#include "app/box_tooltip.h"

namespace tessamer {

CRefreshWhileShown::CRefreshWhileShown(QWidget* widget, std::function<void()> refresh)
    : refresh(std::move(refresh)) {
  timer.setInterval(kHealthRefreshMs);
  connect(&timer, &QTimer::timeout, this, [this] { this->refresh(); });
  widget->installEventFilter(this);
}

bool CRefreshWhileShown::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show) {
    refresh();
    timer.start();
  } else if (event->type() == QEvent::Hide) {
    timer.stop();
  }
  return QObject::eventFilter(watched, event);
}

namespace {

const QString kSeparator = QStringLiteral(" \u00B7 ");

enum BoxColumn {
  kBoxRow, kBoxAddress, kBoxState, kBoxSince, kBoxConnections, kBoxReconnections, kBoxRecords,
  kBoxRate, kBoxNewest, kBoxRejected, kBoxSerial, kBoxFirmware, kBoxJobType, kBoxLastError,
  kBoxColumns
};
constexpr const char* kBoxHeaders[kBoxColumns] = {
    "Row", "Box", "State", "Since", "Links", "Reconnections", "Records", "Records/s",
    "Newest record", "Rejected lines", "Serial", "Firmware", "Job type", "Last error"};

enum ViewerColumn {
  kViewerSocket, kViewerPeer, kViewerSince, kViewerLines, kViewerBytes, kViewerQueued,
  kViewerState, kViewerColumns
};
constexpr const char* kViewerHeaders[kViewerColumns] = {
    "Socket", "Peer", "Connected since", "Lines sent", "Bytes sent", "Bytes queued", "State"};

QString Text(const std::string& text) { return QString::fromStdString(text); }

QString AgeText(const std::optional<std::chrono::milliseconds>& age) {
  if (!age) return QStringLiteral("\u2014");
  return QStringLiteral("%1 s ago").arg(static_cast<double>(age->count()) / 1000.0, 0, 'f', 1);
}

QVariant BoxCell(const BoxHealth& box, int column) {
  switch (column) {
    case kBoxRow: return box.row + 1;
    case kBoxAddress: return QStringLiteral("%1:%2").arg(Text(box.address)).arg(box.port);
    case kBoxState: return QString::fromLatin1(BoxStateName(box.state));
    case kBoxSince: return TimeOfDay(box.stateSince);
    case kBoxConnections: return box.connections;
    case kBoxReconnections: return box.reconnections;
    case kBoxRecords: return QVariant::fromValue<qulonglong>(box.records);
    case kBoxRate: return QString::number(box.recordsPerSecond, 'f', 1);
    case kBoxNewest: return AgeText(box.newestRecordAge);
    case kBoxRejected: return QVariant::fromValue<qulonglong>(box.rejectedLines);
    case kBoxSerial: return Text(box.serialNumber);
    case kBoxFirmware: return Text(box.firmware);
    case kBoxJobType: return Text(box.jobType);
    case kBoxLastError: return Text(box.lastError);
    default: return {};
  }
}

QString ViewerState(const ViewerHealth& viewer) {
  if (viewer.closedForFallingBehind) return QStringLiteral("closed: fell behind");
  return viewer.connected ? QStringLiteral("connected") : QStringLiteral("gone");
}

QVariant ViewerCell(const ViewerHealth& viewer, int column) {
  switch (column) {
    case kViewerSocket: return QVariant::fromValue<qlonglong>(viewer.socket);
    case kViewerPeer:
      return QStringLiteral("%1:%2").arg(Text(viewer.peerAddress)).arg(viewer.peerPort);
    case kViewerSince: return TimeOfDay(viewer.connectedSince);
    case kViewerLines: return QVariant::fromValue<qulonglong>(viewer.linesSent);
    case kViewerBytes: return QVariant::fromValue<qulonglong>(viewer.bytesSent);
    case kViewerQueued: return QVariant::fromValue<qulonglong>(viewer.bytesQueued);
    case kViewerState: return ViewerState(viewer);
    default: return {};
  }
}

// Figures right, texts left.
QVariant Alignment(bool figure) {
  return QVariant::fromValue(Qt::AlignVCenter | (figure ? Qt::AlignRight : Qt::AlignLeft));
}

bool IsBoxFigure(int column) {
  return column == kBoxRow || (column >= kBoxConnections && column <= kBoxRejected);
}

bool IsViewerFigure(int column) {
  return column == kViewerSocket || (column >= kViewerLines && column <= kViewerQueued);
}

QTableView* MakeTable(QAbstractTableModel* model, QWidget* parent) {
  auto* view = new QTableView(parent);
  view->setModel(model);
  view->verticalHeader()->hide();
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setAlternatingRowColors(true);
  view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  view->horizontalHeader()->setStretchLastSection(true);
  return view;
}

}  // namespace

int CSnapshotTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(Rows());
}

int CSnapshotTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(headings.size());
}

QVariant CSnapshotTableModel::headerData(int section, Qt::Orientation orientation,
                                         int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= columnCount()) {
    return {};
  }
  return QString::fromLatin1(headings[static_cast<size_t>(section)]);
}

CBoxTableModel::CBoxTableModel(QObject* parent) : CSnapshotTableModel(kBoxHeaders, parent) {}

void CBoxTableModel::SetBoxes(std::vector<BoxHealth> fresh, WallClock::time_point when) {
  now = when;
  Replace(boxes, std::move(fresh));
}

QVariant CBoxTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const BoxHealth& box = boxes[static_cast<size_t>(index.row())];
  if (role == Qt::DisplayRole) return BoxCell(box, index.column());
  if (role == Qt::TextAlignmentRole) return Alignment(IsBoxFigure(index.column()));
  if (role == Qt::ToolTipRole) return BoxToolTip(box, now);
  return {};
}

CViewerTableModel::CViewerTableModel(QObject* parent)
    : CSnapshotTableModel(kViewerHeaders, parent) {}

void CViewerTableModel::SetViewers(std::vector<ViewerHealth> fresh) {
  Replace(viewers, std::move(fresh));
}

QVariant CViewerTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const ViewerHealth& viewer = viewers[static_cast<size_t>(index.row())];
  if (role == Qt::DisplayRole) return ViewerCell(viewer, index.column());
  if (role == Qt::TextAlignmentRole) return Alignment(IsViewerFigure(index.column()));
  return {};
}

QString RunSummary(const RunHealth& run) {
  if (run.outcome.empty() && !run.active) return QStringLiteral("No run yet");
  QStringList parts;
  QString state = QStringLiteral("Run: ") +
                  (run.outcome.empty() ? QStringLiteral("running") : Text(run.outcome));
  if (run.startedAt != WallClock::time_point{}) {
    state += QStringLiteral(" since ") + TimeOfDay(run.startedAt);
  }
  parts << state
        << QStringLiteral("%1 records published").arg(run.recordsPublished)
        << QStringLiteral("%1 repeats sent").arg(run.repeatsSent);
  return parts.join(kSeparator);
}

QString RecordingSummary(const std::optional<RecordingHealth>& recording) {
  if (!recording) return QStringLiteral("No recording");
  QStringList parts;
  parts << QStringLiteral("Recording: ") + Text(recording->state) << Text(recording->file)
        << QStringLiteral("%1 records, %2 MiB")
               .arg(recording->records)
               .arg(static_cast<double>(recording->sizeBytes) / (1024.0 * 1024.0), 0, 'f', 1);
  if (!recording->oldest.empty()) {
    parts << QStringLiteral("%1 to %2").arg(Text(recording->oldest), Text(recording->newest));
  }
  if (recording->waiting > 0) parts << QStringLiteral("%1 waiting").arg(recording->waiting);
  if (recording->dropped > 0) parts << QStringLiteral("%1 dropped").arg(recording->dropped);
  if (!recording->lastError.empty()) {
    parts << QStringLiteral("last error: ") + Text(recording->lastError);
  }
  return parts.join(kSeparator);
}

// The delivery to a broker, when the hub has one; hidden otherwise.
QString UplinkSummary(const std::optional<UplinkHealth>& uplink) {
  if (!uplink) return {};
  QStringList parts;
  parts << QStringLiteral("MQTT: ") + Text(uplink->state) << Text(uplink->broker)
        << QStringLiteral("%1 sent").arg(uplink->sent)
        << QStringLiteral("%1 waiting").arg(uplink->backlog)
        << QStringLiteral("%1 in flight").arg(uplink->inFlight)
        << QStringLiteral("acknowledged up to %1").arg(uplink->cursor);
  if (uplink->reconnections > 0) {
    parts << QStringLiteral("%1 reconnections").arg(uplink->reconnections);
  }
  if (!uplink->lastError.empty()) parts << QStringLiteral("last error: ") + Text(uplink->lastError);
  return parts.join(kSeparator);
}

CHealthWindow::CHealthWindow(HealthSource healthSource, QWidget* parent)
    : QWidget(parent, Qt::Window), source(std::move(healthSource)) {
  setWindowTitle(QStringLiteral("Boxes and viewers"));
  auto* layout = new QVBoxLayout(this);
  runLine = new QLabel(this);
  layout->addWidget(runLine);
  recordingLine = new QLabel(this);
  layout->addWidget(recordingLine);
  uplinkLine = new QLabel(this);
  uplinkLine->hide();
  layout->addWidget(uplinkLine);
  layout->addWidget(new QLabel(QStringLiteral("Boxes"), this));
  layout->addWidget(MakeTable(&boxes, this), 3);
  layout->addWidget(new QLabel(QStringLiteral("Viewers"), this));
  layout->addWidget(MakeTable(&viewers, this), 2);
  resize(1200, 440);
}

void CHealthWindow::Refresh() {
  HubHealth health = source();
  const WallClock::time_point now = WallClock::now();
  runLine->setText(RunSummary(health.run));
  recordingLine->setText(RecordingSummary(health.recording));
  uplinkLine->setText(UplinkSummary(health.uplink));
  uplinkLine->setVisible(health.uplink.has_value());
  boxes.SetBoxes(std::move(health.boxes), now);
  viewers.SetViewers(std::move(health.viewers));
}

QString CHealthWindow::RunText() const { return runLine->text(); }

QString CHealthWindow::RecordingText() const { return recordingLine->text(); }

QString CHealthWindow::UplinkText() const { return uplinkLine->text(); }


}  // namespace tessamer
