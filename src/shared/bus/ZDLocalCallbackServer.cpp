#include "bus/ZDLocalCallbackServer.h"

#include "bus/ZDDBusValue.h"
#include "log/ZDException.h"
#include "log/ZDLog.h"
#include "bus/ZDSessionBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QSet>

#include <mutex>
#include <stdexcept>

#include <unistd.h>

namespace {

// The bus answers "already the owner" to a second claim from this connection, so
// names held in this process are tracked here.
std::mutex heldLock;
QSet<QString> &heldNames()
{
    static QSet<QString> names;
    return names;
}

} // namespace

ZDLocalCallbackServer::ZDLocalCallbackServer(const QString &serviceName, QObject *parent)
    : QObject(parent)
    , m_serviceName(serviceName)
    , m_bus(QString())
{
}

ZDLocalCallbackServer::~ZDLocalCallbackServer()
{
    stop();
}

void ZDLocalCallbackServer::addOperation(const QString &name, int argumentCount, Operation operation)
{
    if (name.isEmpty() || name.size() > kMaxOperationLength || !operation)
        return;
    m_operations.insert(name, Entry{argumentCount, std::move(operation)});
}

ZDLocalCallbackServer::Status ZDLocalCallbackServer::start()
{
    if (m_status == Status::Registered)
        return m_status;
    m_occupant.clear();
    m_bus = ZDSessionBus::connection();
    if (!m_bus.isConnected() || !m_bus.interface()) {
        ZDLog::appendLog(QStringLiteral("Unable to register callback name %@: no session bus."), m_serviceName);
        return m_status = Status::NoBus;
    }
    {
        std::lock_guard<std::mutex> guard(heldLock);
        if (heldNames().contains(m_serviceName)) {
            m_occupant = QStringLiteral("%1 (pid %2, this process)").arg(m_bus.baseService()).arg(qint64(::getpid()));
            return m_status = Status::NameOccupied;
        }
        heldNames().insert(m_serviceName);
    }
    auto release = [this] {
        std::lock_guard<std::mutex> guard(heldLock);
        heldNames().remove(m_serviceName);
    };

    const QString path = QString::fromLatin1(kObjectPath);
    if (!m_bus.registerObject(path, this, QDBusConnection::ExportScriptableSlots)) {
        release();
        m_occupant = QStringLiteral("%1 (pid %2, this process)").arg(m_bus.baseService()).arg(qint64(::getpid()));
        ZDLog::appendLog(QStringLiteral("Unable to export the callback object at %@."), path);
        return m_status = Status::NameOccupied;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = m_bus.interface()->registerService(
        m_serviceName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return m_status = Status::Registered;

    m_bus.unregisterObject(path);
    release();
    if (!reply.isValid()) {
        ZDLog::appendLog(QStringLiteral("Unable to register callback name %@: %@."), m_serviceName, reply.error().message());
        return m_status = Status::NoBus;
    }
    const QDBusReply<QString> owner = m_bus.interface()->serviceOwner(m_serviceName);
    const QDBusReply<uint> pid = m_bus.interface()->servicePid(m_serviceName);
    m_occupant = owner.isValid() ? owner.value() : QStringLiteral("unknown");
    if (pid.isValid())
        m_occupant += QStringLiteral(" (pid %1)").arg(pid.value());
    ZDLog::appendLog(QStringLiteral("Name occupied by %@"), m_occupant);
    return m_status = Status::NameOccupied;
}

void ZDLocalCallbackServer::stop()
{
    if (m_status != Status::Registered) {
        m_status = Status::Stopped;
        return;
    }
    if (m_bus.isConnected()) {
        if (m_bus.interface())
            m_bus.interface()->unregisterService(m_serviceName);
        m_bus.unregisterObject(QString::fromLatin1(kObjectPath));
    }
    {
        std::lock_guard<std::mutex> guard(heldLock);
        heldNames().remove(m_serviceName);
    }
    m_status = Status::Stopped;
}

QDBusVariant ZDLocalCallbackServer::refuse(const char *errorName, const QString &text)
{
    if (calledFromDBus())
        sendErrorReply(QString::fromLatin1(errorName), text);
    return QDBusVariant(QVariant(QString()));
}

QDBusVariant ZDLocalCallbackServer::Invoke(const QString &operation, const QVariantList &arguments)
{
    if (operation.isEmpty() || operation.size() > kMaxOperationLength)
        return refuse(kErrorUnknownOperation, QStringLiteral("No operation name, or one that is too long."));
    const auto it = m_operations.constFind(operation);
    if (it == m_operations.cend())
        return refuse(kErrorUnknownOperation, QStringLiteral("No operation \"%1\".").arg(operation));
    const Entry entry = it.value();
    if (entry.argumentCount != kAnyArgumentCount && arguments.size() != entry.argumentCount)
        return refuse(kErrorInvalidArguments, QStringLiteral("\"%1\" takes %2 argument(s), not %3.")
                                                  .arg(operation)
                                                  .arg(entry.argumentCount)
                                                  .arg(arguments.size()));
    QVariantList values;
    values.reserve(arguments.size());
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        int dropped = 0;
        values.append(ZDDBusValue::fromWire(arguments.at(i), &dropped));
        if (dropped > 0) {
            ZDLog::appendLog(QStringLiteral("Refused %@ from %@: argument %@ is unreadable."), operation,
                             message().service(), qint64(i + 1));
            return refuse(kErrorInvalidArguments, QStringLiteral("Argument %1 of \"%2\" is unreadable.").arg(i + 1).arg(operation));
        }
    }

    QVariant result;
    try {
        result = entry.operation(values);
    } catch (const std::invalid_argument &e) {
        return refuse(kErrorInvalidArguments, QString::fromUtf8(e.what()));
    } catch (const std::exception &e) {
        return refuse(kErrorFailed, ZDException::logException(e, "ZDLocalCallbackServer Invoke"));
    } catch (...) {
        return refuse(kErrorFailed, ZDException::logUnknownException("ZDLocalCallbackServer Invoke"));
    }
    QVariant wire;
    QString why;
    if (!ZDDBusValue::toWire(result, &wire, &why))
        return refuse(kErrorFailed, QStringLiteral("The result of \"%1\" cannot be sent: %2.").arg(operation, why));
    return QDBusVariant(wire);
}
