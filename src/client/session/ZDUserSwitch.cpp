#include "session/ZDUserSwitch.h"

#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "process/ZDThreads.h"

#include <QDBusConnection>

ZDUserSwitch::ZDUserSwitch()
{
    m_thread.setObjectName(QStringLiteral("ZDUserSwitch"));
}

ZDUserSwitch::~ZDUserSwitch()
{
    m_thread.quit();
    m_thread.wait();
}

bool ZDUserSwitch::setup()
{
    if (!QDBusConnection::systemBus().isConnected()) {
        ZDLog::appendLog(QStringLiteral("No system bus: the console user is not watched."));
        return false;
    }
    moveToThread(&m_thread);
    m_thread.start();
    ZDThreads::post(this, [this] { watch(); });
    return true;
}

void ZDUserSwitch::watch()
{
    // Any change of seat0's properties may be a change of its active session.
    QDBusConnection::systemBus().connect(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1/seat/seat0"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"), this,
        SLOT(consoleChanged()));
    m_current = ZDLocalPaths::currentConsoleUser();
    m_owner = m_current;
}

void ZDUserSwitch::consoleChanged()
{
    const QString user = ZDLocalPaths::currentConsoleUser();
    if (user == m_current)
        return;
    m_current = user;
    if (m_owner.isEmpty())
        return;
    if (user == m_owner) {
        ZDLog::appendLog(QStringLiteral("User logged in: %@"), user);
        Q_EMIT userSwitchedIn();
    } else {
        ZDLog::appendLog(QStringLiteral("User logged out: %@"), user);
        Q_EMIT userSwitchedOut();
    }
}
