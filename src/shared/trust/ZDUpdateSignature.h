#pragma once
// Ed25519 signatures for update manifests (ZDUpdateManifest), the keys they are
// checked against, and the address rules for fetching updates. Code fetched from the
// network ends up running with rights, so an archive is only unpacked once its
// manifest checks against the public key shipped inside the installed application.
#include <QByteArray>
#include <QString>
#include <QUrl>

namespace ZDUpdateSignature {
constexpr qsizetype kKeyBytes = 32;
constexpr qsizetype kSignatureBytes = 64;
// The Info.plist key holding the base64 public key.
constexpr const char *kPublicKeyInfoKey = "ZDUpdatePublicKey";

// A 64-byte signature of data with a 32-byte private seed; empty on failure.
QByteArray sign(const QByteArray &data, const QByteArray &seed);
QByteArray publicKeyOf(const QByteArray &seed);
bool verify(const QByteArray &data, const QByteArray &signature, const QByteArray &publicKey);
// The key in this program's own Info.plist; empty when absent or malformed.
QByteArray bundledPublicKey();
// The key in another application folder's Info.plist (the one an update replaces).
QByteArray publicKeyOfBundle(const QString &bundlePath);

// HTTPS, or plain HTTP to a loopback address only (or anywhere with plainHTTP, a test network's choice).
bool isAllowedURL(const QUrl &url, bool plainHTTP = false);
// Same parsed scheme, host and port (never a text prefix).
bool sameOrigin(const QUrl &a, const QUrl &b);
} // namespace ZDUpdateSignature
