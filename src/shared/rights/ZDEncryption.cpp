#include "rights/ZDEncryption.h"

#include <QStringDecoder>

#include <openssl/evp.h>

#include <memory>

namespace {

constexpr int kBlock = 16;
constexpr int kKeyBytes = 32;

struct CtxDeleter {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};

QByteArray keyFrom(const QString &passphrase)
{
    QByteArray key = passphrase.toUtf8().left(kKeyBytes);
    key.append(QByteArray(kKeyBytes - key.size(), '\0'));
    return key;
}

QByteArray runCipher(const QByteArray &input, const QString &passphrase, bool encrypt)
{
    if (input.isEmpty() || input.size() % kBlock != 0)
        return {};
    std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return {};
    QByteArray key = keyFrom(passphrase);
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, k, nullptr, encrypt ? 1 : 0) != 1) {
        key.fill('\0');
        return {};
    }
    key.fill('\0');
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    QByteArray out(input.size() + kBlock, '\0');
    int len = 0;
    int total = 0;
    if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &len,
                         reinterpret_cast<const unsigned char *>(input.constData()), int(input.size()))
        != 1)
        return {};
    total = len;
    if (EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(out.data()) + total, &len) != 1)
        return {};
    total += len;
    out.resize(total);
    return out;
}

} // namespace

QString ZDEncryption::credentialPassphrase()
{
    return QStringLiteral("5E2C7A91-3F4D-4B8E-9C16-D70A2B64E35F");
}

QByteArray ZDEncryption::AESEncryptData(const QByteArray &data, const QString &passphrase)
{
    if (data.isEmpty())
        return {};
    QByteArray padded = data;
    const qsizetype rest = padded.size() % kBlock;
    if (rest != 0)
        padded.append(QByteArray(kBlock - rest, ' '));
    QByteArray out = runCipher(padded, passphrase, true);
    padded.fill('\0');
    return out;
}

QByteArray ZDEncryption::AESDecryptData(const QByteArray &data, const QString &passphrase)
{
    return runCipher(data, passphrase, false);
}

QByteArray ZDEncryption::encryptCredential(const QString &text)
{
    QByteArray plain = text.toUtf8();
    QByteArray out = AESEncryptData(plain, credentialPassphrase());
    plain.fill('\0');
    return out;
}

QString ZDEncryption::decryptCredential(const QByteArray &data)
{
    QByteArray plain = AESDecryptData(data, credentialPassphrase());
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(plain);
    plain.fill('\0');
    if (decoder.hasError())
        return {};
    return text.trimmed();
}
