#include "app/tessamer_dlg.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QMenuBar>
#include <QVBoxLayout>
#include <algorithm>
#include <variant>

#include "app/about_dlg.h"
#include "app/app_texts.h"
#include "app/box_tooltip.h"
#include "app/health_views.h"
#include "app/live_data_window.h"
#include "app/window_alerts.h"
#include "hub/core/alerts.h"
#include "support/ipv4_text.h"

namespace tessamer {
namespace {

// A hub notice travelling to the window as a posted event.
class NoticeEvent : public QEvent {
 public:
  explicit NoticeEvent(Notice notice) : QEvent(Kind()), notice(std::move(notice)) {}
  static QEvent::Type Kind() {
    static const auto kind = static_cast<QEvent::Type>(QEvent::registerEventType());
    return kind;
  }
  Notice notice;
};

// The layout of the rows in dialog units: rows 1-8 on the left, 9-16 on the right.
constexpr int kLeftFieldTops[8] = {11, 31, 51, 71, 89, 109, 129, 149};
constexpr int kRightFieldTops[8] = {10, 31, 50, 71, 88, 109, 128, 149};
constexpr int kAreaWidth = 429;
constexpr int kAreaHeight = 192;

struct RowLayout {
  int checkX, checkWidth, fieldX, lampX, top;
};

RowLayout LayoutOfRow(int row) {
  // A check box reaches to just before its address field, so that its label is not cut.
  if (row < 8) return {row >= 4 ? 15 : 16, 66, 83, 189, kLeftFieldTops[row]};
  return {222, 72, 296, 399, kRightFieldTops[row - 8]};
}

// Dialog units to pixels for the window's font, as the platform converts them.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX = (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
    baseY = metrics.height();
  }
  // Widens the horizontal unit so that `pixels` fit in `units`.
  void FitX(int pixels, int units) { baseX = std::max(baseX, (pixels * 4 + units - 1) / units); }
  int X(int units) const { return units * baseX / 4; }
  int Y(int units) const { return units * baseY / 8; }
  QRect Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
  }

 private:
  int baseX = 6;
  int baseY = 13;
};

QString DottedOfControlAddress(uint32_t address) {
  return QString::fromStdString(Ipv4Text(address));
}

// A notice's row that names one of the window's rows.
bool IsRow(int32_t row) { return row >= 0 && row < MaxBoxes; }

}  // namespace

CTessamerDlg::CTessamerDlg(DialogOptions dialogOptions, QWidget* parent)
    : QDialog(parent),
      options(std::move(dialogOptions)),
      settings(options.settingsOrganisation, options.settingsApplication) {
  rowPorts.fill(options.boxPort);
  if (options.channelLimit >= kMinChannelLimit && options.channelLimit <= kMaxChannelLimit) channelLimit = options.channelLimit;
  setWindowTitle(QStringLiteral("Tessamer"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setSizeGripEnabled(false);
  BuildControls();
  OnInitDialog();
}

CTessamerDlg::~CTessamerDlg() {
  // The hub must not outlive its run: stop it when the window did not close through done().
  if (!closed && bridge) StopHub();
  bridge.reset();
}

void CTessamerDlg::BuildControls() {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* menuBar = new QMenuBar(this);
  BuildMenus(menuBar);
  layout->setMenuBar(menuBar);

  rowsArea = new QWidget(this);
  DialogUnits units(font());
  for (const int row : {7, 15}) {
    const QCheckBox probe(QStringLiteral("Vellumetric #%1").arg(row + 1));
    units.FitX(probe.sizeHint().width(), LayoutOfRow(row).checkWidth);
  }
  rowsArea->setMinimumSize(units.X(kAreaWidth), units.Y(kAreaHeight));
  layout->addWidget(rowsArea, 0, Qt::AlignLeft | Qt::AlignTop);
  layout->addStretch(1);
  for (int row = 0; row < MaxBoxes; ++row) {
    const RowLayout at = LayoutOfRow(row);
    auto* check = new QCheckBox(QStringLiteral("Vellumetric #%1").arg(row + 1), rowsArea);
    check->setGeometry(units.Rect(at.checkX, at.top + 3, at.checkWidth, 10));
    SetControlId(check, kFirstCheckBoxId + row);
    auto* field = new CIpAddressEdit(rowsArea);
    field->setGeometry(units.Rect(at.fieldX, at.top, 100, 15));
    SetControlId(field, kFirstAddressFieldId + row);
    auto* placeholder = new QLabel(QStringLiteral("Static"), rowsArea);
    placeholder->setGeometry(units.Rect(at.lampX, at.top, 14, 12));
    SetControlId(placeholder, kFirstLampId + row);
    checkBoxes[static_cast<size_t>(row)] = check;
    addressFields[static_cast<size_t>(row)] = field;
  }
  clearAllButton = new QPushButton(QStringLiteral("Clear All"), rowsArea);
  clearAllButton->setGeometry(units.Rect(318, 174, 50, 14));
  SetControlId(clearAllButton, kClearAllButtonId);
  connectButton = new QPushButton(QStringLiteral("&Connect"), rowsArea);
  connectButton->setGeometry(units.Rect(372, 174, 50, 14));
  connectButton->setDefault(true);
  SetControlId(connectButton, kConnectButtonId);
  connect(connectButton, &QPushButton::clicked, this, &CTessamerDlg::OnConnect);
  connect(clearAllButton, &QPushButton::clicked, this, &CTessamerDlg::OnClearAll);

  statusBar = new CIndicatorStatusBar(this, options.dotsPerInch);
  layout->addWidget(statusBar);
}

void CTessamerDlg::BuildMenus(QMenuBar* menuBar) {
  QMenu* file = menuBar->addMenu(QStringLiteral("&File"));
  connect(file->addAction(QStringLiteral("E&xit")), &QAction::triggered, this, &QDialog::reject);
  channelsMenu = menuBar->addMenu(QStringLiteral("Channels"));
  for (int n = kMinChannelLimit; n <= kMaxChannelLimit; ++n) {
    QAction* action = channelsMenu->addAction(QStringLiteral("Enable %1 Channel").arg(n));
    action->setCheckable(true);
    const int command = kFirstChannelCommand + n - 1;
    connect(action, &QAction::triggered, this, [this, command] { OnChannelLimit(command); });
    channelActions[static_cast<size_t>(n) - 1] = action;
  }
  connect(channelsMenu, &QMenu::aboutToShow, this, &CTessamerDlg::OnInitMenuPopup);
  OnInitMenuPopup();
  viewMenu = menuBar->addMenu(QStringLiteral("&View"));
  connect(viewMenu->addAction(QStringLiteral("Boxes and viewers")), &QAction::triggered, this,
          &CTessamerDlg::OpenHealthWindow);
  connect(viewMenu->addAction(QStringLiteral("Live data")), &QAction::triggered, this,
          &CTessamerDlg::OpenLiveDataWindow);
  QMenu* help = menuBar->addMenu(QStringLiteral("Help"));
  connect(help->addAction(QStringLiteral("About...")), &QAction::triggered, this,
          &CTessamerDlg::OnAbout);
}

void CTessamerDlg::OnInitDialog() {
  setWindowIcon(ApplicationIcon());
  if (KeepsSettings()) {
    LoadBoxAddresses();
  } else {
    const std::vector<PresetBox>& boxes = *options.presetBoxes;
    for (size_t row = 0; row < boxes.size() && row < MaxBoxes; ++row) {
      addressFields[row]->SetAddress(boxes[row].address);
      checkBoxes[row]->setChecked(true);
      rowPorts[row] = boxes[row].port;
    }
  }
  for (int row = 0; row < MaxBoxes; ++row) {
    lamps[static_cast<size_t>(row)].CreateInPlaceOf(rowsArea, kFirstLampId + row);
  }
  bridge = options.makeHub(this);
  CDownloadIndicator& indicator = statusBar->Indicator();
  if (bridge->StartServers()) {
    statusBar->SetPaneText(0, kWaitingText);
    const uint16_t port = bridge->DataPort() != 0 ? bridge->DataPort() : kDataPort;
    statusBar->SetPaneText(1, QStringLiteral("*:%1").arg(port));
    indicator.SetColours(kChartreuse, kDarkGreen, false);
  } else {
    ShowAlert(L"Could not start server. Detail: " + bridge->StartError().text, AlertIcon::Error);
    // The bar must not claim a port nobody listens on.
    statusBar->SetPaneText(0, kServerNotRunningText);
    statusBar->SetPaneText(1, QString());
    indicator.SetColours(kIndicatorRed, kIndicatorPink, true);
  }
  indicator.update();
}

void CTessamerDlg::Post(Notice notice) {
  QCoreApplication::postEvent(this, new NoticeEvent(std::move(notice)));
}

void CTessamerDlg::customEvent(QEvent* event) {
  if (event->type() == NoticeEvent::Kind()) {
    const Notice& notice = static_cast<NoticeEvent*>(event)->notice;
    Dispatch(notice);
    emit NoticeHandled(MessageOf(notice));
    return;
  }
  QDialog::customEvent(event);
}

void CTessamerDlg::Dispatch(const Notice& notice) {
  std::visit(Overloaded{[this](const ActivityNotice& n) { OnHubActivity(n); },
                        [this](const StoppedNotice&) { OnHubStopped(); },
                        [this](const BoxDataNotice& n) { OnBoxData(n); },
                        [this](const PublishedNotice&) { OnPublished(); },
                        [this](const ClientConnectionNotice& n) { OnClientConnection(n); },
                        [this](const BoxSilenceNotice& n) { OnBoxSilence(n); },
                        // headers complete, client offsets: nothing to show
                        [](const HeadersCompleteNotice&) {}, [](const ClientOffsetNotice&) {}},
             notice);
}

void CTessamerDlg::OnConnect() {
  std::vector<Box> boxes;
  std::vector<uint32_t> stored;
  for (int row = 0; row < MaxBoxes; ++row) {
    const auto i = static_cast<size_t>(row);
    if (!checkBoxes[i]->isChecked()) {
      lamps[i].SetState(CLedControl::Grey);
      continue;
    }
    const uint32_t address = addressFields[i]->GetAddress();
    const uint32_t boxAddress = BoxAddressFromHostOrder(address);
    for (const Box& earlier : boxes) {
      if (earlier.address != boxAddress) continue;
      const QString text =
          QStringLiteral("IP address %1 for Vellumetric #%2 has already been entered as "
                         "Vellumetric #%3")
              .arg(DottedOfControlAddress(address))
              .arg(row + 1)
              .arg(earlier.row + 1);
      ShowAlert(text.toStdWString(), AlertIcon::Error);
      return;
    }
    stored.push_back(StoredValueOf(address));
    boxes.push_back(Box{boxAddress, rowPorts[i], row});
  }
  if (boxes.empty()) {
    ShowAlert(L"Please mark Vellumetrics to connect to", AlertIcon::None);
    return;
  }
  for (const Box& box : boxes) lamps[static_cast<size_t>(box.row)].SetState(CLedControl::Orange);
  ClearSilence();
  if (KeepsSettings()) settings.Save(stored);
  if (bridge->Start(boxes, channelLimit)) {
    running = true;
    UpdateControls();
  } else {
    ShowAlert(bridge->StartError().text, AlertIcon::Error);
  }
}

void CTessamerDlg::OnClearAll() {
  for (int row = 0; row < MaxBoxes; ++row) {
    addressFields[static_cast<size_t>(row)]->Clear();
    checkBoxes[static_cast<size_t>(row)]->setChecked(false);
  }
  if (KeepsSettings()) settings.Clear();
}

void CTessamerDlg::UpdateControls() {
  const bool enable = !running;
  for (int row = 0; row < MaxBoxes; ++row) {
    addressFields[static_cast<size_t>(row)]->setEnabled(enable);
    checkBoxes[static_cast<size_t>(row)]->setEnabled(enable);
  }
  connectButton->setEnabled(enable);
  clearAllButton->setEnabled(enable);
}

void CTessamerDlg::OnHubActivity(const ActivityNotice& activity) {
  if (!IsRow(activity.row)) return;
  const auto row = static_cast<size_t>(activity.row);
  CLedControl& lamp = lamps[row];
  if (silentSince[row]) OnBoxSilence(BoxSilenceNotice{activity.row, 0});
  if (activity.status == Connected) {
    lamp.SetState(CLedControl::Green);
  } else if (activity.status == ConnectFailed) {
    lamp.SetState(CLedControl::Red);
  } else {
    lamp.SetState(CLedControl::Orange);
  }
}

void CTessamerDlg::OnHubStopped() {
  running = false;
  for (CLedControl& lamp : lamps) {
    if (lamp.GetState() != CLedControl::Red) lamp.SetState(CLedControl::Grey);
  }
  ClearSilence();
  UpdateControls();
}

void CTessamerDlg::OnBoxData(const BoxDataNotice& data) {
  if (IsRow(data.row)) lamps[static_cast<size_t>(data.row)].Flicker();
}

void CTessamerDlg::OnPublished() {
  statusBar->Indicator().Blink();
  statusBar->Indicator().update();
}

void CTessamerDlg::OnBoxSilence(const BoxSilenceNotice& silence) {
  if (!IsRow(silence.row)) return;
  const auto row = static_cast<size_t>(silence.row);
  std::optional<WallClock::time_point>& since = silentSince[row];
  since.reset();
  if (silence.Silent()) since = WallClock::now() - std::chrono::seconds(silence.seconds);
  addressFields[row]->SetGreyItalic(since.has_value());
  RefreshToolTips();
}

void CTessamerDlg::ClearSilence() {
  for (int row = 0; row < MaxBoxes; ++row) {
    silentSince[static_cast<size_t>(row)].reset();
    addressFields[static_cast<size_t>(row)]->SetGreyItalic(false);
  }
}

HubHealth CTessamerDlg::Health() const { return bridge ? bridge->Health() : HubHealth{}; }

void CTessamerDlg::RefreshToolTips() {
  const HubHealth health = Health();
  const WallClock::time_point now = WallClock::now();
  for (int row = 0; row < MaxBoxes; ++row) {
    const auto i = static_cast<size_t>(row);
    const auto found = std::find_if(health.boxes.begin(), health.boxes.end(),
                                    [row](const BoxHealth& box) { return box.row == row; });
    std::optional<BoxHealth> box;
    if (found != health.boxes.end()) box = *found;
    // The silence notice is the window's word for it, even before a snapshot says so.
    if (silentSince[i]) {
      if (!box) box.emplace().row = row;
      box->state = BoxState::Silent;
      box->newestRecordAge =
          std::chrono::duration_cast<std::chrono::milliseconds>(now - *silentSince[i]);
    }
    const QString text = box ? BoxToolTip(*box, now) : QString();
    if (lamps[i].toolTip() == text) continue;
    lamps[i].setToolTip(text);
    addressFields[i]->setToolTip(text);
  }
}

void CTessamerDlg::OpenHealthWindow() {
  if (healthWindow == nullptr) {
    healthWindow = new CHealthWindow([this] { return Health(); }, this);
  }
  healthWindow->show();
  healthWindow->raise();
}

void CTessamerDlg::OpenLiveDataWindow() {
  if (liveDataWindow == nullptr) {
    liveDataWindow = new CLiveDataWindow([this] { return Health(); }, this, options.trendPast);
  }
  liveDataWindow->show();
  liveDataWindow->raise();
}

void CTessamerDlg::OnClientConnection(const ClientConnectionNotice& connection) {
  statusBar->SetPaneText(0, connection.connected ? kClientConnectedText : kClientDisconnectedText);
}

void CTessamerDlg::OnChannelLimit(int command) {
  const int limit = command - (kFirstChannelCommand - 1);
  if (limit >= kMinChannelLimit && limit <= kMaxChannelLimit) channelLimit = limit;
  OnInitMenuPopup();
}

void CTessamerDlg::OnInitMenuPopup() {
  for (int n = kMinChannelLimit; n <= kMaxChannelLimit; ++n) {
    QAction* action = channelActions[static_cast<size_t>(n) - 1];
    action->setChecked(n == channelLimit);
    action->setEnabled(!running);
  }
}

void CTessamerDlg::OnAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CTessamerDlg::LoadBoxAddresses() {
  const std::vector<uint32_t> stored = settings.Load();
  for (size_t row = 0; row < stored.size() && row < MaxBoxes; ++row) {
    addressFields[row]->SetAddress(ControlAddressOf(stored[row]));
    checkBoxes[row]->setChecked(true);
  }
}

void CTessamerDlg::SaveBoxAddresses() {
  if (!KeepsSettings()) return;
  std::vector<uint32_t> stored;
  for (int row = 0; row < MaxBoxes; ++row) {
    const auto i = static_cast<size_t>(row);
    if (checkBoxes[i]->isChecked()) stored.push_back(StoredValueOf(addressFields[i]->GetAddress()));
  }
  if (!stored.empty()) settings.Save(stored);
}

void CTessamerDlg::StopHub() {
  {
    CWindowAlerts::WindowBlocked blocked(options.windowAlerts);
    bridge->Stop();
  }
  if (options.windowAlerts != nullptr) options.windowAlerts->ShowHeld();
}

void CTessamerDlg::done(int result) {
  if (!closed) {
    closed = true;
    if (healthWindow != nullptr) healthWindow->close();
    if (liveDataWindow != nullptr) liveDataWindow->close();
    StopHub();
    SaveBoxAddresses();
  }
  QDialog::done(result);
}

}  // namespace tessamer
