#include "agent/ZDCredentialThrottle.h"

#include "link/ZDConnection.h"
#include "log/ZDLog.h"

#include <algorithm>

namespace {

// Long enough for any real account name; a peer's longer inventions are cut in the log and the table.
constexpr qsizetype kMaxNameInKey = 256;

QStringList keysOf(const QString &user)
{
    return {QStringLiteral("address ") + ZDCredentialThrottle::currentPeer(), QStringLiteral("user ") + user.left(kMaxNameInKey)};
}

} // namespace

QString ZDCredentialThrottle::currentPeer()
{
    const ZDConnection *connection = ZDConnection::current();
    if (!connection)
        return QStringLiteral("local");
    // "host:port" or "[v6 host]:port": every connection of one host counts as one.
    const QString address = connection->peerAddress();
    if (address.startsWith(QLatin1Char('[')))
        return address.section(QLatin1Char(']'), 0, 0).mid(1);
    return address.section(QLatin1Char(':'), 0, 0);
}

bool ZDCredentialThrottle::admits(const QString &user, const QString &password)
{
    if (user.isEmpty() || password.isEmpty())
        return true;
    const QStringList keys = keysOf(user);
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(m_mutex);
    for (const QString &key : keys) {
        const auto e = m_entries.constFind(key);
        if (e != m_entries.cend() && now < e->lockedUntil) {
            ZDLog::appendLog(QStringLiteral("Too many failed credential checks from %@ or for user %@. Refused without checking."),
                             currentPeer(), user.left(kMaxNameInKey));
            return false;
        }
    }
    return true;
}

void ZDCredentialThrottle::record(const QString &user, const QString &password, bool succeeded)
{
    if (user.isEmpty() || password.isEmpty())
        return;
    const QStringList keys = keysOf(user);
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(m_mutex);
    for (const QString &key : keys) {
        if (succeeded) {
            m_entries.remove(key);
            continue;
        }
        if (!m_entries.contains(key))
            makeRoomLocked(now);
        Entry &e = m_entries[key];
        if (now - e.lastFailure > kForgetAfter)
            e.failures = 0;
        ++e.failures;
        e.lastFailure = now;
        if (e.failures >= kFreeFailures) {
            const int doublings = std::min(e.failures - kFreeFailures, 16);
            e.lockedUntil = now + std::min<Clock::duration>(kFirstDelay * (1 << doublings), kMaxDelay);
        }
    }
}

void ZDCredentialThrottle::makeRoomLocked(Clock::time_point now)
{
    if (m_entries.size() < kMaxTracked)
        return;
    m_entries.removeIf([now](const auto &e) { return now - e.value().lastFailure > kForgetAfter; });
    // Still full of fresh failures: the oldest goes.
    if (m_entries.size() >= kMaxTracked)
        m_entries.erase(std::min_element(m_entries.begin(), m_entries.end(),
                                         [](const Entry &a, const Entry &b) { return a.lastFailure < b.lastFailure; }));
}
