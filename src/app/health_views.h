#pragma once
// "Boxes and viewers": a window with two tables, every box of the current (or last) run and every
// viewer, with their health figures, and a line about the run. It reads a health snapshot once a
// second while it shows.
//
// Threads: window thread only. The health source may be any callable that is safe to call there.

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

#include "hub/core/health.h"

class QLabel;
class QTableView;

namespace tessamer {

// Where the window's snapshots come from (the hub's Health()).
using HealthSource = std::function<HubHealth()>;

inline constexpr int kHealthRefreshMs = 1000;  // snapshot period while a health window shows

// The boxes of one snapshot, one row each.
class CBoxTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;

  // Shows `boxes` as they were at `now` (for the ages shown).
  void SetBoxes(std::vector<BoxHealth> boxes, WallClock::time_point now);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  std::vector<BoxHealth> boxes;
  WallClock::time_point now{};
};

// The viewers of one snapshot, one row each.
class CViewerTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;

  void SetViewers(std::vector<ViewerHealth> viewers);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
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

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  HealthSource source;
  CBoxTableModel boxes;
  CViewerTableModel viewers;
  QLabel* runLine = nullptr;
  QTimer refreshTimer;
};

// "Run: running since 14:02:11 · 1234 records published · 2 repeats sent"; "No run yet".
QString RunSummary(const RunHealth& run);

}  // namespace tessamer
