#pragma once
// The agent's settings program, without its widgets: switches the agent's computer-wide
// job on and off, keeps its settings in the agent's preferences, announces changes to
// the running agent on the session bus and polls its status every 10 s.
// Lives on the GUI thread; the start and stop run on worker threads and hand every
// state change back to it, so the flags and the switch change there only.
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <QFuture>
#include <condition_variable>
#include <mutex>
#include <vector>

class ZDNotificationCenter;
class ZDClientPreferences;

struct ZDNetworkInterface
{
    QString name;       // "Ethernet - enp3s0"
    QString macAddress; // lower case, colon separated
};

class Orvelle_Network_ClientPref : public QObject
{
    Q_OBJECT

public:
    static constexpr int kStatusIntervalMs = 10000;
    static constexpr int kReplyTimeoutMs = 10000;
    static constexpr int kStartReplyTimeoutMs = 15000;
    static constexpr int kMinPort = 1025;
    static constexpr int kMaxPort = 65535;

    struct Settings
    {
        bool autoUpdateCheck = true;
        bool preventUpdateDialogs = true;
        bool showMenuBarIcon = true;
        bool enableMaintenance = true;
        QString selectedMACAddress; // empty: "Any (recommended)"
        bool customPortSet = false;
        QString customPort;
        bool disableBonjour = false;
    };
    // The checkboxes the user may use now.
    struct Enabled
    {
        bool masterSwitch = false;
        bool updateChecks = false; // auto update and update dialogs
        bool showMenuBarIcon = false;
        bool maintenance = false;
        bool portText = false;
    };

    explicit Orvelle_Network_ClientPref(QObject *parent = nullptr);
    ~Orvelle_Network_ClientPref() override;

    // Reads the settings, asks the agent's status and starts the poll; once.
    void mainViewDidLoad();

    // Interfaces with a MAC address, loopback left out, from <root>/sys/class/net.
    static std::vector<ZDNetworkInterface> networkInterfaces();
    // Empty when the text is a port in 1025-65535, else why not.
    static QString portProblem(const QString &text);
    // "Connected" when the job file exists and our own agent runs.
    bool isJobInstalled() const;

    const Settings &settings() const { return m_settings; }
    const Enabled &enabled() const { return m_enabled; }
    bool isLoading() const { return m_isLoading; }
    bool isProcessing() const { return m_isProcessing; }
    bool switchOn() const { return m_switchOn; }
    QString statusText() const { return m_status; }
    QString versionText() const;
    // Delay before the agent is started directly when the service manager has not.
    void setLaunchDelayMs(int ms) { m_launchDelayMs = ms; }

    // The user's actions.
    void userSwitched(bool on);
    void setAutoUpdateCheck(bool on);
    void setPreventUpdateDialogs(bool on);
    void setShowMenuBarIcon(bool on);
    void setMaintenance(bool on);
    // False (nothing saved or announced) with the reason in *error when the port is refused.
    bool updateNetworkSettings(const QString &macAddress, bool customPortSet, const QString &customPort,
                               bool disableBonjour, QString *error = nullptr);

    void fetchCurrentStatus();

Q_SIGNALS:
    void statusChanged(const QString &labelText);
    // The switch must show this value (silently) and the controls these states.
    void interfaceChanged();
    void busyChanged(bool busy);
    void sheet(const QString &message, const QString &informative);

private:
    void updateStatus(const QVariantMap &userInfo);
    void setStatus(const QString &status);
    void updateEnabledStatus(bool force = true);
    void disableInterface();
    bool savePrefs();
    void postNotification(const QString &name);
    void scheduleTimeOut(int ms);
    void setupClient();
    void stopClient();
    void reloadClientIfNew();
    void finishProcessing();
    bool waitOrClosing(int ms);
    template <typename F>
    void runWorker(F &&work);

    Settings m_settings;
    Enabled m_enabled;
    bool m_isLoading = true;
    bool m_isProcessing = false;
    bool m_switchOn = false;
    bool m_loaded = false;
    QString m_status;
    int m_launchDelayMs = 18000;
    ZDNotificationCenter *m_center = nullptr;
    QTimer m_statusTimer;
    QTimer m_messageTimer;
    std::unique_ptr<ZDClientPreferences> m_prefs;

    std::mutex m_closingMutex;
    std::condition_variable m_closingChanged;
    bool m_closing = false;
    std::vector<QFuture<void>> m_workers;
};
