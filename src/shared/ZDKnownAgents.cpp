#include "ZDKnownAgents.h"

#include "ZDLocalPaths.h"
#include "ZDPropertyList.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QVariantMap>

#include <mutex>

namespace {

// Many computers' connection threads meet the same file.
std::mutex g_mutex;

} // namespace

QString ZDKnownAgents::securityFolder()
{
    return ZDLocalPaths::appSupportDirectory(true) + QStringLiteral("/Kestra Admin/Security");
}

ZDTlsIdentity ZDKnownAgents::consoleIdentity(QString *error)
{
    const std::lock_guard lock(g_mutex);
    return ZDTlsIdentity::loadOrCreate(securityFolder(), QStringLiteral("console"),
                                       QStringLiteral("Kestra Admin on %1").arg(QSysInfo::machineHostName()), error);
}

ZDKnownAgents::ZDKnownAgents(QString path)
    : m_path(std::move(path))
{
}

QString ZDKnownAgents::pinned(const QString &computer) const
{
    const std::lock_guard lock(g_mutex);
    return ZDTlsIdentity::normalizeFingerprint(ZDPropertyList::readDictionary(m_path).value(computer).toString());
}

ZDKnownAgents::Verdict ZDKnownAgents::check(const QString &computer, const QString &fingerprint) const
{
    const QString fp = ZDTlsIdentity::normalizeFingerprint(fingerprint);
    {
        const std::lock_guard lock(g_mutex);
        const QString old = ZDTlsIdentity::normalizeFingerprint(ZDPropertyList::readDictionary(m_path).value(computer).toString());
        if (!old.isEmpty())
            return old == fp && !fp.isEmpty() ? Verdict::Trusted : Verdict::Changed;
    }
    return fp.isEmpty() || !pin(computer, fp) ? Verdict::Changed : Verdict::FirstUse;
}

bool ZDKnownAgents::pin(const QString &computer, const QString &fingerprint) const
{
    const QString fp = ZDTlsIdentity::normalizeFingerprint(fingerprint);
    if (fp.isEmpty() || computer.isEmpty())
        return false;
    const std::lock_guard lock(g_mutex);
    QVariantMap map = ZDPropertyList::readDictionary(m_path);
    if (!map.contains(computer) && map.size() >= kMaxComputers)
        return false;
    map.insert(computer, fp);
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    return ZDPropertyList::writeFile(m_path, map);
}
