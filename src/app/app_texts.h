#pragma once
// The application's fixed texts: what the operator reads, the settings names, and the
// identifiers the window's controls carry.

#include <QString>

#include "app/cli/program_log.h"

namespace tessamer {

// Settings root, application and section of the stored box addresses.
inline const QString kSettingsOrganisation = QString::fromUtf8(kCompanyName);
inline const QString kSettingsApplication = QString::fromUtf8(kProgramName);
inline const QString kAddressSection = QStringLiteral("IP");

// String table.
inline const QString kAboutMenuText = QStringLiteral("&About Tessamer...");
inline const QString kSocketsFailedText = QStringLiteral("Windows sockets initialization failed.");
inline const QString kRunningText = QStringLiteral("Running...");
inline const QString kConnectedText = QStringLiteral("Connected");
inline const QString kDataPortPaneText = QStringLiteral("5000");

// Status texts of the main window.
inline const QString kWaitingText = QStringLiteral("Waiting for clients to connect");
inline const QString kServerNotRunningText = QStringLiteral("The data server is not running");
inline const QString kClientConnectedText = QStringLiteral("Client connected");
inline const QString kClientDisconnectedText = QStringLiteral("Client disconnected");

// Control identifiers.
inline constexpr int kConnectButtonId = 1000;
inline constexpr int kFirstCheckBoxId = 1004;
inline constexpr int kFirstAddressFieldId = 1100;
inline constexpr int kFirstLampId = 1200;
inline constexpr int kClearAllButtonId = 1222;
inline constexpr int kRunningPaneId = 1217;
inline constexpr int kConnectedPaneId = 1218;
inline constexpr int kPortPaneId = 1219;
inline constexpr int kAboutCommand = 16;
inline constexpr int kFirstChannelCommand = 32779;  // "Enable 1 Channel"; +n-1 for n channels

}  // namespace tessamer
