// The operator window driven through its controls and its posted notices, with a fake hub, a
// recording alert facility and settings in a temporary folder.

#include "app/tessamer_dlg.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLineSeries>
#include <QSettings>
#include <atomic>
#include <thread>

#include "app/app_texts.h"
#include "app/sample_health.h"
#include "app/health_views.h"
#include "app/live_data_window.h"
#include "testkit/fake_hub.h"
#include "testkit/recorders.h"

namespace tessamer {
namespace {

using testkit::FakeHub;
using apptest::SampleHealth;
using testkit::RecordingAlerts;

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}

class DialogTest : public ::testing::Test {
 protected:
  DialogTest() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    organisation = QStringLiteral("Tessamer Tests %1 %2").arg(info->test_suite_name(), info->name());
    Settings().Clear();
  }
  ~DialogTest() override {
    dialog.reset();
    Settings().Clear();
  }

  CBoxSettings Settings() const { return CBoxSettings(organisation, kSettingsApplication); }

  DialogOptions Options() {
    DialogOptions options;
    options.settingsOrganisation = organisation;
    options.settingsApplication = kSettingsApplication;
    options.dotsPerInch = 96;
    options.makeHub = [this](INoticeSink* sink) {
      auto made = std::make_unique<FakeHub>();
      made->script.serversStart = serversStart;
      made->script.dataPort = dataPort;
      made->script.startError.text = L"The data server could not be started on port: 5000.";
      hub = made.get();
      sinkGiven = sink;
      return made;
    };
    return options;
  }

  CTessamerDlg& Open() { return Open(Options()); }
  CTessamerDlg& Open(DialogOptions options) {
    dialog = std::make_unique<CTessamerDlg>(std::move(options));
    return *dialog;
  }

  // Posts a notice as a hub thread would and lets the window handle it.
  void Deliver(Notice notice) {
    dialog->Post(std::move(notice));
    QCoreApplication::sendPostedEvents(dialog.get(), 0);
  }

  void Mark(int row, const QString& address) {
    dialog->CheckBox(row).setChecked(true);
    dialog->AddressField(row).SetText(address);
  }

  std::vector<int> LampStates() {
    std::vector<int> states;
    for (int row = 0; row < MaxBoxes; ++row) states.push_back(dialog->Lamp(row).GetState());
    return states;
  }

  bool ControlsEnabled() {
    bool all = dialog->ConnectButton().isEnabled() && dialog->ClearAllButton().isEnabled();
    for (int row = 0; row < MaxBoxes; ++row) {
      all = all && dialog->CheckBox(row).isEnabled() && dialog->AddressField(row).isEnabled();
    }
    return all;
  }
  bool ControlsDisabled() {
    bool none = !dialog->ConnectButton().isEnabled() && !dialog->ClearAllButton().isEnabled();
    for (int row = 0; row < MaxBoxes; ++row) {
      none = none && !dialog->CheckBox(row).isEnabled() && !dialog->AddressField(row).isEnabled();
    }
    return none;
  }

  RecordingAlerts alerts;
  QString organisation;
  bool serversStart = true;
  uint16_t dataPort = 0;
  FakeHub* hub = nullptr;
  INoticeSink* sinkGiven = nullptr;
  std::unique_ptr<CTessamerDlg> dialog;
};

const std::vector<int> kAllGrey(MaxBoxes, CLedControl::Grey);

TEST_F(DialogTest, OpeningStartsTheServersAndShowsTheDataPort) {
  dataPort = 40123;
  CTessamerDlg& window = Open();
  EXPECT_EQ(hub->calls->startServers, 1);
  EXPECT_EQ(sinkGiven, &window);
  EXPECT_EQ(window.StatusBar().PaneText(0), QStringLiteral("Waiting for clients to connect"));
  EXPECT_EQ(window.StatusBar().PaneText(1), QStringLiteral("*:40123"));
  EXPECT_EQ(window.StatusBar().Indicator().TopColour(), kChartreuse);
  EXPECT_EQ(window.StatusBar().Indicator().BottomColour(), kDarkGreen);
  EXPECT_FALSE(window.StatusBar().Indicator().IsSteady());
  EXPECT_TRUE(alerts.Alerts().empty());
  EXPECT_EQ(window.ChannelLimit(), 6);
  EXPECT_TRUE(ControlsEnabled());
  EXPECT_EQ(LampStates(), kAllGrey);
}

TEST_F(DialogTest, FailedServerStartIsShownAndTheWindowStaysUsable) {
  serversStart = false;
  CTessamerDlg& window = Open();
  ASSERT_EQ(alerts.Alerts().size(), 1u);
  EXPECT_EQ(alerts.Alerts()[0].text,
            L"Could not start server. Detail: The data server could not be started on port: 5000.");
  EXPECT_EQ(alerts.Alerts()[0].icon, AlertIcon::Error);
  EXPECT_EQ(window.StatusBar().PaneText(0), QStringLiteral("The data server is not running"));
  EXPECT_EQ(window.StatusBar().PaneText(1), QString());
  EXPECT_EQ(window.StatusBar().Indicator().TopColour(), kIndicatorRed);
  EXPECT_EQ(window.StatusBar().Indicator().BottomColour(), kIndicatorPink);
  EXPECT_TRUE(window.StatusBar().Indicator().IsSteady());
  Deliver(PublishedNotice{true});
  EXPECT_EQ(window.StatusBar().Indicator().TopColour(), kIndicatorRed);

  Mark(0, QStringLiteral("127.0.0.21"));
  window.ConnectButton().click();
  EXPECT_EQ(hub->calls->runs.size(), 1u);
}

TEST_F(DialogTest, ConnectWithNoRowMarkedAsksForMarksAndSavesNothing) {
  CTessamerDlg& window = Open();
  window.AddressField(3).SetText(QStringLiteral("10.0.0.3"));
  window.Lamp(3).SetState(CLedControl::Red);
  window.ConnectButton().click();
  ASSERT_EQ(alerts.Alerts().size(), 1u);
  EXPECT_EQ(alerts.Alerts()[0].text, L"Please mark Vellumetrics to connect to");
  EXPECT_EQ(alerts.Alerts()[0].icon, AlertIcon::None);
  EXPECT_TRUE(hub->calls->runs.empty());
  EXPECT_FALSE(Settings().HasSection());
  EXPECT_EQ(LampStates(), kAllGrey);
  EXPECT_FALSE(window.Running());
}

TEST_F(DialogTest, DuplicateAddressesNameBothRowsAndStartNothing) {
  CTessamerDlg& window = Open();
  Mark(1, QStringLiteral("10.0.0.5"));
  Mark(4, QStringLiteral("10.0.0.5"));
  window.ConnectButton().click();
  ASSERT_EQ(alerts.Alerts().size(), 1u);
  EXPECT_EQ(alerts.Alerts()[0].text,
            L"IP address 10.0.0.5 for Vellumetric #5 has already been entered as Vellumetric #2");
  EXPECT_EQ(alerts.Alerts()[0].icon, AlertIcon::Error);
  EXPECT_TRUE(hub->calls->runs.empty());
  EXPECT_FALSE(Settings().HasSection());
  EXPECT_FALSE(window.Running());
  EXPECT_TRUE(ControlsEnabled());
}

TEST_F(DialogTest, TwoEmptyMarkedRowsAreDuplicatesOfNoAddress) {
  CTessamerDlg& window = Open();
  window.CheckBox(6).setChecked(true);
  window.CheckBox(9).setChecked(true);
  window.ConnectButton().click();
  ASSERT_EQ(alerts.Alerts().size(), 1u);
  EXPECT_EQ(alerts.Alerts()[0].text,
            L"IP address 0.0.0.0 for Vellumetric #10 has already been entered as Vellumetric #7");
  EXPECT_TRUE(hub->calls->runs.empty());
}

TEST_F(DialogTest, ConnectHandsTheMarkedRowsToTheHubAndStoresThem) {
  DialogOptions options = Options();
  options.boxPort = 41000;
  CTessamerDlg& window = Open(std::move(options));
  Mark(2, QStringLiteral("10.0.0.7"));
  Mark(6, QStringLiteral("192.168.1.10"));
  window.AddressField(4).SetText(QStringLiteral("10.0.0.9"));  // not marked: not listed
  window.Lamp(4).SetState(CLedControl::Green);
  window.ConnectButton().click();

  ASSERT_EQ(hub->calls->runs.size(), 1u);
  const testkit::FakeHubRun& run = hub->calls->runs[0];
  EXPECT_EQ(run.channelLimit, 6);
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[0].address, BoxAddress(10, 0, 0, 7));
  EXPECT_EQ(run.boxes[0].port, 41000);
  EXPECT_EQ(run.boxes[0].row, 2);
  EXPECT_EQ(run.boxes[1].address, BoxAddress(192, 168, 1, 10));
  EXPECT_EQ(run.boxes[1].row, 6);

  std::vector<int> expected = kAllGrey;
  expected[2] = expected[6] = CLedControl::Orange;
  EXPECT_EQ(LampStates(), expected);
  EXPECT_TRUE(window.Running());
  EXPECT_TRUE(ControlsDisabled());

  QSettings raw(organisation, kSettingsApplication);
  EXPECT_EQ(raw.value(QStringLiteral("IP/Box_1")).toLongLong(), 167880896);
  EXPECT_EQ(Settings().Load(), (std::vector<uint32_t>{StoredValueOf(Address(10, 0, 0, 7)),
                                                      167880896u}));
  EXPECT_TRUE(alerts.Alerts().empty());
}

TEST_F(DialogTest, RefusedStartShowsTheHubsTextAndKeepsTheWindowIdle) {
  CTessamerDlg& window = Open();
  hub->script.startResult = false;
  hub->script.startError.text = L"The run could not start.";
  Mark(0, QStringLiteral("127.0.0.21"));
  window.ConnectButton().click();
  ASSERT_EQ(alerts.Alerts().size(), 1u);
  EXPECT_EQ(alerts.Alerts()[0].text, L"The run could not start.");
  EXPECT_EQ(alerts.Alerts()[0].icon, AlertIcon::Error);
  EXPECT_FALSE(window.Running());
  EXPECT_TRUE(ControlsEnabled());
}

TEST_F(DialogTest, ActivityColoursTheRowsLampAndIgnoresRowsOutsideTheWindow) {
  CTessamerDlg& window = Open();
  Deliver(ActivityNotice{Connected, 0});
  Deliver(ActivityNotice{ConnectFailed, 1});
  Deliver(ActivityNotice{ConnectionLost, 15});
  std::vector<int> expected = kAllGrey;
  expected[0] = CLedControl::Green;
  expected[1] = CLedControl::Red;
  expected[15] = CLedControl::Orange;
  EXPECT_EQ(LampStates(), expected);

  Deliver(ActivityNotice{Connected, 16});
  Deliver(ActivityNotice{Connected, -1});
  Deliver(BoxDataNotice{16});
  EXPECT_EQ(LampStates(), expected);
  (void)window;
}

TEST_F(DialogTest, StoppedRunKeepsTheFailedLampRedAndEnablesTheControls) {
  CTessamerDlg& window = Open();
  Mark(0, QStringLiteral("127.0.0.21"));
  Mark(1, QStringLiteral("10.0.0.2"));
  Mark(2, QStringLiteral("10.0.0.3"));
  window.ConnectButton().click();
  ASSERT_TRUE(window.Running());
  Deliver(ActivityNotice{Connected, 0});
  Deliver(ActivityNotice{Connected, 1});
  Deliver(ActivityNotice{ConnectFailed, 2});
  Deliver(StoppedNotice{});

  std::vector<int> expected = kAllGrey;
  expected[2] = CLedControl::Red;
  EXPECT_EQ(LampStates(), expected);
  EXPECT_FALSE(window.Running());
  EXPECT_TRUE(ControlsEnabled());

  // A new run: unlisted lamps grey, listed ones orange, the red one included.
  window.CheckBox(0).setChecked(false);
  window.ConnectButton().click();
  expected = kAllGrey;
  expected[1] = expected[2] = CLedControl::Orange;
  EXPECT_EQ(LampStates(), expected);
  EXPECT_EQ(hub->calls->runs.size(), 2u);
}

TEST_F(DialogTest, ChannelsMenuShowsTheLimitAndIsLockedWhileRunning) {
  CTessamerDlg& window = Open();
  window.ChannelAction(3).trigger();
  EXPECT_EQ(window.ChannelLimit(), 3);
  Mark(0, QStringLiteral("127.0.0.21"));
  window.ConnectButton().click();
  ASSERT_EQ(hub->calls->runs.size(), 1u);
  EXPECT_EQ(hub->calls->runs[0].channelLimit, 3);

  emit window.ChannelsMenu().aboutToShow();
  for (int n = 1; n <= 6; ++n) {
    EXPECT_EQ(window.ChannelAction(n).isChecked(), n == 3) << n;
    EXPECT_FALSE(window.ChannelAction(n).isEnabled()) << n;
  }

  Deliver(StoppedNotice{});
  emit window.ChannelsMenu().aboutToShow();
  for (int n = 1; n <= 6; ++n) EXPECT_TRUE(window.ChannelAction(n).isEnabled()) << n;
  window.ChannelAction(5).trigger();
  window.ConnectButton().click();
  ASSERT_EQ(hub->calls->runs.size(), 2u);
  EXPECT_EQ(hub->calls->runs[1].channelLimit, 5);
  emit window.ChannelsMenu().aboutToShow();
  for (int n = 1; n <= 6; ++n) EXPECT_EQ(window.ChannelAction(n).isChecked(), n == 5) << n;
}

TEST_F(DialogTest, ClientNoticesShowConnectionAndDisconnection) {
  CTessamerDlg& window = Open();
  Deliver(ClientConnectionNotice{17, 5000, true, L"127.0.0.1:40100"});
  EXPECT_EQ(window.StatusBar().PaneText(0), QStringLiteral("Client connected"));
  Deliver(ClientConnectionNotice{17, 5000, false, {}});
  EXPECT_EQ(window.StatusBar().PaneText(0), QStringLiteral("Client disconnected"));
  // Notices the window shows nothing for.
  Deliver(HeadersCompleteNotice{});
  Deliver(ClientOffsetNotice{L"Depth"});
  EXPECT_EQ(window.StatusBar().PaneText(0), QStringLiteral("Client disconnected"));
}

TEST_F(DialogTest, DataFlickersTheLampAndPublicationsBlinkTheIndicator) {
  CTessamerDlg& window = Open();
  Deliver(ActivityNotice{Connected, 4});
  const auto pairA = window.Lamp(4).DrawnColours();
  Deliver(BoxDataNotice{4});
  EXPECT_NE(window.Lamp(4).DrawnColours(), pairA);
  Deliver(BoxDataNotice{4});
  EXPECT_EQ(window.Lamp(4).DrawnColours(), pairA);

  Deliver(PublishedNotice{false});
  EXPECT_EQ(window.StatusBar().Indicator().TopColour(), kDarkGreen);
  Deliver(PublishedNotice{true});
  EXPECT_EQ(window.StatusBar().Indicator().TopColour(), kChartreuse);
}

TEST_F(DialogTest, NoticesPostedFromOtherThreadsArriveInOrder) {
  CTessamerDlg& window = Open();
  std::thread poster([&window] {
    window.Post(ActivityNotice{Connected, 8});
    window.Post(ActivityNotice{ConnectionLost, 8});
  });
  poster.join();
  EXPECT_EQ(window.Lamp(8).GetState(), CLedControl::Grey);  // nothing handled before the loop
  QCoreApplication::sendPostedEvents(&window, 0);
  EXPECT_EQ(window.Lamp(8).GetState(), CLedControl::Orange);
}

TEST_F(DialogTest, ClosingWhileRunningWaitsForTheRunThenSaves) {
  CTessamerDlg& window = Open();
  Mark(3, QStringLiteral("10.0.0.4"));
  window.ConnectButton().click();
  ASSERT_TRUE(window.Running());
  hub->HoldRunEnd();
  Settings().Clear();  // whatever is stored after the close comes from the close

  std::atomic<bool> savedBeforeRunEnded{true};
  std::thread runEnd;
  hub->script.onStop = [&] {
    // The window thread is about to wait in Stop; the run ends from another thread once it is
    // seen that nothing has been saved yet.
    runEnd = std::thread([&] {
      savedBeforeRunEnded = CBoxSettings(organisation, kSettingsApplication).HasSection();
      hub->EndRun();
    });
  };
  window.reject();
  runEnd.join();
  EXPECT_EQ(hub->calls->stops, 1);
  EXPECT_FALSE(savedBeforeRunEnded);
  EXPECT_EQ(Settings().Load(), std::vector<uint32_t>{StoredValueOf(Address(10, 0, 0, 4))});
}

TEST_F(DialogTest, DestroyingTheWindowWithoutClosingStillStopsTheHub) {
  int stops = 0;
  DialogOptions options = Options();
  auto make = options.makeHub;
  options.makeHub = [&](INoticeSink* sink) {
    auto made = make(sink);
    static_cast<FakeHub*>(made.get())->script.onStop = [&stops] { ++stops; };
    return made;
  };
  Open(std::move(options));
  dialog.reset();
  EXPECT_EQ(stops, 1);
  EXPECT_FALSE(Settings().HasSection());  // only a close saves
}

// Settings.

TEST_F(DialogTest, LoadingSkipsEmptySlotsAndFillsRowsFromTheTop) {
  QSettings raw(organisation, kSettingsApplication);
  raw.setValue(QStringLiteral("IP/Box_0"), 0);
  raw.setValue(QStringLiteral("IP/Box_1"), StoredValueOf(Address(10, 0, 0, 7)));
  raw.setValue(QStringLiteral("IP/Box_5"), StoredValueOf(Address(10, 0, 0, 9)));
  raw.sync();
  CTessamerDlg& window = Open();
  EXPECT_EQ(window.AddressField(0).Text(), QStringLiteral("10.0.0.7"));
  EXPECT_EQ(window.AddressField(1).Text(), QStringLiteral("10.0.0.9"));
  EXPECT_TRUE(window.CheckBox(0).isChecked());
  EXPECT_TRUE(window.CheckBox(1).isChecked());
  for (int row = 2; row < MaxBoxes; ++row) {
    EXPECT_TRUE(window.AddressField(row).IsBlank()) << row;
    EXPECT_FALSE(window.CheckBox(row).isChecked()) << row;
  }
}

TEST_F(DialogTest, SavingFewerRowsLeavesTheLaterSlots) {
  Settings().Save({StoredValueOf(Address(10, 0, 0, 1)), StoredValueOf(Address(10, 0, 0, 2)),
                   StoredValueOf(Address(10, 0, 0, 3))});
  CTessamerDlg& first = Open();
  first.CheckBox(0).setChecked(false);
  first.accept();
  dialog.reset();
  EXPECT_EQ(Settings().Load(),
            (std::vector<uint32_t>{StoredValueOf(Address(10, 0, 0, 2)),
                                   StoredValueOf(Address(10, 0, 0, 3)),
                                   StoredValueOf(Address(10, 0, 0, 3))}));
  CTessamerDlg& second = Open();
  for (int row = 0; row < 3; ++row) EXPECT_TRUE(second.CheckBox(row).isChecked()) << row;
  EXPECT_EQ(second.AddressField(0).Text(), QStringLiteral("10.0.0.2"));
}

TEST_F(DialogTest, ClosingWithNoRowMarkedLeavesTheStoredList) {
  const std::vector<uint32_t> stored = {StoredValueOf(Address(10, 1, 2, 3))};
  Settings().Save(stored);
  CTessamerDlg& window = Open();
  window.CheckBox(0).setChecked(false);
  window.reject();
  EXPECT_EQ(Settings().Load(), stored);
}

TEST_F(DialogTest, ClearAllEmptiesTheRowsAndDeletesTheSection) {
  Settings().Save({StoredValueOf(Address(10, 1, 2, 3)), StoredValueOf(Address(10, 1, 2, 4))});
  CTessamerDlg& window = Open();
  window.Lamp(0).SetState(CLedControl::Red);
  window.ClearAllButton().click();
  EXPECT_FALSE(Settings().HasSection());
  EXPECT_TRUE(window.AddressField(0).IsBlank());
  EXPECT_FALSE(window.CheckBox(0).isChecked());
  EXPECT_EQ(window.Lamp(0).GetState(), CLedControl::Red);  // lamps are not touched
  window.reject();
  EXPECT_FALSE(Settings().HasSection());
}

TEST_F(DialogTest, PresetBoxesNeitherReadNorWriteTheStoredAddresses) {
  const std::vector<uint32_t> stored = {StoredValueOf(Address(10, 9, 9, 9))};
  Settings().Save(stored);
  DialogOptions options = Options();
  options.presetBoxes = std::vector<PresetBox>{{Address(127, 0, 0, 2), 41001},
                                               {Address(127, 0, 0, 3), 41002}};
  CTessamerDlg& window = Open(std::move(options));
  EXPECT_EQ(window.AddressField(0).Text(), QStringLiteral("127.0.0.2"));
  EXPECT_EQ(window.AddressField(1).Text(), QStringLiteral("127.0.0.3"));
  EXPECT_TRUE(window.CheckBox(1).isChecked());
  EXPECT_FALSE(window.CheckBox(2).isChecked());

  window.ConnectButton().click();
  ASSERT_EQ(hub->calls->runs.size(), 1u);
  ASSERT_EQ(hub->calls->runs[0].boxes.size(), 2u);
  EXPECT_EQ(hub->calls->runs[0].boxes[1].address, BoxAddress(127, 0, 0, 3));
  EXPECT_EQ(hub->calls->runs[0].boxes[1].port, 41002);
  Deliver(StoppedNotice{});
  window.ClearAllButton().click();
  window.AddressField(0).SetText(QStringLiteral("127.0.0.5"));
  window.CheckBox(0).setChecked(true);
  window.accept();
  EXPECT_EQ(Settings().Load(), stored);
}

TEST_F(DialogTest, RowsCarryTheirBoxHealthAsTooltips) {
  CTessamerDlg& window = Open();
  hub->script.health = SampleHealth();
  window.RefreshToolTips();
  const QString connected = window.Lamp(0).toolTip();
  EXPECT_TRUE(connected.startsWith(QStringLiteral("Connected since 14:02:11"))) << connected.toStdString();
  EXPECT_EQ(window.AddressField(0).toolTip(), connected);
  const QString lost = window.Lamp(2).toolTip();
  EXPECT_TRUE(lost.startsWith(QStringLiteral("Lost "))) << lost.toStdString();
  EXPECT_TRUE(lost.endsWith(QStringLiteral("reconnecting \u00B7 Connection refused")));
  EXPECT_TRUE(window.Lamp(1).toolTip().isEmpty());
  EXPECT_TRUE(window.AddressField(1).toolTip().isEmpty());
}

// Silence is the health's word: the notices only make the window read it again, so the driver's
// reconnections of a silent box leave its address grey.
TEST_F(DialogTest, SilenceFromTheHealthGreysTheAddressThroughReconnectionsUntilTheBoxSpeaks) {
  CTessamerDlg& window = Open();
  hub->script.health = SampleHealth();
  BoxHealth& box = hub->script.health.boxes[0];
  Deliver(ActivityNotice{Connected, 0});
  box.state = BoxState::Silent;
  box.newestRecordAge = std::chrono::seconds(12);
  Deliver(BoxSilenceNotice{0, 12});
  EXPECT_TRUE(window.AddressField(0).IsGreyItalic());
  EXPECT_TRUE(window.AddressField(0).Part(0).font().italic());
  EXPECT_EQ(window.AddressField(0).Part(3).palette().color(QPalette::Text), QColor(128, 128, 128));
  EXPECT_FALSE(window.AddressField(2).IsGreyItalic());
  EXPECT_TRUE(window.Lamp(0).toolTip().startsWith(QStringLiteral("Silent for 12 s")))
      << window.Lamp(0).toolTip().toStdString();
  EXPECT_EQ(window.Lamp(0).GetState(), CLedControl::Green);
  window.Lamp(0).Flicker();
  EXPECT_EQ(window.Lamp(0).Phase(), 2);

  Deliver(ActivityNotice{ConnectionLost, 0});
  Deliver(ActivityNotice{Connected, 0});
  EXPECT_TRUE(window.AddressField(0).IsGreyItalic());
  EXPECT_TRUE(window.Lamp(0).toolTip().startsWith(QStringLiteral("Silent for")));

  box.state = BoxState::Connected;
  Deliver(BoxSilenceNotice{0, 0});
  EXPECT_FALSE(window.AddressField(0).IsGreyItalic());
  EXPECT_FALSE(window.AddressField(0).Part(0).font().italic());
  EXPECT_NE(window.AddressField(0).Part(3).palette().color(QPalette::Text), QColor(128, 128, 128));
  EXPECT_TRUE(window.Lamp(0).toolTip().startsWith(QStringLiteral("Connected since")));

  // Grey also without the notice, once the snapshot says so (the tooltips' refresh); not after
  // the run's end.
  box.state = BoxState::Silent;
  window.RefreshToolTips();
  EXPECT_TRUE(window.AddressField(0).IsGreyItalic());
  box.state = BoxState::Stopped;
  Deliver(StoppedNotice{});
  EXPECT_FALSE(window.AddressField(0).IsGreyItalic());
}

TEST_F(DialogTest, ServeAvailableBoxesIsAFileMenuSwitchRememberedWithTheAddresses) {
  auto serve = std::make_shared<std::atomic<bool>>(false);
  DialogOptions options = Options();
  options.serveAvailable = serve;
  CTessamerDlg& window = Open(std::move(options));
  QAction& item = window.ServeAvailableAction();
  EXPECT_EQ(item.text(), QStringLiteral("Serve available boxes"));
  EXPECT_TRUE(item.isCheckable());
  EXPECT_FALSE(item.isChecked());  // off by default
  item.trigger();
  EXPECT_TRUE(serve->load());
  EXPECT_TRUE(Settings().LoadServeAvailable());
  Mark(0, QStringLiteral("127.0.0.21"));
  window.ConnectButton().click();
  window.OnInitMenuPopup();
  EXPECT_FALSE(item.isEnabled());  // taken at the start of a run
  Deliver(RunPartialNotice{{1, 3}});
  EXPECT_EQ(window.StatusBar().PaneText(0), QStringLiteral("Serving; waiting for #2, #4"));
  Deliver(StoppedNotice{});
  window.OnInitMenuPopup();
  EXPECT_TRUE(item.isEnabled());
  window.ClearAllButton().click();
  EXPECT_TRUE(Settings().LoadServeAvailable());  // clearing the addresses keeps it
  window.reject();

  auto next = std::make_shared<std::atomic<bool>>(false);
  DialogOptions reopened = Options();
  reopened.serveAvailable = next;
  CTessamerDlg& again = Open(std::move(reopened));
  EXPECT_TRUE(again.ServeAvailableAction().isChecked());
  EXPECT_TRUE(next->load());
  again.ServeAvailableAction().trigger();
  EXPECT_FALSE(next->load());
  EXPECT_FALSE(Settings().LoadServeAvailable());
}

TEST_F(DialogTest, BoxesAndViewersWindowShowsTheSnapshotAndFollowsIt) {
  CTessamerDlg& window = Open();
  hub->script.health = SampleHealth();
  const QList<QAction*> items = window.ViewMenu().actions();
  ASSERT_EQ(items.size(), 2);
  EXPECT_EQ(items[0]->text(), QStringLiteral("Boxes and viewers"));
  items[0]->trigger();
  CHealthWindow* health = window.HealthWindow();
  ASSERT_NE(health, nullptr);
  EXPECT_TRUE(health->isVisible());
  EXPECT_FALSE(health->isModal());
  CBoxTableModel& boxes = health->Boxes();
  ASSERT_EQ(boxes.rowCount(), 2);
  EXPECT_EQ(boxes.index(0, 1).data().toString(), QStringLiteral("127.0.0.2:41001"));
  EXPECT_EQ(boxes.index(1, 2).data().toString(), QStringLiteral("lost"));
  EXPECT_EQ(boxes.index(1, 13).data().toString(), QStringLiteral("Connection refused"));
  ASSERT_EQ(health->Viewers().rowCount(), 1);
  EXPECT_EQ(health->Viewers().index(0, 1).data().toString(), QStringLiteral("127.0.0.1:50123"));
  EXPECT_TRUE(health->RunText().contains(QStringLiteral("170 records published")));
  EXPECT_EQ(health->RecordingText(), QStringLiteral("No recording"));
  EXPECT_TRUE(health->UplinkText().isEmpty());

  hub->script.health.boxes[1].state = BoxState::Connected;
  hub->script.health.boxes[0].records = 171;
  hub->script.health.viewers[0].closedForFallingBehind = true;
  hub->script.health.viewers.push_back(hub->script.health.viewers[0]);
  hub->script.health.recording = RecordingHealth{"/srv/job.sqlite", "failed", 3 * 1024 * 1024,
                                                 1200, "2024-05-01T02:14:00.000Z",
                                                 "2024-05-01T02:34:00.000Z", 40, 2,
                                                 "disk I/O error"};
  hub->script.health.uplink = UplinkHealth{"127.0.0.1:1883", "lost", 1180, 20, 0, 1180, 3,
                                           "Connection refused"};
  health->Refresh();
  EXPECT_EQ(boxes.index(1, 2).data().toString(), QStringLiteral("connected"));
  EXPECT_EQ(boxes.index(0, 6).data().toULongLong(), 171u);
  ASSERT_EQ(health->Viewers().rowCount(), 2);
  EXPECT_EQ(health->Viewers().index(0, 6).data().toString(), QStringLiteral("closed: fell behind"));
  EXPECT_EQ(health->RecordingText(),
            QStringLiteral("Recording: failed \u00B7 /srv/job.sqlite \u00B7 1200 records, 3.0 MiB "
                           "\u00B7 2024-05-01T02:14:00.000Z to 2024-05-01T02:34:00.000Z \u00B7 "
                           "40 waiting \u00B7 2 dropped \u00B7 last error: disk I/O error"));
  EXPECT_EQ(health->UplinkText(),
            QStringLiteral("MQTT: lost \u00B7 127.0.0.1:1883 \u00B7 1180 sent \u00B7 20 waiting "
                           "\u00B7 0 in flight \u00B7 acknowledged up to 1180 \u00B7 "
                           "3 reconnections \u00B7 last error: Connection refused"));
}

TEST_F(DialogTest, LiveDataWindowListsTheChannelsAndTrendsTheChosenOnes) {
  CTessamerDlg& window = Open();
  hub->script.health = SampleHealth();
  window.ViewMenu().actions()[1]->trigger();
  CLiveDataWindow* live = window.LiveDataWindow();
  ASSERT_NE(live, nullptr);
  EXPECT_TRUE(live->isVisible());
  CChannelTableModel& channels = live->Channels();
  ASSERT_EQ(channels.rowCount(), 4);
  EXPECT_EQ(channels.index(0, 0).data().toString(), QStringLiteral("Pressure_0"));
  EXPECT_EQ(channels.index(0, 1).data().toString(), QStringLiteral("kPa"));
  EXPECT_EQ(channels.index(0, 2).data().toString(), QStringLiteral("101.5000"));
  EXPECT_EQ(channels.index(0, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
  EXPECT_EQ(channels.Chosen(), (std::set<std::string>{"Pressure_0", "Pressure_1"}));
  EXPECT_EQ(live->Series("Flow_1"), nullptr);

  hub->script.health.takenAt += std::chrono::seconds(1);
  hub->script.health.channels[0].value = 102.25;
  hub->script.health.channels[3].value = 7.0;
  live->Refresh();
  EXPECT_EQ(channels.index(0, 2).data().toString(), QStringLiteral("102.2500"));
  QLineSeries* pressure = live->Series("Pressure_0");
  ASSERT_NE(pressure, nullptr);
  ASSERT_EQ(pressure->count(), 2);
  EXPECT_DOUBLE_EQ(pressure->at(0).y(), 101.5);
  EXPECT_DOUBLE_EQ(pressure->at(1).y(), 102.25);
  EXPECT_DOUBLE_EQ(pressure->at(1).x() - pressure->at(0).x(), 1000.0);

  // A channel chosen later shows its recent past at once; ten minutes on, the oldest points go.
  ASSERT_TRUE(channels.setData(channels.index(3, 0), Qt::Checked, Qt::CheckStateRole));
  QLineSeries* flow = live->Series("Flow_1");
  ASSERT_NE(flow, nullptr);
  EXPECT_EQ(flow->count(), 2);
  hub->script.health.takenAt += std::chrono::minutes(10);
  live->Refresh();
  EXPECT_EQ(live->Series("Pressure_0")->count(), 2);
  EXPECT_DOUBLE_EQ(live->Series("Pressure_0")->at(0).y(), 102.25);
}

// A channel without a reading (its box lost: viewers get 0 there) shows no value and leaves a
// gap in its trend; the trend goes on in the same colour when readings come back.
TEST_F(DialogTest, LiveDataShowsNoValueAndLeavesAGapWhereAChannelHasNoReading) {
  CTessamerDlg& window = Open();
  hub->script.health = SampleHealth();
  std::vector<CombinedChannel>& values = hub->script.health.channels;
  values[2].value = 5.0;
  window.ViewMenu().actions()[1]->trigger();  // Pressure_0 and Pressure_1 chosen
  CLiveDataWindow* live = window.LiveDataWindow();
  ASSERT_NE(live, nullptr);
  CChannelTableModel& channels = live->Channels();
  EXPECT_EQ(channels.index(2, 2).data().toString(), QStringLiteral("5.0000"));

  hub->script.health.takenAt += std::chrono::seconds(1);
  values[2].value = 0.0;
  values[2].missing = true;
  live->Refresh();
  EXPECT_EQ(channels.index(2, 2).data().toString(), QString());
  EXPECT_EQ(channels.index(0, 2).data().toString(), QStringLiteral("101.5000"));

  hub->script.health.takenAt += std::chrono::seconds(1);
  values[2].value = 6.0;
  values[2].missing = false;
  live->Refresh();
  const std::vector<QLineSeries*> stretches = live->Stretches("Pressure_1");
  ASSERT_EQ(stretches.size(), 2u);
  ASSERT_EQ(stretches[0]->count(), 1);
  ASSERT_EQ(stretches[1]->count(), 1);
  EXPECT_DOUBLE_EQ(stretches[0]->at(0).y(), 5.0);
  EXPECT_DOUBLE_EQ(stretches[1]->at(0).y(), 6.0);
  EXPECT_DOUBLE_EQ(stretches[1]->at(0).x() - stretches[0]->at(0).x(), 2000.0);
  EXPECT_EQ(stretches[1]->color(), stretches[0]->color());
  EXPECT_EQ(live->Series("Pressure_1"), stretches[1]);
  EXPECT_EQ(live->Stretches("Pressure_0").size(), 1u);
  EXPECT_EQ(live->Series("Pressure_0")->count(), 3);
}

TEST_F(DialogTest, LiveDataBeginsWithTheRecordingsRecentPastAndGoesOnFromIt) {
  DialogOptions options = Options();
  WallClock::time_point asked{};
  const double firstMs = 1.0e12;
  options.trendPast = [&asked, firstMs](WallClock::time_point since) {
    asked = since;
    TrendPast past;
    past.channels = {{"Pressure_0", "kPa", 99.0}, {"Flow_1", "l/min", 4.0}};
    past.points["Pressure_0"] = {{firstMs, 98.0}, {firstMs + 1000.0, 99.0}};
    past.points["Flow_1"] = {{firstMs, 4.0}};
    return past;
  };
  CTessamerDlg& window = Open(std::move(options));
  window.ViewMenu().actions()[1]->trigger();  // before any run
  CLiveDataWindow* live = window.LiveDataWindow();
  ASSERT_NE(live, nullptr);
  EXPECT_LT(WallClock::now() - asked - kTrendSpan, std::chrono::minutes(1));
  ASSERT_EQ(live->Channels().rowCount(), 2);
  EXPECT_EQ(live->Channels().index(0, 2).data().toString(), QStringLiteral("99.0000"));
  ASSERT_NE(live->Series("Pressure_0"), nullptr);
  EXPECT_EQ(live->Series("Pressure_0")->count(), 2);

  hub->script.health = SampleHealth();  // the run's own channels, a little later
  hub->script.health.takenAt = WallClock::time_point(std::chrono::milliseconds(1000000005000));
  live->Refresh();
  ASSERT_EQ(live->Channels().rowCount(), 4);
  QLineSeries* pressure = live->Series("Pressure_0");
  ASSERT_NE(pressure, nullptr);
  ASSERT_EQ(pressure->count(), 3);
  EXPECT_DOUBLE_EQ(pressure->at(0).y(), 98.0);
  EXPECT_DOUBLE_EQ(pressure->at(2).y(), 101.5);
}

}  // namespace
}  // namespace tessamer
