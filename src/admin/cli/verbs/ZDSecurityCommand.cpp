#include "verbs/ZDSecurityCommand.h"

#include "ZDCliOutput.h"
#include "fleet/ZDConsoleSecurity.h"
#include "fleet/ZDPairing.h"
#include "trust/ZDKnownAgents.h"

#include <QDateTime>
#include <QVariantMap>

namespace {

constexpr int kMaxTokenMinutes = 7 * 24 * 60;

} // namespace

int ZDSecurityCommand::enrollToken(const QStringList &positional, bool json, QTextStream &out, QTextStream &err)
{
    int minutes = ZDConsoleSecurity::kDefaultTokenMinutes;
    if (!positional.isEmpty()) {
        bool ok = false;
        minutes = positional.first().toInt(&ok);
        if (!ok || positional.size() > 1 || minutes < 1 || minutes > kMaxTokenMinutes) {
            err << "kestra: enroll-token takes a validity from 1 to " << kMaxTokenMinutes << " minutes\n";
            return 2;
        }
    }
    const QDateTime expiry = QDateTime::currentDateTimeUtc().addSecs(qint64(minutes) * 60);
    QString error;
    const QString token = ZDConsoleSecurity::enrollToken(expiry, &error);
    if (token.isEmpty()) {
        err << "kestra: " << error << "\n";
        return 1;
    }
    if (json) {
        out << ZDCliOutput::prettyJson(QVariantMap{{QStringLiteral("token"), token},
                                                   {QStringLiteral("fingerprint"), ZDConsoleSecurity::fingerprint()},
                                                   {QStringLiteral("expires"), expiry.toString(Qt::ISODate)}});
        return 0;
    }
    out << token << "\n";
    err << "Console " << ZDConsoleSecurity::fingerprint() << "; on each computer, as root: KestraClient -enroll TOKEN"
        << " (once, before " << expiry.toLocalTime().toString(Qt::ISODate) << ")\n";
    return 0;
}

int ZDSecurityCommand::trust(const QStringList &positional,
                             const std::function<QList<ZDServicePtr>(const QString &)> &find, QTextStream &out,
                             QTextStream &err)
{
    if (positional.isEmpty() || positional.size() > 2) {
        err << "kestra: trust needs HOST and takes the FINGERPRINT expected\n";
        return 2;
    }
    const QString expected = positional.value(1);
    if (!expected.isEmpty() && ZDTlsIdentity::normalizeFingerprint(expected).isEmpty()) {
        err << "kestra: not a fingerprint (64 hexadecimal digits): " << ZDCliOutput::terminalText(expected) << "\n";
        return 2;
    }
    const QList<ZDServicePtr> services = find(positional.first());
    if (services.isEmpty()) {
        err << "kestra: " << ZDCliOutput::terminalText(positional.first()) << ": not found\n";
        return 1;
    }
    int status = 0;
    for (const ZDServicePtr &s : services) {
        const QString key = ZDConsoleSecurity::pinKey(*s);
        const QString before = ZDKnownAgents().pinned(key);
        const QString host = s->isManual() ? s->manualIP() : s->ipAddress();
        QString error;
        const QString now = ZDConsoleSecurity::trust(host, quint16(s->port()), key, expected, &error);
        if (now.isEmpty()) {
            err << "kestra: " << ZDCliOutput::terminalText(s->name()) << ": " << ZDCliOutput::terminalText(error) << "\n";
            status = 1;
            continue;
        }
        out << ZDCliOutput::terminalText(s->name()) << ": trusted " << now;
        if (!before.isEmpty() && before != now)
            out << " (was " << before << ")";
        out << "\n";
    }
    return status;
}

int ZDSecurityCommand::pair(const QStringList &positional,
                            const std::function<QList<ZDServicePtr>(const QString &)> &find, QTextStream &out,
                            QTextStream &err)
{
    if (positional.size() != 1) {
        err << "kestra: pair needs HOST (on it, as root: KestraClient -pair)\n";
        return 2;
    }
    const QList<ZDServicePtr> services = find(positional.first());
    if (services.size() != 1) {
        err << "kestra: " << ZDCliOutput::terminalText(positional.first())
            << (services.isEmpty() ? ": not found\n" : ": names several computers; pair one at a time\n");
        return 1;
    }
    const ZDServicePtr &s = services.first();
    const QString name = ZDCliOutput::terminalText(s->name());
    const QString host = s->isManual() ? s->manualIP() : s->ipAddress();
    const ZDPairing::Result result = ZDPairing::pair(host, quint16(s->port()), ZDConsoleSecurity::pinKey(*s),
                                                     [&](const QString &code, const QString &) {
        out << "Pairing code: " << code << " \u2014 confirm it on " << name << "\n";
        out.flush();
    });
    if (result.outcome == ZDPairing::Outcome::Paired) {
        out << name << ": " << result.message << " (agent key " << result.agentFingerprint << ")\n";
        return 0;
    }
    err << "kestra: " << name << ": " << ZDCliOutput::terminalText(result.message) << "\n";
    return 1;
}
