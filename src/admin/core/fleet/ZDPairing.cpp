#include "fleet/ZDPairing.h"

#include "fleet/ZDConsoleSecurity.h"
#include "log/ZDLog.h"
#include "rpc/ZDLinkException.h"
#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteProxy.h"
#include "trust/ZDKnownAgents.h"
#include "trust/ZDTlsIdentity.h"

#include <exception>

namespace {

// Root's window lasts at most an hour; its answer comes by then.
constexpr int kReplyTimeoutMs = 62 * 60 * 1000;

} // namespace

ZDPairing::Result ZDPairing::pair(const QString &host, quint16 port, const QString &pinKey,
                                  const std::function<void(const QString &, const QString &)> &codeKnown)
{
    Result result;
    ZDConnectionOptions options;
    options.localName = QStringLiteral("KestraAdmin");
    options.replyTimeoutMs = kReplyTimeoutMs;
    if (!ZDConsoleSecurity::useTlsAnyKey(options)) {
        result.message = QStringLiteral("this console has no key pair");
        return result;
    }
    std::shared_ptr<ZDConnection> link;
    try {
        link = ZDConnection::connectToHost(host, port, QString(), options);
    } catch (const ZDLinkException &e) {
        result.message = e.reason();
        return result;
    }
    result.agentFingerprint = ZDTlsIdentity::normalizeFingerprint(link->peerKey());
    result.code = ZDTlsIdentity::pairingCode(ZDConsoleSecurity::fingerprint(), result.agentFingerprint);
    if (result.code.isEmpty()) {
        link->invalidate();
        result.message = QStringLiteral("the agent showed no key");
        return result;
    }
    if (codeKnown)
        codeKnown(result.code, result.agentFingerprint);
    QString answer;
    try {
        const ZDRemoteProxyPtr agent = link->rootProxy();
        if (!agent->respondsToSelector(QString::fromLatin1(ZDOrv::kRequestPairing))) {
            link->invalidate();
            result.message = QStringLiteral("this agent cannot be paired from the console; enrol it with a token");
            return result;
        }
        answer = agent->call(QString::fromLatin1(ZDOrv::kRequestPairing)).toString();
    } catch (const std::exception &e) {
        link->invalidate();
        result.message = QStringLiteral("the request failed: %1").arg(QString::fromLocal8Bit(e.what()));
        return result;
    }
    link->invalidate();
    if (answer == QLatin1String(ZDOrv::kPairingAccepted)) {
        // Root confirmed this very key: it is the computer's from now on.
        if (!ZDKnownAgents().pin(pinKey, result.agentFingerprint)) {
            result.message = QStringLiteral("paired, but the agent's key could not be pinned");
            return result;
        }
        ZDLog::appendLog(QStringLiteral("Paired with %@ (%@): %@"), pinKey, host, result.agentFingerprint);
        result.outcome = Outcome::Paired;
        result.message = QStringLiteral("paired: the computer enrolled this console");
    } else if (answer == QLatin1String(ZDOrv::kPairingRefused)) {
        result.outcome = Outcome::Refused;
        result.message = QStringLiteral("refused at the computer: nothing enrolled");
    } else if (answer == QLatin1String(ZDOrv::kPairingBusy)) {
        result.outcome = Outcome::Busy;
        result.message = QStringLiteral("another pairing request waits on that computer; try again once it is answered");
    } else if (answer == QLatin1String(ZDOrv::kPairingExpired)) {
        result.outcome = Outcome::Expired;
        result.message = QStringLiteral("the pairing window closed before root answered: nothing enrolled");
    } else {
        result.outcome = Outcome::NoWindow;
        result.message = QStringLiteral("no pairing window is open there; on that computer run: sudo KestraClient -pair");
    }
    return result;
}
