#include "session/ZDSystemEvents.h"

#include "log/ZDLog.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>

#include <unistd.h>

namespace {
const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
} // namespace

ZDSystemEvents::ZDSystemEvents(QObject *parent) : QObject(parent) {}

bool ZDSystemEvents::start()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        ZDLog::appendLog(QStringLiteral("No system bus: session, sleep and shutdown events are not watched."));
        return false;
    }
    bus.connect(kLogind, kManagerPath, kManager, QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    bus.connect(kLogind, kManagerPath, kManager, QStringLiteral("PrepareForShutdown"), this,
                SLOT(prepareForShutdown(bool)));

    // This user's display session: its Active property is the fast-user-switch state.
    QDBusInterface manager(kLogind, kManagerPath, kManager, bus);
    if (!manager.isValid()) {
        ZDLog::appendLog(QStringLiteral("No login manager on the system bus: session events are not watched."));
        return false;
    }
    manager.setTimeout(1000);
    const QDBusReply<QDBusObjectPath> user = manager.call(QStringLiteral("GetUser"), uint(::getuid()));
    if (!user.isValid())
        return true;
    QDBusInterface props(kLogind, user.value().path(), kProperties, bus);
    props.setTimeout(1000);
    const QDBusMessage display =
        props.call(QStringLiteral("Get"), QStringLiteral("org.freedesktop.login1.User"), QStringLiteral("Display"));
    if (display.type() != QDBusMessage::ReplyMessage || display.arguments().isEmpty())
        return true;
    const QDBusArgument arg = display.arguments().constFirst().value<QDBusVariant>().variant().value<QDBusArgument>();
    if (arg.currentType() != QDBusArgument::StructureType)
        return true;
    QString id;
    QDBusObjectPath path;
    arg.beginStructure();
    arg >> id >> path;
    arg.endStructure();
    if (path.path().isEmpty() || path.path() == QLatin1String("/"))
        return true;
    m_sessionPath = path.path();
    bus.connect(kLogind, m_sessionPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
    return true;
}

void ZDSystemEvents::prepareForSleep(bool start)
{
    if (start)
        Q_EMIT willSleep();
    else
        Q_EMIT didWake();
}

void ZDSystemEvents::prepareForShutdown(bool start)
{
    if (start)
        Q_EMIT willPowerOff();
}

void ZDSystemEvents::sessionPropertiesChanged(const QString &interface, const QVariantMap &changed,
                                              const QStringList &)
{
    if (interface != QLatin1String("org.freedesktop.login1.Session"))
        return;
    const auto it = changed.constFind(QStringLiteral("Active"));
    if (it == changed.constEnd())
        return;
    const bool active = it->toBool();
    if (active == m_active)
        return;
    m_active = active;
    if (active)
        Q_EMIT sessionBecameActive();
    else
        Q_EMIT sessionResignedActive();
}
