#pragma once
// "Live data": the combined channels (name with its box tag, unit, newest value) in a table, and a
// trend of each chosen channel over the last ten minutes. A channel is chosen by ticking it; while
// none is, the first channel of each box is. It reads a health snapshot once a second while it
// shows and keeps each channel's values of the last ten minutes, so a newly chosen channel shows
// its recent past at once. With a recording, the trend begins with the recording's last ten
// minutes, and until a run has a combined header the table shows the recording's channels.
//
// Threads: window thread only.

#include <QAbstractTableModel>
#include <QPointF>
#include <QWidget>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/health_views.h"

class QChart;
class QDateTimeAxis;
class QLineSeries;
class QValueAxis;

namespace tessamer {

inline constexpr std::chrono::minutes kTrendSpan{10};   // how far back the trend reaches
inline constexpr std::chrono::minutes kShortestSpan{1};  // the time axis spans at least this

// The recent past of the channels, as a recording kept it.
struct TrendPast {
  std::vector<CombinedChannel> channels;                // with their last values
  std::map<std::string, std::deque<QPointF>> points;   // x: ms since the epoch, oldest first
};
// Reads the past from `since` on; called once, when the window is made.
using TrendPastSource = std::function<TrendPast(WallClock::time_point since)>;

// The combined channels of one snapshot; the first column carries the "chosen" tick.
class CChannelTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;

  void SetChannels(std::vector<CombinedChannel> channels);
  const std::vector<CombinedChannel>& Channels() const { return channels; }
  const std::set<std::string>& Chosen() const { return chosen; }
  void Choose(const std::string& name, bool on);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 signals:
  void ChosenChanged();

 private:
  void ChooseFirstOfEachBox();

  std::vector<CombinedChannel> channels;
  std::set<std::string> chosen;  // by name; kept across runs
};

class CLiveDataWindow : public QWidget {
  Q_OBJECT

 public:
  // `source` must stay callable for the window's life; `past` (may be empty) is read at once.
  explicit CLiveDataWindow(HealthSource source, QWidget* parent = nullptr,
                           const TrendPastSource& past = {});

  // Takes a snapshot: new values in the table and, while a run is active, a new point for every
  // channel's trend.
  void Refresh();

  CChannelTableModel& Channels() { return channels; }
  // The trend of a chosen channel; null for one not chosen.
  QLineSeries* Series(const std::string& name) const;

 private:
  void Record(const HubHealth& health);
  void UpdateSeries();
  void UpdateAxes();

  HealthSource source;
  std::vector<CombinedChannel> pastChannels;  // shown until a run has its combined header
  CChannelTableModel channels;
  QChart* chart = nullptr;  // the chart view's own
  QDateTimeAxis* timeAxis = nullptr;
  QValueAxis* valueAxis = nullptr;
  std::map<std::string, std::deque<QPointF>> history;  // x: ms since the epoch
  std::map<std::string, QLineSeries*> series;          // owned by the chart
  qint64 newestMs = 0;
  CRefreshWhileShown refresher{this, [this] { Refresh(); }};
};

}  // namespace tessamer
