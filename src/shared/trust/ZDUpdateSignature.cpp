#include "trust/ZDUpdateSignature.h"

#include "platform/ZDMainBundle.h"
#include "plist/ZDPropertyList.h"

#include <openssl/evp.h>

#include <memory>

namespace ZDUpdateSignature {
namespace {
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

const unsigned char *bytes(const QByteArray &b)
{
    return reinterpret_cast<const unsigned char *>(b.constData());
}

Key privateKey(const QByteArray &seed)
{
    if (seed.size() != kKeyBytes)
        return {nullptr, EVP_PKEY_free};
    return {EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(seed), size_t(seed.size())), EVP_PKEY_free};
}
} // namespace

QByteArray sign(const QByteArray &data, const QByteArray &seed)
{
    const Key key = privateKey(seed);
    const Context ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return {};
    QByteArray signature(kSignatureBytes, '\0');
    size_t length = size_t(signature.size());
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()), &length, bytes(data),
                       size_t(data.size())) != 1 || length != size_t(kSignatureBytes))
        return {};
    return signature;
}

QByteArray publicKeyOf(const QByteArray &seed)
{
    const Key key = privateKey(seed);
    QByteArray out(kKeyBytes, '\0');
    size_t length = size_t(out.size());
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(out.data()), &length) != 1
        || length != size_t(kKeyBytes))
        return {};
    return out;
}

bool verify(const QByteArray &data, const QByteArray &signature, const QByteArray &publicKey)
{
    if (signature.size() != kSignatureBytes || publicKey.size() != kKeyBytes)
        return false;
    const Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey), size_t(publicKey.size())),
                  EVP_PKEY_free);
    const Context ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), bytes(signature), size_t(signature.size()), bytes(data), size_t(data.size())) == 1;
}

namespace {
QByteArray decodeKey(const QVariant &value)
{
    const QByteArray text = value.toString().toLatin1().trimmed();
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == kKeyBytes ? decoded.decoded : QByteArray();
}
} // namespace

QByteArray bundledPublicKey()
{
    return decodeKey(ZDMainBundle::infoString(QLatin1String(kPublicKeyInfoKey)));
}

QByteArray publicKeyOfBundle(const QString &bundlePath)
{
    const QVariant key = ZDPropertyList::readDictionary(bundlePath + QStringLiteral("/Contents/Info.plist"))
                             .value(QLatin1String(kPublicKeyInfoKey));
    return key.userType() == QMetaType::QString ? decodeKey(key) : QByteArray();
}

} // namespace ZDUpdateSignature
