#pragma once
// The machine-local callback connection, serving side: an object on the session bus
// (ZDSessionBus) under the well-known name "com.zendrel.ZDKestraClientCallback",
// whose operations other programs on this computer call by name
// (com.zendrel.ZDKestraClientCallback.Invoke(s operation, av arguments) -> v).
//
// Holding the bus name is what makes the connection exclusive: start() never takes the
// name from another process, it reports it occupied. Operations run on the thread the
// server lives in, from its event loop. Every call is untrusted: unknown operations,
// wrong argument counts and unreadable values are refused with a D-Bus error.
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusVariant>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVariantList>

#include <functional>

class ZDLocalCallbackServer : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.zendrel.ZDKestraClientCallback")

public:
    static constexpr const char *kServiceName = "com.zendrel.ZDKestraClientCallback";
    static constexpr const char *kObjectPath = "/com/zendrel/ZDKestraClientCallback";
    static constexpr const char *kInterface = "com.zendrel.ZDKestraClientCallback";
    static constexpr const char *kMethod = "Invoke";
    static constexpr const char *kErrorUnknownOperation = "com.zendrel.ZDKestraClientCallback.Error.UnknownOperation";
    static constexpr const char *kErrorInvalidArguments = "com.zendrel.ZDKestraClientCallback.Error.InvalidArguments";
    static constexpr const char *kErrorFailed = "com.zendrel.ZDKestraClientCallback.Error.Failed";
    static constexpr int kMaxOperationLength = 255;
    static constexpr int kAnyArgumentCount = -1;

    // An operation refuses its arguments by throwing std::invalid_argument; any other
    // exception is reported to the caller as a failure. The result must be able to
    // travel (ZDDBusValue); an invalid QVariant is "none".
    using Operation = std::function<QVariant(const QVariantList &arguments)>;

    enum class Status { Stopped, Registered, NameOccupied, NoBus };

    explicit ZDLocalCallbackServer(const QString &serviceName = QString::fromLatin1(kServiceName),
                                   QObject *parent = nullptr);
    ~ZDLocalCallbackServer() override;

    void addOperation(const QString &name, int argumentCount, Operation operation);
    bool respondsTo(const QString &name) const { return m_operations.contains(name); }

    // Exports the object and claims the name. NameOccupied leaves the name with its
    // holder; occupant() then says who that is.
    Status start();
    // Releases the name and withdraws the object; also done on destruction.
    void stop();

    Status status() const { return m_status; }
    QString serviceName() const { return m_serviceName; }
    QString occupant() const { return m_occupant; }

public Q_SLOTS:
    // The bus entry point (only the bus exports public slots); call operations with ZDLocalCallbackClient.
    Q_SCRIPTABLE QDBusVariant Invoke(const QString &operation, const QVariantList &arguments);

private:
    struct Entry
    {
        int argumentCount;
        Operation operation;
    };

    QDBusVariant refuse(const char *errorName, const QString &text);

    QString m_serviceName;
    QHash<QString, Entry> m_operations;
    QDBusConnection m_bus;
    Status m_status = Status::Stopped;
    QString m_occupant;
};
