#include "trust/ZDKnownAgents.h"

#include "platform/ZDLocalPaths.h"
#include "log/ZDSystemLog.h"
#include "plist/ZDPropertyList.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSysInfo>
#include <QVariantMap>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

// Many computers' connection threads meet the same file.
std::mutex g_mutex;

// The file as last read or written (under g_mutex): a fleet's connections each
// ask for a pin, and a thousand re-reads of a thousand pins add up. The keys are
// indexed too: every new computer asks whether its key is known under another
// name, and five thousand scans of five thousand pins were most of a first
// contact with a large fleet.
struct Cached
{
    QString path;
    QDateTime modified;
    qint64 size = -1;
    QVariantMap pins;
    QHash<QString, int> byKey; // normalised key -> how many computers are pinned to it
    bool dirty = false;   // pins not written yet
    bool writing = false; // a thread is writing them
};
Cached g_cache;

const QVariantMap &readPins(const QString &path)
{
    const QFileInfo info(path);
    if (g_cache.path == path
        && (g_cache.dirty || g_cache.writing
            || (info.exists() && info.lastModified() == g_cache.modified && info.size() == g_cache.size)))
        return g_cache.pins;
    g_cache = {path, info.lastModified(), info.exists() ? info.size() : -1, ZDPropertyList::readDictionary(path), {}};
    for (auto it = g_cache.pins.cbegin(); it != g_cache.pins.cend(); ++it)
        ++g_cache.byKey[ZDTlsIdentity::normalizeFingerprint(it.value().toString())];
    return g_cache.pins;
}

std::condition_variable g_written; // a write loop ended
std::condition_variable g_hurry;   // someone waits for the file: stop pausing
int g_hurrying = 0;                // threads waiting for the file, under g_mutex

// Under the lock, with `writing` set by the caller: writes until nothing is left
// unwritten, taking along what others pinned meanwhile. Between writes it pauses
// ten times as long as the last write took (0.1 to 2 s), so that a fleet's first
// contact rewrites five thousand pins a few dozen times, not once per round of
// handshakes, and the writer stays a small share of the console's CPU. Whoever
// needs the file on disk (an explicit pin, the program's end) cuts the pause short.
// A failed write leaves the pins dirty for the next attempt.
void writeLoop(std::unique_lock<std::mutex> &lock, const QString &path, bool paced)
{
    while (g_cache.dirty && g_cache.path == path) {
        const QVariantMap snapshot = g_cache.pins;
        g_cache.dirty = false;
        lock.unlock();
        const auto started = std::chrono::steady_clock::now();
        QDir().mkpath(QFileInfo(path).absolutePath());
        const bool ok = ZDPropertyList::writeFile(path, snapshot);
        const auto took = std::chrono::steady_clock::now() - started;
        lock.lock();
        if (!ok) {
            g_cache.dirty = true;
            zdSystemLog(QStringLiteral("Unable to write the agents' keys to %1.").arg(path));
            break;
        }
        const QFileInfo info(path);
        g_cache.modified = info.lastModified();
        g_cache.size = info.size();
        if (paced) {
            const auto pause = std::clamp<std::chrono::steady_clock::duration>(10 * took, std::chrono::milliseconds(100),
                                                                                std::chrono::seconds(2));
            g_hurry.wait_for(lock, pause, [] { return g_hurrying > 0; });
        }
    }
    g_cache.writing = false;
    g_written.notify_all();
}

// Waits (under the lock) until no write is under way, cutting a paced writer's pause short.
template<typename Duration>
bool waitForWriter(std::unique_lock<std::mutex> &lock, Duration bound)
{
    ++g_hurrying;
    g_hurry.notify_all();
    const bool done = g_written.wait_for(lock, bound, [] { return !g_cache.writing; });
    --g_hurrying;
    return done;
}

// What is still being written when the program ends is waited for (bounded).
void flushAtExit()
{
    std::unique_lock lock(g_mutex);
    waitForWriter(lock, std::chrono::seconds(5));
}

void addPin(const QString &path, const QString &computer, const QString &key)
{
    // A replaced key no longer counts as known (kestra trust after a new key).
    const QString before = ZDTlsIdentity::normalizeFingerprint(readPins(path).value(computer).toString());
    if (g_cache.pins.contains(computer)) {
        const auto it = g_cache.byKey.find(before);
        if (it != g_cache.byKey.end() && --it.value() <= 0)
            g_cache.byKey.erase(it);
    }
    g_cache.pins.insert(computer, key);
    ++g_cache.byKey[key];
    g_cache.dirty = true;
}

// Returns once the pin is on disk; false when it could not be written.
bool pinAndWrite(std::unique_lock<std::mutex> &lock, const QString &path, const QString &computer, const QString &key)
{
    addPin(path, computer, key);
    while (!waitForWriter(lock, std::chrono::seconds(1))) {
    }
    if (g_cache.dirty) {
        g_cache.writing = true;
        writeLoop(lock, path, false);
    }
    return !g_cache.dirty;
}

// Returns at once: a first contact pins from a TLS handshake on an I/O thread,
// which must not wait for a file of five thousand pins to be written.
void pinAndWriteLater(const QString &path, const QString &computer, const QString &key)
{
    addPin(path, computer, key);
    if (g_cache.writing)
        return;
    g_cache.writing = true;
    static const bool flushRegistered = [] { return std::atexit(&flushAtExit) == 0; }();
    (void)flushRegistered;
    std::thread([path] {
        std::unique_lock lock(g_mutex);
        writeLoop(lock, path, true);
    }).detach();
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
    std::unique_lock lock(g_mutex);
    const QVariantMap &pins = readPins(m_path);
    const QString old = ZDTlsIdentity::normalizeFingerprint(pins.value(computer).toString());
    if (old == fp)
        return Verdict::Trusted;
    // The key proves the computer: one met under another name is that computer
    // (this one's own pin is another key, so it is not among the count).
    const bool known = g_cache.byKey.value(fp) > 0;
    if ((!known && !old.isEmpty()) || (old.isEmpty() && pins.size() >= kMaxComputers))
        return Verdict::Changed;
    pinAndWriteLater(m_path, computer, fp);
    return known ? Verdict::Trusted : Verdict::FirstUse;
}

bool ZDKnownAgents::pin(const QString &computer, const QString &fingerprint) const
{
    const QString fp = ZDTlsIdentity::normalizeFingerprint(fingerprint);
    if (fp.isEmpty() || computer.isEmpty())
        return false;
    std::unique_lock lock(g_mutex);
    const QVariantMap &map = readPins(m_path);
    if (!map.contains(computer) && map.size() >= kMaxComputers)
        return false;
    return pinAndWrite(lock, m_path, computer, fp);
}
