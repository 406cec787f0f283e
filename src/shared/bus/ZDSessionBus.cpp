#include "bus/ZDSessionBus.h"

#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"

#include <QFileInfo>

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

struct Account
{
    uid_t uid;
    gid_t gid;
};

std::optional<Account> accountOf(const QString &user)
{
    if (user.isEmpty())
        return std::nullopt;
    const QByteArray name = user.toLocal8Bit();
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    struct passwd pw {};
    struct passwd *found = nullptr;
    if (::getpwnam_r(name.constData(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return Account{found->pw_uid, found->pw_gid};
}

// D-Bus addresses escape every byte outside [-0-9A-Za-z_/.\*].
QString addressForSocket(const QString &path)
{
    QString out = QStringLiteral("unix:path=");
    for (const char c : QFile::encodeName(path)) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '-' || u == '_'
            || u == '/' || u == '.' || u == '\\' || u == '*')
            out += QLatin1Char(c);
        else
            out += QLatin1Char('%') + QString::number(u, 16).rightJustified(2, QLatin1Char('0'));
    }
    return out;
}

// A session bus only admits its owner, and the peer's identity is taken when the
// socket connects; so root connects with the user's effective ids for that moment.
class EffectiveIds
{
public:
    EffectiveIds(uid_t uid, gid_t gid)
        : m_uid(::geteuid()), m_gid(::getegid())
    {
        m_ok = ::setegid(gid) == 0 && ::seteuid(uid) == 0;
    }
    ~EffectiveIds()
    {
        if (::seteuid(m_uid) != 0 || ::setegid(m_gid) != 0)
            ZDLog::appendLog(QStringLiteral("Error: unable to restore the effective user id."));
    }
    EffectiveIds(const EffectiveIds &) = delete;
    EffectiveIds &operator=(const EffectiveIds &) = delete;
    bool ok() const { return m_ok; }

private:
    uid_t m_uid;
    gid_t m_gid;
    bool m_ok = false;
};

std::mutex connectLock;

// The console user's account and bus socket, for a root process only.
std::optional<std::pair<Account, QString>> consoleUserBus()
{
    if (!ZDLocalPaths::isRoot())
        return std::nullopt;
    const std::optional<Account> account = accountOf(ZDLocalPaths::currentConsoleUser());
    if (!account || account->uid == 0)
        return std::nullopt;
    QString path = ZDLocalPaths::systemPath(QStringLiteral("/run/user/%1/bus").arg(account->uid));
    if (!QFileInfo::exists(path))
        return std::nullopt;
    return std::make_pair(*account, std::move(path));
}

} // namespace

QString ZDSessionBus::consoleUserBusPath()
{
    const auto bus = consoleUserBus();
    return bus ? bus->second : QString();
}

QDBusConnection ZDSessionBus::connection()
{
    const auto bus = consoleUserBus();
    if (!bus)
        return QDBusConnection::sessionBus();
    const auto &[account, path] = *bus;

    const QString name = QStringLiteral("kestra-console-bus-%1").arg(account.uid);
    std::lock_guard<std::mutex> guard(connectLock);
    {
        QDBusConnection existing(name);
        if (existing.isConnected())
            return existing;
    }
    QDBusConnection::disconnectFromBus(name); // a dead one from an earlier session
    {
        EffectiveIds as(account.uid, account.gid);
        if (as.ok()) {
            QDBusConnection c = QDBusConnection::connectToBus(addressForSocket(path), name);
            if (c.isConnected())
                return c;
        }
    }
    QDBusConnection::disconnectFromBus(name);
    ZDLog::appendLog(QStringLiteral("Unable to reach the session bus at %@. Using the own session bus."), path);
    return QDBusConnection::sessionBus();
}
