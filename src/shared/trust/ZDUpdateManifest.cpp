#include "trust/ZDUpdateManifest.h"

#include "trust/ZDUpdateSignature.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace ZDUpdateManifest {
namespace {
constexpr qsizetype kHashBytes = 32;
constexpr qint64 kMaxVersion = qint64(1) << 53; // exact in a JSON number

bool usable(const Fields &f)
{
    return !f.bundleIdentifier.isEmpty() && f.bundleIdentifier.size() <= 255 && f.version >= 1
        && f.version < kMaxVersion && f.minimumVersion >= 0 && f.minimumVersion < kMaxVersion
        && f.sha256.size() == kHashBytes && f.expires.isValid();
}

std::optional<Fields> parse(const QByteArray &json)
{
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const QJsonValue id = o.value("bundleIdentifier"_L1);
    const QJsonValue hash = o.value("sha256"_L1);
    const QJsonValue expires = o.value("expires"_L1);
    if (!id.isString() || !hash.isString() || !expires.isString())
        return std::nullopt;
    Fields f;
    f.bundleIdentifier = id.toString();
    f.version = o.value("version"_L1).toInteger(-1);
    f.minimumVersion = o.value("minimumVersion"_L1).toInteger(0);
    const auto hex = QByteArray::fromHex(hash.toString().toLatin1());
    f.sha256 = hash.toString().size() == kHashBytes * 2 ? hex : QByteArray();
    f.expires = QDateTime::fromString(expires.toString(), Qt::ISODate).toUTC();
    return usable(f) ? std::optional(f) : std::nullopt;
}

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}
} // namespace

QByteArray write(const Fields &fields, const QByteArray &seed)
{
    if (!usable(fields))
        return {};
    const QByteArray json = QJsonDocument(QJsonObject{
        {"bundleIdentifier"_L1, fields.bundleIdentifier},
        {"version"_L1, fields.version},
        {"minimumVersion"_L1, fields.minimumVersion},
        {"sha256"_L1, QString::fromLatin1(fields.sha256.toHex())},
        {"expires"_L1, fields.expires.toUTC().toString(Qt::ISODate)},
    }).toJson(QJsonDocument::Compact);
    const QByteArray signature = ZDUpdateSignature::sign(json, seed);
    return signature.isEmpty() ? QByteArray() : json + '\n' + signature.toBase64() + '\n';
}

std::optional<Fields> check(const QByteArray &file, const QByteArray &publicKey, const QByteArray &archive,
                            const QString &bundleIdentifier, qint64 installedVersion, QString *error,
                            const QDateTime &now)
{
    const QList<QByteArray> lines = file.size() <= kMaxBytes ? file.trimmed().split('\n') : QList<QByteArray>();
    if (lines.size() != 2) {
        fail(error, u"The update has no readable manifest."_s);
        return std::nullopt;
    }
    if (publicKey.size() != ZDUpdateSignature::kKeyBytes) {
        fail(error, u"The installed application names no key to check updates with."_s);
        return std::nullopt;
    }
    const auto signature = QByteArray::fromBase64Encoding(lines.at(1).trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!signature || !ZDUpdateSignature::verify(lines.at(0), signature.decoded, publicKey)) {
        fail(error, u"The update's manifest is not signed with the key the installed application trusts."_s);
        return std::nullopt;
    }
    const std::optional<Fields> f = parse(lines.at(0));
    if (!f) {
        fail(error, u"The update's manifest is malformed."_s);
        return std::nullopt;
    }
    if (f->bundleIdentifier != bundleIdentifier) {
        fail(error, u"The update is for %1, not %2."_s.arg(f->bundleIdentifier, bundleIdentifier));
        return std::nullopt;
    }
    if (f->expires < now) {
        fail(error, u"The update's manifest expired on %1."_s.arg(f->expires.toString(Qt::ISODate)));
        return std::nullopt;
    }
    if (f->version <= installedVersion) {
        fail(error, u"The update's version %1 is not newer than the installed version %2."_s.arg(f->version).arg(installedVersion));
        return std::nullopt;
    }
    if (installedVersion > 0 && installedVersion < f->minimumVersion) {
        fail(error, u"The update needs version %1 or later installed; version %2 is."_s.arg(f->minimumVersion).arg(installedVersion));
        return std::nullopt;
    }
    if (QCryptographicHash::hash(archive, QCryptographicHash::Sha256) != f->sha256) {
        fail(error, u"The update's archive does not match the SHA-256 in its manifest."_s);
        return std::nullopt;
    }
    return f;
}

qint64 versionNumber(const QString &bundleVersion)
{
    bool ok = false;
    const qint64 v = bundleVersion.trimmed().toLongLong(&ok);
    return ok && v >= 1 && v < kMaxVersion ? v : 0;
}
} // namespace ZDUpdateManifest
