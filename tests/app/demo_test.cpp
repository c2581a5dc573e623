// The demo end to end: simulated boxes on loopback, the real hub on free ports, the window
// pressing "Connect" and showing what comes.

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include "app/app_texts.h"
#include "app/cli/demo_boxes.h"
#include "app/tessamer_dlg.h"
#include "hub/bridge/hub_bridge.h"
#include "testkit/recorders.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

// Runs the window's event loop until `done` holds after a handled notice, or `bound` passes.
bool RunUntil(CTessamerDlg& window, const std::function<bool()>& done,
              std::chrono::milliseconds bound) {
  if (done()) return true;
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  QObject::connect(&window, &CTessamerDlg::NoticeHandled, &loop, [&] {
    if (done()) loop.quit();
  });
  timer.start(bound);
  loop.exec();
  return done();
}

TEST(DemoTest, ConnectShowsGreenLampsABlinkingIndicatorAndDataOnTheDataPort) {
  testkit::RecordingAlerts alerts;
  CDemoBoxes demo;
  std::string error;
  ASSERT_TRUE(demo.Start(kDemoBoxCount, error)) << error;
  std::vector<PresetBox> boxes;
  for (const Box& box : demo.Boxes()) {
    boxes.push_back(PresetBox{HostOrderOf(box.address), static_cast<uint16_t>(box.port)});
  }
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].address, 0x7F000002u);
  EXPECT_EQ(boxes[2].address, 0x7F000004u);

  HubConfig config;
  config.listenAddress = "127.0.0.1";
  config.dataPort = 0;
  config.utilityPort = 0;
  config.defaultBoxAddress = "127.0.0.1";
  config.boxUtilityPort = demo.UtilityPort();
  DialogOptions options;
  options.settingsOrganisation = QStringLiteral("Tessamer Tests Demo");
  options.presetBoxes = boxes;
  options.makeHub = [config](INoticeSink* sink) {
    return std::make_unique<CHubBridge>(sink, config);
  };
  CTessamerDlg window(std::move(options));
  const uint16_t dataPort = window.Hub()->DataPort();
  ASSERT_NE(dataPort, 0);
  EXPECT_EQ(window.StatusBar().PaneText(1), QStringLiteral("*:%1").arg(dataPort));

  testkit::TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", dataPort));
  int published = 0;
  QObject::connect(&window, &CTessamerDlg::NoticeHandled, &window, [&published](unsigned message) {
    if (message == WM_HUB_PUBLISHED) ++published;
  });
  window.ConnectButton().click();
  ASSERT_TRUE(window.Running());
  const auto lampsGreen = [&window] {
    for (int row = 0; row < 3; ++row) {
      if (window.Lamp(row).GetState() != CLedControl::Green) return false;
    }
    return true;
  };
  ASSERT_TRUE(RunUntil(window, [&] { return lampsGreen() && published >= 3; }, std::chrono::seconds(20)))
      << "published " << published;
  for (int row = 3; row < MaxBoxes; ++row) EXPECT_EQ(window.Lamp(row).GetState(), CLedControl::Grey);
  EXPECT_EQ(window.StatusBar().PaneText(0), kClientConnectedText);
  // An odd or even number of blinks; the colours are chartreuse and dark green either way.
  const QColor top = window.StatusBar().Indicator().TopColour();
  EXPECT_TRUE(top == kChartreuse || top == kDarkGreen);
  EXPECT_FALSE(window.StatusBar().Indicator().IsSteady());

  // The viewer got the combined header and data lines with every box's channels.
  std::string line;
  bool sawData = false;
  for (int i = 0; i < 200 && !sawData && viewer.ReadLine(line); ++i) {
    sawData = !line.empty() && line[0] >= '0' && line[0] <= '9';
  }
  EXPECT_TRUE(sawData) << "last line: " << line;
  EXPECT_TRUE(alerts.Alerts().empty());

  window.reject();
  EXPECT_FALSE(CBoxSettings(QStringLiteral("Tessamer Tests Demo"), kSettingsApplication).HasSection());
}

}  // namespace
}  // namespace tessamer
