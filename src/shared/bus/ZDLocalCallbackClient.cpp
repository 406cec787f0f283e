#include "bus/ZDLocalCallbackClient.h"

#include "bus/ZDDBusValue.h"
#include "log/ZDLog.h"
#include "bus/ZDSessionBus.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>

ZDLocalCallbackClient::ZDLocalCallbackClient(const QString &serviceName, int timeoutMs)
    : m_serviceName(serviceName)
    , m_timeoutMs(timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs)
{
}

bool ZDLocalCallbackClient::isAvailable() const
{
    const QDBusConnection bus = ZDSessionBus::connection();
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QDBusReply<bool> r = bus.interface()->isServiceRegistered(m_serviceName);
    return r.isValid() && r.value();
}

bool ZDLocalCallbackClient::prepare(const QString &operation, const QVariantList &arguments, QDBusMessage *message,
                                    Reply *failure) const
{
    QVariantList wire;
    QString why;
    if (operation.isEmpty() || operation.size() > ZDLocalCallbackServer::kMaxOperationLength
        || operation.contains(QChar(u'\0'))) {
        why = QStringLiteral("invalid operation name");
    } else if (ZDDBusValue::listToWire(arguments, &wire, &why)) {
        *message = QDBusMessage::createMethodCall(m_serviceName, QString::fromLatin1(ZDLocalCallbackServer::kObjectPath),
                                                  QString::fromLatin1(ZDLocalCallbackServer::kInterface),
                                                  QString::fromLatin1(ZDLocalCallbackServer::kMethod));
        message->setAutoStartService(false);
        *message << operation << QVariant::fromValue(wire);
        return true;
    }
    failure->errorName = QString::fromLatin1(kErrorNotSent);
    failure->errorMessage = QStringLiteral("Unable to call %1: %2.").arg(operation.left(64), why);
    ZDLog::appendLog(failure->errorMessage);
    return false;
}

ZDLocalCallbackClient::Reply ZDLocalCallbackClient::call(const QString &operation, const QVariantList &arguments) const
{
    Reply out;
    QDBusMessage message;
    if (!prepare(operation, arguments, &message, &out))
        return out;
    const QDBusConnection bus = ZDSessionBus::connection();
    if (!bus.isConnected()) {
        out.errorName = QString::fromLatin1(kErrorNoOwner);
        out.errorMessage = QStringLiteral("No session bus, so nobody holds %1.").arg(m_serviceName);
        return out;
    }
    const QDBusMessage reply = bus.call(message, QDBus::Block, m_timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QString name = reply.errorName();
        if (name == QDBusError::errorString(QDBusError::ServiceUnknown)
            || name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
            out.errorName = QString::fromLatin1(kErrorNoOwner);
            out.errorMessage = QStringLiteral("Nobody holds %1.").arg(m_serviceName);
        } else if (name == QDBusError::errorString(QDBusError::NoReply)
                   || name == QDBusError::errorString(QDBusError::Timeout)) {
            out.errorName = QString::fromLatin1(kErrorTimeout);
            out.errorMessage = QStringLiteral("%1 did not answer %2 within %3 ms.").arg(m_serviceName, operation).arg(m_timeoutMs);
        } else {
            out.errorName = name;
            out.errorMessage = reply.errorMessage();
        }
        return out;
    }
    const QList<QVariant> args = reply.arguments();
    int dropped = 0;
    if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("v") && args.size() == 1) {
        out.value = ZDDBusValue::fromWire(args.constFirst(), &dropped);
        if (dropped == 0) {
            out.ok = true;
            return out;
        }
    }
    out.value.clear();
    out.errorName = QString::fromLatin1(ZDLocalCallbackServer::kErrorFailed);
    out.errorMessage = QStringLiteral("Unreadable answer from %1 to %2.").arg(m_serviceName, operation);
    ZDLog::appendLog(out.errorMessage);
    return out;
}

bool ZDLocalCallbackClient::callOneway(const QString &operation, const QVariantList &arguments) const
{
    Reply failure;
    QDBusMessage message;
    if (!prepare(operation, arguments, &message, &failure))
        return false;
    const QDBusConnection bus = ZDSessionBus::connection();
    if (!bus.isConnected() || !bus.send(message))
        return false;
    // The name check is answered after the call has been routed, so it doubles as a flush.
    return isAvailable();
}
