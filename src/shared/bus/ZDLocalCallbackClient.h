#pragma once
// The machine-local callback connection, calling side: calls an operation by name on
// the object that ZDLocalCallbackServer exports, on the same session bus.
#include "bus/ZDLocalCallbackServer.h"

#include <QString>
#include <QVariant>
#include <QVariantList>

class ZDLocalCallbackClient
{
public:
    static constexpr int kDefaultTimeoutMs = 10000;
    static constexpr const char *kErrorNoOwner = "com.zendrel.ZDKestraClientCallback.Error.NoOwner";
    static constexpr const char *kErrorTimeout = "com.zendrel.ZDKestraClientCallback.Error.Timeout";
    static constexpr const char *kErrorNotSent = "com.zendrel.ZDKestraClientCallback.Error.NotSent";

    struct Reply
    {
        bool ok = false;
        QVariant value;       // the operation's result when ok
        QString errorName;    // a D-Bus error name, one of the server's or the kError* above
        QString errorMessage; // readable, for the log
    };

    explicit ZDLocalCallbackClient(const QString &serviceName = QString::fromLatin1(ZDLocalCallbackServer::kServiceName),
                                   int timeoutMs = kDefaultTimeoutMs);

    // Someone holds the name right now.
    bool isAvailable() const;

    // Blocks the calling thread until the answer or the time-out.
    Reply call(const QString &operation, const QVariantList &arguments = {}) const;
    // Returns once the bus has routed the call; no answer is awaited. False when the
    // arguments cannot travel or nobody holds the name.
    bool callOneway(const QString &operation, const QVariantList &arguments = {}) const;

private:
    bool prepare(const QString &operation, const QVariantList &arguments, QDBusMessage *message, Reply *failure) const;

    QString m_serviceName;
    int m_timeoutMs;
};
