#pragma once
// Hides administrator credentials on their way from the console to an agent:
// AES-256 in ECB mode, the last partial block filled with spaces. Both ends
// share one fixed passphrase; this keeps credentials off the wire as plain
// text, it is not a secure channel.
#include <QByteArray>
#include <QString>

class ZDEncryption
{
public:
    ZDEncryption() = delete;

    // The passphrase both programs use for credentials.
    static QString credentialPassphrase();

    // Empty input gives empty output; a final partial block is padded with spaces.
    static QByteArray AESEncryptData(const QByteArray &data, const QString &passphrase);
    // Removes no padding. Input whose length is not a multiple of 16 gives empty output.
    static QByteArray AESDecryptData(const QByteArray &data, const QString &passphrase);

    // Console side: a credential as the request carries it.
    static QByteArray encryptCredential(const QString &text);
    // Agent side: decrypt, decode as UTF-8 (invalid text reads as empty) and trim.
    static QString decryptCredential(const QByteArray &data);
};
