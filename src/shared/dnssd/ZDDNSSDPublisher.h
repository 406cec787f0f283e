#pragma once
// Publishes one DNS-SD service through the system's avahi daemon.
//
// Threads: use the object from the thread it lives in (that thread needs an event
// loop). avahi works on a thread of its own; every signal is queued to the
// object's thread, never emitted from inside a call.
//
// Failures: failed() is a report, not an end. The publisher keeps trying on its
// own: it waits for a missing daemon, registers again after the daemon restarts
// and emits published() once more. A caller that prefers its own retry may call
// withdraw() and publish() again at any time.
//
// Name collisions: with CollisionPolicy::Rename (the default) the next alternative
// name ("Name #2", ...) is taken and published() carries it; with Fail, failed()
// reports Collision and the service stays unpublished until publish() is called.
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class ZDDNSSDPublisher : public QObject
{
    Q_OBJECT
public:
    enum class Error { None, DaemonNotRunning, Disconnected, Collision, InvalidArgument, Failure };
    Q_ENUM(Error)
    enum class CollisionPolicy { Rename, Fail };

    static constexpr int kAllInterfaces = -1;
    static constexpr const char *kServiceType = "_kestraclient._tcp.";

    explicit ZDDNSSDPublisher(QObject *parent = nullptr);
    ~ZDDNSSDPublisher() override; // withdraws

    // Replaces whatever was published before. An empty name means the computer
    // name (the daemon's host name). interfaceIndex is kAllInterfaces or an index
    // as from interfaceIndex(). The TXT record is built by ZDDNSSDTxtRecord::encode.
    // False, with failed() queued, for arguments avahi would refuse and when no
    // avahi client can be made at all; a daemon that is not running yet is
    // reported through failed(DaemonNotRunning) and waited for.
    bool publish(const QString &name, quint16 port, const QVariantMap &txt,
                 int interfaceIndex = kAllInterfaces, const QString &type = QString::fromLatin1(kServiceType));
    void withdraw();

    void setCollisionPolicy(CollisionPolicy policy);
    CollisionPolicy collisionPolicy() const;

    bool isPublished() const;
    // The name the service is published under; empty while not published.
    QString name() const;

    // The index of a network interface by its name (e.g. "lo"), 0 when unknown.
    static int interfaceIndex(const QString &interfaceName);

Q_SIGNALS:
    void published(const QString &name);
    void failed(ZDDNSSDPublisher::Error error, const QString &message);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
