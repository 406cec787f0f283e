#include "trust/ZDEnrolledConsoles.h"

#include "trust/ZDEnrollToken.h"
#include "platform/ZDLocalPaths.h"
#include "plist/ZDPropertyList.h"
#include "trust/ZDTlsIdentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariantMap>

#include <sys/stat.h>

#include <mutex>

namespace {

const QString kRequire = QStringLiteral("requireEnrolledConsoles");
const QString kConsoles = QStringLiteral("consoles");
const QString kUsedTokens = QStringLiteral("usedTokens");
const QString kNonce = QStringLiteral("nonce");
const QString kExpiry = QStringLiteral("expires");

std::mutex g_writeMutex;

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

QStringList fingerprintsOf(const QVariantMap &map)
{
    QStringList list;
    for (const QVariant &v : map.value(kConsoles).toList()) {
        const QString fp = ZDTlsIdentity::normalizeFingerprint(v.toString());
        if (!fp.isEmpty() && !list.contains(fp) && list.size() < ZDEnrolledConsoles::kMaxConsoles)
            list << fp;
    }
    return list;
}

} // namespace

QString ZDEnrolledConsoles::defaultPath()
{
    return ZDLocalPaths::systemPath(QStringLiteral("/etc/xdg")) + QStringLiteral("/com.zendrel.KestraClient.consoles.plist");
}

ZDEnrolledConsoles::ZDEnrolledConsoles(QString path)
    : m_path(std::move(path))
{
}

ZDEnrolledConsoles::State ZDEnrolledConsoles::read() const
{
    State state;
    struct stat st{};
    state.requireEnrolled = true; // unless root said otherwise
    if (::lstat(QFile::encodeName(m_path).constData(), &st) != 0)
        return state;
    if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022) != 0) {
        state.requireEnrolled = true;
        state.problem = QStringLiteral("%1 is not a file only root may change").arg(m_path);
        return state;
    }
    const QVariantMap map = ZDPropertyList::readDictionary(m_path);
    state.requireEnrolled = map.value(kRequire, true).toBool();
    state.fingerprints = fingerprintsOf(map);
    return state;
}

bool ZDEnrolledConsoles::isEnrolled(const QString &fingerprint) const
{
    const QString fp = ZDTlsIdentity::normalizeFingerprint(fingerprint);
    return !fp.isEmpty() && read().fingerprints.contains(fp);
}

bool ZDEnrolledConsoles::update(const std::function<bool(QVariantMap &, QString *)> &change, QString *error) const
{
    const std::lock_guard lock(g_writeMutex);
    const State state = read();
    if (!state.problem.isEmpty())
        return fail(error, state.problem);
    QVariantMap map = ZDPropertyList::readDictionary(m_path);
    if (!change(map, error))
        return false;
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    if (!ZDPropertyList::writeFile(m_path, map))
        return fail(error, QStringLiteral("cannot write %1").arg(m_path));
    QFile::setPermissions(m_path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                      | QFileDevice::ReadOther);
    return true;
}

bool ZDEnrolledConsoles::setRequireEnrolled(bool require, QString *error) const
{
    return update([require](QVariantMap &map, QString *) {
        map.insert(kRequire, require);
        return true;
    }, error);
}

bool ZDEnrolledConsoles::add(const QString &fingerprint, QString *error) const
{
    const QString fp = ZDTlsIdentity::normalizeFingerprint(fingerprint);
    if (fp.isEmpty())
        return fail(error, QStringLiteral("not a fingerprint (64 hexadecimal digits)"));
    return update([fp](QVariantMap &map, QString *err) {
        QStringList list = fingerprintsOf(map);
        if (!list.contains(fp)) {
            if (list.size() >= kMaxConsoles)
                return fail(err, QStringLiteral("%1 consoles are enrolled, the most kept").arg(kMaxConsoles));
            list << fp;
        }
        map.insert(kConsoles, list);
        return true;
    }, error);
}

bool ZDEnrolledConsoles::remove(const QString &fingerprint, QString *error) const
{
    const QString fp = ZDTlsIdentity::normalizeFingerprint(fingerprint);
    if (fp.isEmpty())
        return fail(error, QStringLiteral("not a fingerprint (64 hexadecimal digits)"));
    return update([fp](QVariantMap &map, QString *err) {
        QStringList list = fingerprintsOf(map);
        if (!list.removeAll(fp))
            return fail(err, QStringLiteral("that console is not enrolled"));
        map.insert(kConsoles, list);
        return true;
    }, error);
}

bool ZDEnrolledConsoles::enroll(const QString &token, const QDateTime &now, QString *fingerprint, QString *error) const
{
    const auto content = ZDEnrollToken::parse(token, error);
    if (!content)
        return false;
    if (content->expiry <= now)
        return fail(error, QStringLiteral("the token expired at %1").arg(content->expiry.toString(Qt::ISODate)));
    if (content->expiry > now.addDays(kMaxTokenDays))
        return fail(error, QStringLiteral("the token claims to be valid for more than %1 days").arg(kMaxTokenDays));
    const QString nonce = QString::fromLatin1(content->nonce.toHex());
    const bool ok = update([&](QVariantMap &map, QString *err) {
        QVariantList used;
        for (const QVariant &v : map.value(kUsedTokens).toList()) {
            const QVariantMap entry = v.toMap();
            if (entry.value(kExpiry).toDateTime() <= now)
                continue; // an expired token is refused anyway: its nonce may go
            if (entry.value(kNonce).toString() == nonce)
                return fail(err, QStringLiteral("the token was used before"));
            used << entry;
        }
        QStringList list = fingerprintsOf(map);
        if (!list.contains(content->fingerprint)) {
            if (list.size() >= kMaxConsoles)
                return fail(err, QStringLiteral("%1 consoles are enrolled, the most kept").arg(kMaxConsoles));
            list << content->fingerprint;
        }
        used << QVariantMap{{kNonce, nonce}, {kExpiry, content->expiry}};
        map.insert(kUsedTokens, used);
        map.insert(kConsoles, list);
        return true;
    }, error);
    if (ok && fingerprint)
        *fingerprint = content->fingerprint;
    return ok;
}
