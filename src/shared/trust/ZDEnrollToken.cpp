#include "trust/ZDEnrollToken.h"

#include <QtEndian>

#include <openssl/rand.h>

namespace {

const QLatin1String kPrefix("kestra-enroll-");
constexpr char kVersion = 1;
constexpr int kNonceBytes = 16;
constexpr int kKeyBytes = 32;
constexpr int kSignedBytes = 1 + 8 + kNonceBytes + kKeyBytes;
constexpr int kSignatureBytes = 64;

} // namespace

QString ZDEnrollToken::make(const ZDTlsIdentity &identity, const QDateTime &expiry)
{
    const QByteArray key = identity.rawPublicKey();
    QByteArray nonce(kNonceBytes, '\0');
    if (key.size() != kKeyBytes || RAND_bytes(reinterpret_cast<unsigned char *>(nonce.data()), kNonceBytes) != 1)
        return {};
    QByteArray body;
    body.append(kVersion);
    char when[8];
    qToBigEndian<qint64>(expiry.toSecsSinceEpoch(), when);
    body.append(when, 8).append(nonce).append(key);
    const QByteArray signature = identity.sign(body);
    if (signature.size() != kSignatureBytes)
        return {};
    return kPrefix
        + QString::fromLatin1((body + signature).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

std::optional<ZDEnrollToken::Content> ZDEnrollToken::parse(const QString &token, QString *error)
{
    auto refuse = [error](const QString &why) -> std::optional<Content> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QString text = token.trimmed();
    if (text.size() > kMaxTextLength || !text.startsWith(kPrefix))
        return refuse(QStringLiteral("not an enrolment token"));
    const auto decoded = QByteArray::fromBase64Encoding(text.mid(kPrefix.size()).toLatin1(),
                                                        QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray &data = decoded.decoded;
    if (!decoded || data.size() != kSignedBytes + kSignatureBytes || data.at(0) != kVersion)
        return refuse(QStringLiteral("not an enrolment token"));
    const QByteArray body = data.left(kSignedBytes);
    const QByteArray key = body.mid(1 + 8 + kNonceBytes, kKeyBytes);
    if (!ZDTlsIdentity::verify(key, body, data.mid(kSignedBytes)))
        return refuse(QStringLiteral("the token's signature does not match"));
    Content content;
    content.fingerprint = ZDTlsIdentity::fingerprintOfRawPublicKey(key);
    content.expiry = QDateTime::fromSecsSinceEpoch(qFromBigEndian<qint64>(body.constData() + 1), Qt::UTC);
    content.nonce = body.mid(1 + 8, kNonceBytes);
    if (content.fingerprint.isEmpty())
        return refuse(QStringLiteral("not an enrolment token"));
    return content;
}
