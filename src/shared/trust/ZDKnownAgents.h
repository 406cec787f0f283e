#pragma once
// The console's pins: the fingerprint each computer's agent showed the first time
// it was met over TLS. A computer is its key: a known key under a new name is the
// same computer (the name is added to its pins); an unknown key under a known name
// is not talked to until the administrator trusts or pairs it, and is a new
// computer then. Also where the console keeps its own key pair.
#include "trust/ZDTlsIdentity.h"

#include <QString>
#include <QVariantMap>

class ZDKnownAgents
{
public:
    enum class Verdict { Trusted, FirstUse, Changed };

    // <user application support>/Kestra Admin/Security
    static QString securityFolder();
    // The console's identity in securityFolder(), made on first use.
    static ZDTlsIdentity consoleIdentity(QString *error);

    explicit ZDKnownAgents(QString path = securityFolder() + QStringLiteral("/known-agents.plist"));

    QString pinned(const QString &computer) const;
    // Every pin: name -> fingerprint.
    QVariantMap all() const;
    // Trusted also for a key pinned under another name (then pinned under this one
    // too); FirstUse pins the fingerprint; Changed leaves the old pin in place.
    Verdict check(const QString &computer, const QString &fingerprint) const;
    bool pin(const QString &computer, const QString &fingerprint) const;

    static constexpr int kMaxComputers = 100000;

private:
    QString m_path;
};
