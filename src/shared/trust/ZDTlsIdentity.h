#pragma once
// One side's key pair (Ed25519) and self-signed certificate, made on first use and
// kept in a folder of its own, the private key readable by its owner only. Peers
// are known by the SHA-256 of their public key: nothing but the holder of that key
// can complete a handshake under that fingerprint.
#include <QByteArray>
#include <QString>

struct evp_pkey_st;
struct x509_st;

class ZDTlsIdentity
{
public:
    QByteArray certificatePem;
    QByteArray privateKeyPem;
    QString fingerprint; // 64 lower-case hex digits

    bool isValid() const { return !certificatePem.isEmpty() && !privateKeyPem.isEmpty() && !fingerprint.isEmpty(); }

    // folder/<name>.crt and folder/<name>.key, made when missing. A key file that
    // others may read, or that belongs to someone else, is refused.
    static ZDTlsIdentity loadOrCreate(const QString &folder, const QString &name, const QString &commonName,
                                      QString *error);
    static ZDTlsIdentity generate(const QString &commonName, QString *error);

    // The private key of a PEM file, for the caller to free (EVP_PKEY_free); null when none.
    static evp_pkey_st *readPrivateKey(const QByteArray &pem);
    // The fingerprint of the key a certificate carries.
    static QString fingerprintOfCertificate(x509_st *cert);
    // Of a raw 32-byte Ed25519 public key, as the certificate carrying it would have.
    static QString fingerprintOfRawPublicKey(const QByteArray &raw);
    // Accepts upper case, colons, spaces and a "SHA256:" prefix; empty when not 32 bytes of hex.
    static QString normalizeFingerprint(const QString &text);
    // "NNN NNN": six digits from the SHA-256 of both fingerprints in sorted order, so
    // both ends of a pairing show the same; empty when either is not a fingerprint.
    static QString pairingCode(const QString &one, const QString &other);

    // Ed25519 with this identity's key; empty on failure.
    QByteArray rawPublicKey() const;
    QByteArray sign(const QByteArray &data) const;
    static bool verify(const QByteArray &rawPublicKey, const QByteArray &data, const QByteArray &signature);
};
