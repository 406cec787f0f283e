#pragma once
// The signed manifest that travels beside an update archive as "<archive>.manifest".
// A signature over the archive alone let any older signed archive replace a newer
// copy; the manifest binds the archive's SHA-256 to the application it is for, its
// version, the oldest installed version it may replace and an expiry date.
//
// The file is two lines: the manifest as compact JSON (keys "bundleIdentifier",
// "version", "minimumVersion", "sha256" in hex, "expires" as an ISO 8601 UTC date),
// then the base64 Ed25519 signature of exactly the bytes of the first line.
#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace ZDUpdateManifest {
constexpr const char *kSuffix = ".manifest";
constexpr qsizetype kMaxBytes = 4096;

struct Fields
{
    QString bundleIdentifier;
    qint64 version = 0;        // the archive's CFBundleVersion, 1 or more
    qint64 minimumVersion = 0; // the oldest installed version it may replace; 0: any
    QByteArray sha256;         // of the archive, raw bytes
    QDateTime expires;         // UTC
};

// The manifest file for fields signed with a 32-byte seed; empty when the fields or the seed are unusable.
QByteArray write(const Fields &fields, const QByteArray &seed);

// The manifest's fields when the file is signed by publicKey, names bundleIdentifier, has
// not expired, is newer than installedVersion (0: nothing installed), allows replacing that
// version and matches the archive; otherwise nothing and the reason, a sentence, in *error.
std::optional<Fields> check(const QByteArray &file, const QByteArray &publicKey, const QByteArray &archive,
                            const QString &bundleIdentifier, qint64 installedVersion, QString *error,
                            const QDateTime &now = QDateTime::currentDateTimeUtc());

// A CFBundleVersion as the manifest compares it: a whole number from 1; 0 when unreadable.
qint64 versionNumber(const QString &bundleVersion);
} // namespace ZDUpdateManifest
