#pragma once
// The operator's window: sixteen box rows (check box, address field, lamp), "Connect" and
// "Clear All", the File / Channels / View / Help menus and a status bar with the traffic
// indicator. Each row's lamp and address carry the box's health as a tooltip, refreshed once a
// second while the window shows; a silent box's address turns grey-italic. The View menu opens
// the "Boxes and viewers" and "Live data" windows.
// It owns the hub for its whole life: it creates it and starts the servers when it opens, and
// stops and destroys it when it closes.
//
// Threads: everything runs on the window thread except Post, which any thread may call: it posts
// the notice as a Qt event to this window and returns at once. The window thread blocks only in
// the hub's Stop while the window closes.

#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QMenu>
#include <QPushButton>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/app_texts.h"
#include "app/box_settings.h"
#include "app/health_views.h"
#include "app/indicator_status_bar.h"
#include "app/ip_address_edit.h"
#include "app/led_control.h"
#include "app/live_data_window.h"
#include "hub/bridge/hub_control.h"
#include "hub/core/hub_config.h"
#include "hub/core/notices.h"

class QMenuBar;

namespace tessamer {

class CHealthWindow;
class CLiveDataWindow;
class CWindowAlerts;

// A box the window is given instead of the stored addresses (the demo).
struct PresetBox {
  uint32_t address = 0;  // first part most significant, as the address field gives it
  uint16_t port = kBoxDataPort;
};

struct DialogOptions {
  // Makes the hub that posts its notices to the given sink. Required.
  std::function<std::unique_ptr<IHubControl>(INoticeSink*)> makeHub;
  QString settingsOrganisation = kSettingsOrganisation;
  QString settingsApplication = kSettingsApplication;
  uint16_t boxPort = kBoxDataPort;  // data port of the box of every row
  int channelLimit = kDefaultChannelLimit;  // the Channels menu's first choice
  // When set, the rows show these boxes, marked, and the stored addresses are neither read nor
  // written nor deleted.
  std::optional<std::vector<PresetBox>> presetBoxes;
  CWindowAlerts* windowAlerts = nullptr;  // told while the window thread waits for the hub
  TrendPastSource trendPast;              // the recording's recent past for "Live data", or none
  int dotsPerInch = 0;                    // 0: the screen's
};

class CTessamerDlg : public QDialog, public INoticeSink {
  Q_OBJECT

 public:
  // Builds the window, restores the rows, makes the hub and starts its servers.
  explicit CTessamerDlg(DialogOptions options, QWidget* parent = nullptr);
  // Stops a run the window did not close itself, then destroys the hub before the controls.
  ~CTessamerDlg() override;
  CTessamerDlg(const CTessamerDlg&) = delete;
  CTessamerDlg& operator=(const CTessamerDlg&) = delete;

  // INoticeSink. Any thread; never waits.
  void Post(Notice notice) override;

  // Handlers.
  void OnConnect();
  void OnClearAll();
  void OnHubActivity(const ActivityNotice& activity);
  void OnHubStopped();
  void OnBoxData(const BoxDataNotice& data);
  void OnPublished();
  void OnBoxSilence(const BoxSilenceNotice& silence);
  // Every row's lamp and address tooltip from a fresh health snapshot.
  void RefreshToolTips();
  // Open (or bring to the front) the View menu's windows.
  void OpenHealthWindow();
  void OpenLiveDataWindow();
  void OnClientConnection(const ClientConnectionNotice& connection);
  void OnChannelLimit(int command);
  void OnInitMenuPopup();
  void OnAbout();
  void UpdateControls();
  void LoadBoxAddresses();
  void SaveBoxAddresses();

  // The controls, for the program and its tests.
  CIpAddressEdit& AddressField(int row) { return *addressFields[static_cast<size_t>(row)]; }
  QCheckBox& CheckBox(int row) { return *checkBoxes[static_cast<size_t>(row)]; }
  CLedControl& Lamp(int row) { return lamps[static_cast<size_t>(row)]; }
  QPushButton& ConnectButton() { return *connectButton; }
  QPushButton& ClearAllButton() { return *clearAllButton; }
  CIndicatorStatusBar& StatusBar() { return *statusBar; }
  QMenu& ChannelsMenu() { return *channelsMenu; }
  QAction& ChannelAction(int channels) { return *channelActions[static_cast<size_t>(channels) - 1]; }
  QMenu& ViewMenu() { return *viewMenu; }
  CHealthWindow* HealthWindow() { return healthWindow; }        // null until first opened
  CLiveDataWindow* LiveDataWindow() { return liveDataWindow; }  // null until first opened
  bool Running() const { return running; }
  int ChannelLimit() const { return channelLimit; }
  IHubControl* Hub() { return bridge.get(); }

 signals:
  // A hub notice has been handled (its message number).
  void NoticeHandled(unsigned message);

 protected:
  // Accept and reject both end here: stop the hub, save the rows, then close.
  void done(int result) override;
  void customEvent(QEvent* event) override;

 private:
  void BuildControls();
  void BuildMenus(QMenuBar* menuBar);
  void OnInitDialog();
  void Dispatch(const Notice& notice);
  void StopHub();
  bool KeepsSettings() const { return !options.presetBoxes.has_value(); }
  HubHealth Health() const;
  void ClearSilence();

  DialogOptions options;
  CBoxSettings settings;
  std::array<CIpAddressEdit*, MaxBoxes> addressFields{};
  std::array<QCheckBox*, MaxBoxes> checkBoxes{};
  std::array<uint16_t, MaxBoxes> rowPorts{};
  std::unique_ptr<IHubControl> bridge;
  int channelLimit = kDefaultChannelLimit;
  std::array<CLedControl, MaxBoxes> lamps;
  CIndicatorStatusBar* statusBar = nullptr;
  bool running = false;
  bool closed = false;  // done() has stopped the hub and saved the rows
  QWidget* rowsArea = nullptr;
  QPushButton* connectButton = nullptr;
  QPushButton* clearAllButton = nullptr;
  QMenu* channelsMenu = nullptr;
  std::array<QAction*, 6> channelActions{};
  QMenu* viewMenu = nullptr;
  CHealthWindow* healthWindow = nullptr;      // child window, made on first use
  CLiveDataWindow* liveDataWindow = nullptr;  // child window, made on first use
  // Per row: when its box sent its last record, while the hub reports the box silent.
  std::array<std::optional<WallClock::time_point>, MaxBoxes> silentSince{};
  CRefreshWhileShown toolTipRefresher{this, [this] { RefreshToolTips(); }};
};

}  // namespace tessamer
