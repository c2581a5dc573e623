#pragma once
// "Boxes and viewers": a window with two tables, every box of the current (or last) run and every
// viewer, with their health figures, a line about the run and one about the recording. It reads
// a health snapshot once a second while it shows.
//
// Threads: window thread only. The health source may be any callable that is safe to call there.

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "hub/core/health.h"

class QLabel;
class QTableView;

namespace tessamer {

// Where the window's snapshots come from (the hub's Health()).
using HealthSource = std::function<HubHealth()>;

inline constexpr int kHealthRefreshMs = 1000;  // snapshot period while a health window shows

// Calls `refresh` whenever `widget` is shown, then every kHealthRefreshMs until it is hidden.
// Meant as a member of the widget it watches.
class CRefreshWhileShown : public QObject {
 public:
  CRefreshWhileShown(QWidget* widget, std::function<void()> refresh);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<void()> refresh;
  QTimer timer;
};

// One snapshot's items, one row each, under fixed column headings. A derived model keeps the
// items and gives the cells.
class CSnapshotTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  CSnapshotTableModel(std::span<const char* const> headings, QObject* parent = nullptr)
      : QAbstractTableModel(parent), headings(headings) {}

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 protected:
  virtual size_t Rows() const = 0;
  // Puts `fresh` in place of `items`, telling the views: a reset when the count changes, else
  // every cell changed.
  template <typename Item>
  void Replace(std::vector<Item>& items, std::vector<Item> fresh) {
    if (fresh.size() != items.size()) {
      beginResetModel();
      items = std::move(fresh);
      endResetModel();
      return;
    }
    items = std::move(fresh);
    if (!items.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
  }

 private:
  std::span<const char* const> headings;
};

// The boxes of one snapshot.
class CBoxTableModel : public CSnapshotTableModel {
  Q_OBJECT

 public:
  explicit CBoxTableModel(QObject* parent = nullptr);

  // Shows `boxes` as they were at `now` (for the ages shown).
  void SetBoxes(std::vector<BoxHealth> boxes, WallClock::time_point now);
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  size_t Rows() const override { return boxes.size(); }

  std::vector<BoxHealth> boxes;
  WallClock::time_point now{};
};

// The viewers of one snapshot.
class CViewerTableModel : public CSnapshotTableModel {
  Q_OBJECT

 public:
  explicit CViewerTableModel(QObject* parent = nullptr);

  void SetViewers(std::vector<ViewerHealth> viewers);
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  size_t Rows() const override { return viewers.size(); }

  std::vector<ViewerHealth> viewers;
};

class CHealthWindow : public QWidget {
  Q_OBJECT

 public:
  // `source` must stay callable for the window's life.
  explicit CHealthWindow(HealthSource source, QWidget* parent = nullptr);

  // Takes a snapshot and shows it.
  void Refresh();

  CBoxTableModel& Boxes() { return boxes; }
  CViewerTableModel& Viewers() { return viewers; }
  QString RunText() const;
  QString RecordingText() const;
  QString UplinkText() const;  // empty without delivery to a broker

 private:
  HealthSource source;
  CBoxTableModel boxes;
  CViewerTableModel viewers;
  QLabel* runLine = nullptr;
  QLabel* recordingLine = nullptr;
  QLabel* uplinkLine = nullptr;
  CRefreshWhileShown refresher{this, [this] { Refresh(); }};
};

// "Run: running since 14:02:11 · 1234 records published · 2 repeats sent"; "No run yet".
QString RunSummary(const RunHealth& run);

// "Recording: recording · /var/lib/tessamer/recording.sqlite · 1234 records, 2.5 MiB ·
// 2024-05-01T02:14:00.000Z to ..." and, when there are, the records waiting and dropped and the
// last error; "No recording".
QString RecordingSummary(const std::optional<RecordingHealth>& recording);

}  // namespace tessamer
