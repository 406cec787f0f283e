#pragma once
// Where the console keeps its settings and its state, in one place for the window
// and the command line: the INI file "com.zendrel.KestraAdmin.ini" in the user's
// preferences folder (KESTRA_ADMIN_SETTINGS names another file), read and written
// through QSettings, which locks it so that several processes may share it.
#include <QSettings>
#include <QString>

#include <memory>

class ZDAdminSettings
{
public:
    ZDAdminSettings() = delete;

    static constexpr const char *kFileName = "com.zendrel.KestraAdmin.ini";
    // Keys of the console's settings.
    static constexpr const char *kUsersKey = "users";
    static constexpr const char *kManualConnectionsKey = "manualConnections";

    static QString defaultPath();
    // Opens the file at path, or defaultPath() when path is empty.
    static std::unique_ptr<QSettings> open(const QString &path = QString());
    // Per-user folder for state the console keeps between runs (created on demand).
    static QString stateDirectory();
};
