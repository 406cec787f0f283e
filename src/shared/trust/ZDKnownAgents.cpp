#include "trust/ZDKnownAgents.h"

#include "platform/ZDLocalPaths.h"
#include "plist/ZDPropertyList.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QVariantMap>

#include <mutex>

namespace {

// Many computers' connection threads meet the same file.
std::mutex g_mutex;

// The file as last read or written (under g_mutex): a fleet's connections each
// ask for a pin, and a thousand re-reads of a thousand pins add up.
struct Cached
{
    QString path;
    QDateTime modified;
    qint64 size = -1;
    QVariantMap pins;
    bool dirty = false;   // pins not written yet
    bool writing = false; // a thread is writing them
};
Cached g_cache;

QVariantMap readPins(const QString &path)
{
    const QFileInfo info(path);
    if (g_cache.path == path
        && (g_cache.dirty || g_cache.writing
            || (info.exists() && info.lastModified() == g_cache.modified && info.size() == g_cache.size)))
        return g_cache.pins;
    const QVariantMap pins = ZDPropertyList::readDictionary(path);
    g_cache = {path, info.lastModified(), info.exists() ? info.size() : -1, pins};
    return pins;
}

// One thread writes at a time and takes along what others pinned meanwhile: a
// fleet's first contact writes the file a few times, not once per computer.
bool writePins(std::unique_lock<std::mutex> &lock, const QString &path, const QVariantMap &pins)
{
    g_cache.path = path;
    g_cache.pins = pins;
    g_cache.dirty = true;
    if (g_cache.writing)
        return true;
    g_cache.writing = true;
    bool ok = true;
    while (ok && g_cache.dirty && g_cache.path == path) {
        const QVariantMap snapshot = g_cache.pins;
        g_cache.dirty = false;
        lock.unlock();
        QDir().mkpath(QFileInfo(path).absolutePath());
        ok = ZDPropertyList::writeFile(path, snapshot);
        lock.lock();
        const QFileInfo info(path);
        g_cache.modified = info.lastModified();
        g_cache.size = info.size();
    }
    g_cache.writing = false;
    return ok;
}

} // namespace

QString ZDKnownAgents::securityFolder()
{
    // Asked from every connection thread: the user folders (for root, the console
    // user's, which asks the login manager) are worked out again only when the
    // environment changed, not by a thousand threads at once.
    static std::mutex mutex;
    static QByteArray lastEnvironment;
    static QString last;
    const QByteArray environment = qgetenv("XDG_DATA_HOME") + '\n' + qgetenv("HOME");
    const std::lock_guard lock(mutex);
    if (last.isEmpty() || environment != lastEnvironment) {
        last = ZDLocalPaths::appSupportDirectory(true) + QStringLiteral("/Kestra Admin/Security");
        lastEnvironment = environment;
    }
    return last;
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
    return ZDTlsIdentity::normalizeFingerprint(readPins(m_path).value(computer).toString());
}

QVariantMap ZDKnownAgents::all() const
{
    const std::lock_guard lock(g_mutex);
    return readPins(m_path);
}

ZDKnownAgents::Verdict ZDKnownAgents::check(const QString &computer, const QString &fingerprint) const
{
    const QString fp = ZDTlsIdentity::normalizeFingerprint(fingerprint);
    if (fp.isEmpty())
        return Verdict::Changed;
    bool known = false;
    {
        const std::lock_guard lock(g_mutex);
        const QVariantMap pins = readPins(m_path);
        const QString old = ZDTlsIdentity::normalizeFingerprint(pins.value(computer).toString());
        if (old == fp)
            return Verdict::Trusted;
        // The key proves the computer: one met under another name is that computer.
        for (auto it = pins.cbegin(); it != pins.cend() && !known; ++it)
            known = it.key() != computer && ZDTlsIdentity::normalizeFingerprint(it.value().toString()) == fp;
        if (!known && !old.isEmpty())
            return Verdict::Changed;
    }
    if (!pin(computer, fp))
        return Verdict::Changed;
    return known ? Verdict::Trusted : Verdict::FirstUse;
}

bool ZDKnownAgents::pin(const QString &computer, const QString &fingerprint) const
{
    const QString fp = ZDTlsIdentity::normalizeFingerprint(fingerprint);
    if (fp.isEmpty() || computer.isEmpty())
        return false;
    std::unique_lock lock(g_mutex);
    QVariantMap map = readPins(m_path);
    if (!map.contains(computer) && map.size() >= kMaxComputers)
        return false;
    map.insert(computer, fp);
    return writePins(lock, m_path, map);
}
