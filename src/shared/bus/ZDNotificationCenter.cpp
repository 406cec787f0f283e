#include "bus/ZDNotificationCenter.h"

#include "bus/ZDDBusValue.h"
#include "log/ZDException.h"
#include "log/ZDLog.h"
#include "bus/ZDSessionBus.h"

#include <QDBusMessage>
#include <QStringList>

#include <algorithm>

namespace {

const QString kPathText = QString::fromLatin1(ZDNotificationCenter::kPath);
const QString kInterfaceText = QString::fromLatin1(ZDNotificationCenter::kInterface);
const QString kSignalText = QString::fromLatin1(ZDNotificationCenter::kSignal);

// The bus handles one connection's messages in order, so once a call comes back
// everything sent before it (a match rule, a signal) has been dealt with.
bool roundTrip(const QDBusConnection &bus)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));
    return bus.call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

} // namespace

ZDNotificationCenter::ZDNotificationCenter(QObject *parent)
    : QObject(parent)
    , m_bus(ZDSessionBus::connection())
{
    if (!m_bus.isConnected())
        ZDLog::appendLog(QStringLiteral("No session bus; distributed notifications will not arrive."));
}

ZDNotificationCenter::~ZDNotificationCenter()
{
    QStringList names;
    for (const Observer &o : m_observers) {
        if (!names.contains(o.name))
            names.append(o.name);
    }
    m_observers.clear();
    for (const QString &n : names)
        stopListening(n);
}

bool ZDNotificationCenter::isValidName(const QString &name)
{
    return !name.isEmpty() && name.size() <= kMaxNameLength && !name.contains(QChar(u'\0'));
}

bool ZDNotificationCenter::postNotification(const QString &name, const QVariantMap &userInfo)
{
    if (!isValidName(name)) {
        ZDLog::appendLog(QStringLiteral("Error: invalid notification name %@."), name.left(kMaxNameLength));
        return false;
    }
    QVariant wire;
    QString why;
    if (!ZDDBusValue::toWire(userInfo, &wire, &why)) {
        ZDLog::appendLog(QStringLiteral("Error: unable to post notification %@: %@."), name, why);
        return false;
    }
    const QDBusConnection bus = ZDSessionBus::connection();
    if (!bus.isConnected()) {
        ZDLog::appendLog(QStringLiteral("Error: unable to post notification %@: no session bus."), name);
        return false;
    }
    QDBusMessage signal = QDBusMessage::createSignal(kPathText, kInterfaceText, kSignalText);
    signal << name << wire;
    if (!bus.send(signal) || !roundTrip(bus)) {
        ZDLog::appendLog(QStringLiteral("Error: unable to post notification %@: %@."), name, bus.lastError().message());
        return false;
    }
    return true;
}

bool ZDNotificationCenter::observing(const QString &name) const
{
    return std::any_of(m_observers.cbegin(), m_observers.cend(), [&](const Observer &o) { return o.name == name; });
}

int ZDNotificationCenter::addObserver(const QString &name, Handler handler)
{
    if (!isValidName(name) || !handler) {
        ZDLog::appendLog(QStringLiteral("Error: cannot observe notification %@."), name.left(kMaxNameLength));
        return 0;
    }
    if (!observing(name) && m_bus.isConnected()) {
        const bool hooked = m_bus.connect(QString(), kPathText, kInterfaceText, kSignalText, QStringList{name}, QString(),
                                          this, SLOT(deliver(QDBusMessage)));
        if (!hooked || !roundTrip(m_bus))
            ZDLog::appendLog(QStringLiteral("Error: unable to observe notification %@: %@."), name,
                             m_bus.lastError().message());
    }
    const int id = m_nextId++;
    m_observers.push_back(Observer{id, name, std::move(handler)});
    return id;
}

void ZDNotificationCenter::removeObserver(int id)
{
    const auto it = std::find_if(m_observers.begin(), m_observers.end(), [id](const Observer &o) { return o.id == id; });
    if (it == m_observers.end())
        return;
    const QString name = it->name;
    m_observers.erase(it);
    if (!observing(name))
        stopListening(name);
}

void ZDNotificationCenter::removeObservers(const QString &name)
{
    const auto end = std::remove_if(m_observers.begin(), m_observers.end(), [&](const Observer &o) { return o.name == name; });
    if (end == m_observers.end())
        return;
    m_observers.erase(end, m_observers.end());
    stopListening(name);
}

void ZDNotificationCenter::stopListening(const QString &name)
{
    if (m_bus.isConnected())
        m_bus.disconnect(QString(), kPathText, kInterfaceText, kSignalText, QStringList{name}, QString(), this,
                         SLOT(deliver(QDBusMessage)));
}

void ZDNotificationCenter::deliver(const QDBusMessage &message)
{
    const QString signature = message.signature();
    const QList<QVariant> args = message.arguments();
    if ((signature != QLatin1String("sa{sv}") && signature != QLatin1String("s")) || args.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Ignoring a malformed notification (signature \"%@\") from %@."),
                         signature.left(64), message.service());
        return;
    }
    // Rules match on the bus, but a signal addressed to us directly skips them.
    const QString name = args.constFirst().toString();
    if (!isValidName(name) || !observing(name))
        return;
    QVariantMap userInfo;
    if (args.size() > 1) {
        int dropped = 0;
        userInfo = ZDDBusValue::fromWire(args.at(1), &dropped).toMap();
        if (dropped > 0)
            ZDLog::appendLog(QStringLiteral("Dropped %@ unreadable value(s) of notification %@ from %@."), dropped,
                             name, message.service());
    }

    std::vector<int> ids;
    for (const Observer &o : m_observers) {
        if (o.name == name)
            ids.push_back(o.id);
    }
    for (const int id : ids) {
        // A handler may remove observers, this one included.
        const auto it = std::find_if(m_observers.cbegin(), m_observers.cend(), [id](const Observer &o) { return o.id == id; });
        if (it == m_observers.cend())
            continue;
        const Handler handler = it->handler;
        try {
            handler(name, userInfo);
        } catch (const std::exception &e) {
            ZDException::logException(e, "ZDNotificationCenter deliver");
        } catch (...) {
            ZDException::logUnknownException("ZDNotificationCenter deliver");
        }
    }
}
