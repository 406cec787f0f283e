#pragma once
// Browses for one DNS-SD service type through the system's avahi daemon and
// resolves every service found.
//
// Threads: avahi runs on a thread of its own; every signal is queued to the thread
// the browser lives in (which needs an event loop) and never emitted from inside
// a call. Use the object from that thread only.
//
// Events: a service is one name in one domain, however many interfaces and IP
// versions it is seen on. serviceFound comes first; then serviceResolved once,
// or resolveFailed when no answer came within the resolve time-out (also when
// avahi gave up earlier for another reason); serviceUpdated when a later answer
// for another interface or IP version adds addresses; serviceRemoved when the
// last announcement is gone. Each found service is removed exactly once, also
// when browsing stops or the daemon goes away; the browser then starts again on
// its own (waiting for the daemon) and finds the services anew.
#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>

struct ZDDNSSDService
{
    QString name;
    QString type;   // as browsed for, e.g. "_kestraclient._tcp."
    QString domain; // with its final ".", e.g. "local."
    int interfaceIndex = -1;
    // Known once resolved:
    QString hostName;      // with its final ".", e.g. "kestra-test.local."
    quint16 port = 0;
    QStringList addresses; // IPv4 and IPv6 in numeric form, link-local IPv6 with "%interface"
    QVariantMap txt;       // ZDDNSSDTxtRecord::decode of txtData
    QByteArray txtData;
};
Q_DECLARE_METATYPE(ZDDNSSDService)

class ZDDNSSDBrowser : public QObject
{
    Q_OBJECT
public:
    enum class Error { None, DaemonNotRunning, Disconnected, Timeout, InvalidArgument, Failure };
    Q_ENUM(Error)

    static constexpr int kDefaultResolveTimeoutMs = 20000;

    explicit ZDDNSSDBrowser(QObject *parent = nullptr);
    ~ZDDNSSDBrowser() override; // stops without emitting

    // Browses the default domain when domain is empty. False, with failed() queued,
    // for a type avahi would refuse and when no avahi client can be made at all;
    // a daemon that is not running yet is reported by failed(DaemonNotRunning)
    // and waited for.
    bool start(const QString &type, const QString &domain = QString());
    // Emits serviceRemoved for every service still known.
    void stop();
    bool isBrowsing() const;

    // For resolutions started after the call.
    void setResolveTimeout(int msec);
    int resolveTimeout() const;

    // Resolves a found service once more (its agent may have come back on another
    // port within the daemon's grace period, which reports no change); the answer
    // comes as serviceResolved. Nothing happens for a service no longer found.
    void resolveAgain(const ZDDNSSDService &service);

    // The services currently found, resolved or not.
    QList<ZDDNSSDService> services() const;

Q_SIGNALS:
    void serviceFound(const ZDDNSSDService &service);
    void serviceResolved(const ZDDNSSDService &service);
    void serviceUpdated(const ZDDNSSDService &service);
    void resolveFailed(const ZDDNSSDService &service, ZDDNSSDBrowser::Error error, const QString &message);
    void serviceRemoved(const ZDDNSSDService &service);
    void failed(ZDDNSSDBrowser::Error error, const QString &message);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
