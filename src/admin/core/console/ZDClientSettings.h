#pragma once
// The "Kestra Client" settings of many computers as four check boxes: merges the
// answers of networkClientSettings (differing values become -1, the mixed state),
// and builds the dictionary for setNetworkClientSettings: where -1 leaves a value
// alone on every computer. Answers are untrusted: only the numbers 0 and 1 count.
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class ZDClientSettings
{
public:
    static constexpr int kMixed = -1;
    static constexpr int kUnknown = -2; // no computer gave a usable value

    static constexpr const char *kAutoUpdateCheck = "autoUpdateCheck";
    static constexpr const char *kGlobalUpdateCheck = "globalUpdateCheck";
    static constexpr const char *kShowMenuBarIcon = "showMenuBarIcon";
    static constexpr const char *kEnableMaintenanceRequests = "enableMaintenanceRequests";

    // In box order.
    static QStringList keys();

    ZDClientSettings() = default;
    // Host name -> settings dictionary, as the dispatcher returns it.
    static ZDClientSettings merged(const QVariantMap &answers);

    // 0, 1, kMixed or kUnknown.
    int state(const QString &key) const;
    void setState(const QString &key, int state);
    // The maintenance box can be used while some computer shows the menu-bar icon.
    bool maintenanceEnabled() const;

    // The user clicked the box of key: a mixed box becomes on, otherwise it toggles.
    // Returns the box's new state.
    int toggle(const QString &key);
    // What to send: every box's state, -1 for mixed or unknown ones.
    QVariantMap settingsToSend() const;

private:
    QVariantMap m_states;
};
