#include "app/live_data_window.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHeaderView>
#include <QLineSeries>
#include <QSplitter>
#include <QTableView>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>

namespace tessamer {
namespace {

enum ChannelColumn { kChannelName, kChannelUnit, kChannelValue, kChannelColumns };
const char* const kChannelHeaders[kChannelColumns] = {"Channel", "Unit", "Value"};

qint64 MsSinceEpoch(WallClock::time_point when) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
}

bool SameNames(const std::vector<CombinedChannel>& a, const std::vector<CombinedChannel>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const auto& x, const auto& y) { return x.name == y.name; });
}

// "_1" of "Pressure_1": the box's tag the hub gives each combined channel.
QString BoxTag(const std::string& name) {
  const size_t underscore = name.rfind('_');
  if (underscore == std::string::npos) return {};
  return QString::fromStdString(name.substr(underscore));
}

}  // namespace

void CChannelTableModel::SetChannels(std::vector<CombinedChannel> fresh) {
  if (!SameNames(fresh, channels)) {
    beginResetModel();
    channels = std::move(fresh);
    const bool anyChosen = std::any_of(channels.begin(), channels.end(),
                                       [this](const auto& c) { return chosen.count(c.name) != 0; });
    if (!anyChosen) ChooseFirstOfEachBox();
    endResetModel();
    emit ChosenChanged();
    return;
  }
  channels = std::move(fresh);
  if (channels.empty()) return;
  emit dataChanged(index(0, kChannelValue), index(rowCount() - 1, kChannelValue));
}

void CChannelTableModel::ChooseFirstOfEachBox() {
  for (size_t i = 0; i < channels.size(); ++i) {
    if (i == 0 || BoxTag(channels[i].name) != BoxTag(channels[i - 1].name)) {
      chosen.insert(channels[i].name);
    }
  }
}

void CChannelTableModel::Choose(const std::string& name, bool on) {
  const bool changed = on ? chosen.insert(name).second : chosen.erase(name) != 0;
  if (!changed) return;
  for (size_t i = 0; i < channels.size(); ++i) {
    if (channels[i].name != name) continue;
    const QModelIndex cell = index(static_cast<int>(i), kChannelName);
    emit dataChanged(cell, cell, {Qt::CheckStateRole});
  }
  emit ChosenChanged();
}

int CChannelTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(channels.size());
}

int CChannelTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kChannelColumns;
}

QVariant CChannelTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const CombinedChannel& channel = channels[static_cast<size_t>(index.row())];
  if (role == Qt::CheckStateRole && index.column() == kChannelName) {
    return chosen.count(channel.name) != 0 ? Qt::Checked : Qt::Unchecked;
  }
  if (role == Qt::TextAlignmentRole && index.column() == kChannelValue) {
    return QVariant::fromValue(Qt::AlignVCenter | Qt::AlignRight);
  }
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case kChannelName: return QString::fromStdString(channel.name);
    case kChannelUnit: return QString::fromStdString(channel.unit);
    case kChannelValue: return QString::number(channel.value, 'f', 4);
    default: return {};
  }
}

bool CChannelTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.column() != kChannelName || role != Qt::CheckStateRole) {
    return false;
  }
  Choose(channels[static_cast<size_t>(index.row())].name,
         value.value<Qt::CheckState>() == Qt::Checked);
  return true;
}

Qt::ItemFlags CChannelTableModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags flags = QAbstractTableModel::flags(index);
  if (index.isValid() && index.column() == kChannelName) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

QVariant CChannelTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kChannelColumns) {
    return {};
  }
  return QString::fromLatin1(kChannelHeaders[section]);
}

CLiveDataWindow::CLiveDataWindow(HealthSource healthSource, QWidget* parent,
                                 const TrendPastSource& past)
    : QWidget(parent, Qt::Window), source(std::move(healthSource)) {
  if (past) {
    TrendPast recorded = past(WallClock::now() - kTrendSpan);
    pastChannels = std::move(recorded.channels);
    history = std::move(recorded.points);
    for (const auto& [name, points] : history) {
      if (!points.empty()) newestMs = std::max(newestMs, static_cast<qint64>(points.back().x()));
    }
  }
  setWindowTitle(QStringLiteral("Live data"));
  auto* splitter = new QSplitter(this);
  auto* table = new QTableView(splitter);
  table->setModel(&channels);
  table->verticalHeader()->hide();
  table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table->horizontalHeader()->setStretchLastSection(true);
  table->setSelectionMode(QAbstractItemView::NoSelection);
  auto* view = new QChartView(splitter);
  view->setRenderHint(QPainter::Antialiasing);
  chart = view->chart();
  chart->legend()->setAlignment(Qt::AlignBottom);
  timeAxis = new QDateTimeAxis(chart);
  timeAxis->setFormat(QStringLiteral("HH:mm:ss"));
  timeAxis->setTickCount(6);
  valueAxis = new QValueAxis(chart);
  chart->addAxis(timeAxis, Qt::AlignBottom);
  chart->addAxis(valueAxis, Qt::AlignLeft);
  splitter->setStretchFactor(1, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(splitter);
  resize(980, 460);
  splitter->setSizes({330, 650});
  connect(&channels, &CChannelTableModel::ChosenChanged, this, &CLiveDataWindow::UpdateSeries);
  UpdateAxes();
}

QLineSeries* CLiveDataWindow::Series(const std::string& name) const {
  const auto found = series.find(name);
  return found != series.end() ? found->second : nullptr;
}

void CLiveDataWindow::Refresh() {
  HubHealth health = source();
  // Until the run has its combined header the recording's channels stand in (no new points).
  const bool own = !health.channels.empty();
  if (health.run.active && (own || pastChannels.empty())) Record(health);
  if (!own) health.channels = pastChannels;
  channels.SetChannels(std::move(health.channels));
  UpdateSeries();
}

void CLiveDataWindow::Record(const HubHealth& health) {
  const WallClock::time_point taken =
      health.takenAt != WallClock::time_point{} ? health.takenAt : WallClock::now();
  newestMs = MsSinceEpoch(taken);
  const qint64 oldest = newestMs - std::chrono::milliseconds(kTrendSpan).count();
  std::map<std::string, std::deque<QPointF>> kept;
  for (const CombinedChannel& channel : health.channels) {
    std::deque<QPointF>& points = kept[channel.name];
    points = std::move(history[channel.name]);
    while (!points.empty() && points.front().x() < static_cast<double>(oldest)) points.pop_front();
    points.emplace_back(static_cast<double>(newestMs), channel.value);
  }
  history = std::move(kept);  // channels of an earlier run go
}

void CLiveDataWindow::UpdateSeries() {
  for (auto it = series.begin(); it != series.end();) {
    if (channels.Chosen().count(it->first) != 0) {
      ++it;
      continue;
    }
    chart->removeSeries(it->second);
    delete it->second;  // removeSeries hands the series back to us
    it = series.erase(it);
  }
  for (const CombinedChannel& channel : channels.Channels()) {
    if (channels.Chosen().count(channel.name) == 0) continue;
    QLineSeries*& line = series[channel.name];
    if (line == nullptr) {
      line = new QLineSeries(chart);
      QString title = QString::fromStdString(channel.name);
      if (!channel.unit.empty()) {
        title += QStringLiteral(" (%1)").arg(QString::fromStdString(channel.unit));
      }
      line->setName(title);
      chart->addSeries(line);
      line->attachAxis(timeAxis);
      line->attachAxis(valueAxis);
    }
    const std::deque<QPointF>& points = history[channel.name];
    line->replace(QList<QPointF>(points.begin(), points.end()));
  }
  UpdateAxes();
}

void CLiveDataWindow::UpdateAxes() {
  const qint64 newest = newestMs != 0 ? newestMs : MsSinceEpoch(WallClock::now());
  // The time axis reaches back to the oldest value kept, at least kShortestSpan.
  qint64 oldest = newest - std::chrono::milliseconds(kShortestSpan).count();
  for (const auto& [name, points] : history) {
    if (!points.empty()) oldest = std::min(oldest, static_cast<qint64>(points.front().x()));
  }
  timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(oldest),
                     QDateTime::fromMSecsSinceEpoch(newest));
  double low = 0.0;
  double high = 0.0;
  bool any = false;
  for (const auto& [name, line] : series) {
    for (const QPointF& point : history[name]) {
      low = any ? std::min(low, point.y()) : point.y();
      high = any ? std::max(high, point.y()) : point.y();
      any = true;
    }
  }
  const double margin = high > low ? (high - low) * 0.05 : 1.0;
  valueAxis->setRange(low - margin, high + margin);
  valueAxis->applyNiceNumbers();
}

}  // namespace tessamer
