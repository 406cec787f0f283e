#pragma once
// The console's pins: the fingerprint each computer's agent showed the first time
// it was met over TLS. A different one later is not talked to until the
// administrator trusts it. Also where the console keeps its own key pair.
#include "trust/ZDTlsIdentity.h"

#include <QString>

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
    // FirstUse pins the fingerprint; Changed leaves the old pin in place.
    Verdict check(const QString &computer, const QString &fingerprint) const;
    bool pin(const QString &computer, const QString &fingerprint) const;

    static constexpr int kMaxComputers = 100000;

private:
    QString m_path;
};
