#pragma once
// The names of the notifications the agent, its settings program, the uninstaller
// and the maker's tools exchange on the session bus: written once, so the programs
// cannot drift apart.
#include <QString>

namespace ZDClientNotification {
inline const QString menuBarIconShow = QStringLiteral("ZDKestraClientMenuBarIconShow");
inline const QString menuBarIconHide = QStringLiteral("ZDKestraClientMenuBarIconHide");
inline const QString maintenanceEnable = QStringLiteral("ZDKestraClientMaintenanceEnable");
inline const QString maintenanceDisable = QStringLiteral("ZDKestraClientMaintenanceDisable");
inline const QString currentStatus = QStringLiteral("ZDKestraClientCurrentStatus");
inline const QString disconnect = QStringLiteral("ZDKestraClientDisconnect");
inline const QString relaunch = QStringLiteral("ZDKestraClientRelaunch");
inline const QString statusUpdate = QStringLiteral("ZDKestraClientStatusUpdate");
inline const QString taskProgress = QStringLiteral("ZDKMTTaskProgressIncrement");
inline const QString taskFinished = QStringLiteral("ZDKMTTaskFinished");
inline const QString taskError = QStringLiteral("ZDKMTTaskError");
} // namespace ZDClientNotification
