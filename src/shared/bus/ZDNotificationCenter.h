#pragma once
// Distributed notifications: a name and a userInfo dictionary, broadcast to every
// process on the session bus (ZDSessionBus) as the signal
// com.zendrel.Notifications.Notification(s name, a{sv} userInfo) on /com/zendrel/Notifications.
//
// Posting is static and may happen from any thread. Observing needs a center: its
// handlers run on the thread the center lives in, from that thread's event loop, and
// only for the names they were added for (the bus filters on the name). A process
// receives its own posts too. Add and remove observers from the center's thread.
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <vector>

class QDBusMessage;

class ZDNotificationCenter : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *kPath = "/com/zendrel/Notifications";
    static constexpr const char *kInterface = "com.zendrel.Notifications";
    static constexpr const char *kSignal = "Notification";
    static constexpr int kMaxNameLength = 255;

    using Handler = std::function<void(const QString &name, const QVariantMap &userInfo)>;

    // Listens on the bus ZDSessionBus chooses now (for root: the console user's bus).
    explicit ZDNotificationCenter(QObject *parent = nullptr);
    ~ZDNotificationCenter() override;

    // Returns once the bus has the notification, so a tool may exit right after.
    // False with one log line when the name or a value cannot travel or no bus is reachable.
    static bool postNotification(const QString &name, const QVariantMap &userInfo = {});

    // Notifications of that name posted after this returns reach the handler.
    // Returns an id for removeObserver; 0 when the name is unusable.
    int addObserver(const QString &name, Handler handler);
    // The handler is not called again, even for a notification already queued.
    void removeObserver(int id);
    void removeObservers(const QString &name);

    bool isConnected() const { return m_bus.isConnected(); }
    QString busName() const { return m_bus.name(); }

    static bool isValidName(const QString &name);

private Q_SLOTS:
    void deliver(const QDBusMessage &message);

private:
    struct Observer
    {
        int id;
        QString name;
        Handler handler;
    };

    bool observing(const QString &name) const;
    void stopListening(const QString &name);

    QDBusConnection m_bus;
    std::vector<Observer> m_observers;
    int m_nextId = 1;
};
