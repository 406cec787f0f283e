#include "agent/ZDAgentSecurity.h"

#include "agent/ZDPairingWindow.h"
#include "link/ZDConnectionServer.h"
#include "trust/ZDEnrolledConsoles.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "link/ZDTlsTransport.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSysInfo>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

std::shared_ptr<ZDTlsContext> serverContext()
{
    static std::once_flag once;
    static std::shared_ptr<ZDTlsContext> context;
    std::call_once(once, [] {
        const ZDTlsIdentity id = ZDAgentSecurity::identity();
        QString error;
        if (id.isValid())
            context = ZDTlsContext::create(id, true, &error);
        if (!context)
            ZDLog::appendLog(QStringLiteral("No secure connections: %@"), error.isEmpty() ? QStringLiteral("no key pair") : error);
    });
    return context;
}

ZDTlsPolicy policyForLink()
{
    // Read for every link: an enrolment or a revocation counts from the next connection on.
    const ZDEnrolledConsoles::State state = ZDEnrolledConsoles().read();
    ZDTlsPolicy policy;
    policy.context = serverContext();
    // Every peer gets the hello and ping; the gate on calls does the rest.
    policy.allowPlain = true;
    policy.grant = [state](const QString &fingerprint) {
        unsigned grant = 0;
        if (!fingerprint.isEmpty())
            grant |= ZDAgentSecurity::Tls;
        if (!fingerprint.isEmpty() && state.fingerprints.contains(fingerprint))
            grant |= ZDAgentSecurity::Enrolled;
        if (!state.requireEnrolled)
            grant |= ZDAgentSecurity::OpenMode;
        return grant;
    };
    return policy;
}

int printed(FILE *stream, const QString &text, int status)
{
    std::fprintf(stream, "%s\n", qPrintable(text));
    return status;
}

} // namespace

ZDTlsIdentity ZDAgentSecurity::identity()
{
    static std::once_flag once;
    static ZDTlsIdentity cached;
    std::call_once(once, [] {
        QString error;
        // Root's key pair is the computer's state (kept across a reinstall, like the enrolled
        // consoles): root never makes files in a folder a user controls.
        const QString folder = ZDLocalPaths::isRoot() ? ZDLocalPaths::libraryDirectory(false)
                                                      : ZDLocalPaths::appSupportDirectory(true);
        cached = ZDTlsIdentity::loadOrCreate(folder + QStringLiteral("/KestraClient/Security"),
                                             QStringLiteral("agent"),
                                             QStringLiteral("KestraClient on %1").arg(QSysInfo::machineHostName()), &error);
        if (!cached.isValid())
            ZDLog::appendLog(QStringLiteral("Cannot load or make the agent's key pair: %@"), error);
    });
    return cached;
}

QVariantMap ZDAgentSecurity::describeLink(QVariantMap configuration)
{
    const ZDConnection *link = ZDConnection::current();
    const unsigned grant = link ? link->peerGrant() : 0;
    if (grant & OpenMode)
        configuration.insert(QLatin1String(ZDOrv::kConfigOpenMode), 1);
    configuration.insert(QLatin1String(ZDOrv::kConfigConsoleEnrolled), (grant & Enrolled) ? 1 : 0);
    return configuration;
}

bool ZDAgentSecurity::requiresEnrolledConsoles()
{
    return ZDEnrolledConsoles().read().requireEnrolled;
}

ZDConnectionOptions ZDAgentSecurity::listenerOptions()
{
    ZDConnectionOptions options = ZDConnectionServer::defaultOptions();
    serverContext(); // the key pair is made when the agent starts, not on its first link
    const ZDEnrolledConsoles::State state = ZDEnrolledConsoles().read();
    if (!state.problem.isEmpty())
        ZDLog::appendLog(QStringLiteral("Serving no console: %@."), state.problem);
    if (state.requireEnrolled) {
        ZDLog::appendLog(QStringLiteral("Serving enrolled consoles only (%@ enrolled)."), state.fingerprints.size());
    } else {
        const QString warning = QStringLiteral(
            "Warning: open mode: any computer that reaches this port may read and change this computer "
            "(\"KestraClient -require-enrolled yes\" as root ends it).");
        ZDLog::appendLog(warning);
        std::fprintf(stderr, "%s\n", qPrintable(warning));
    }
    options.transportFactory = ZDTlsTransport::factory(policyForLink, ZDConnection::sendQueueLimit(options));
    options.admitsCall = [](const QString &op, unsigned grant) {
        const QByteArray name = op.toUtf8();
        return ZDOrv::agentServes(std::string_view(name.constData(), size_t(name.size())), grant & Enrolled,
                                  grant & OpenMode, grant & Tls);
    };
    return options;
}

QString ZDAgentSecurity::requestPairing()
{
    const ZDConnection *link = ZDConnection::current();
    const QString console = link ? ZDTlsIdentity::normalizeFingerprint(link->peerKey()) : QString();
    if (console.isEmpty())
        return QString::fromLatin1(ZDOrv::kPairingNoWindow); // the contract lets no plain link get here
    if (ZDEnrolledConsoles().isEnrolled(console))
        return QString::fromLatin1(ZDOrv::kPairingAccepted);
    ZDLog::appendLog(QStringLiteral("Console %@ (%@) asks to pair."), console, link->peerAddress());
    const QString answer = ZDPairingWindow::request(console, identity().fingerprint);
    ZDLog::appendLog(QStringLiteral("Pairing of console %@: %@."), console, answer);
    return answer;
}

namespace {

// -pair [MINUTES]: root holds the window at its terminal.
int pairCommand(int argc, char **argv)
{
    int minutes = ZDPairingWindow::kDefaultMinutes;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-pair") != 0)
            continue;
        bool ok = false;
        minutes = QString::fromLocal8Bit(argv[i + 1]).toInt(&ok);
        if (!ok || minutes < 1 || minutes > ZDPairingWindow::kMaxMinutes)
            return printed(stderr, QStringLiteral("KestraClient: -pair takes 1 to %1 minutes").arg(ZDPairingWindow::kMaxMinutes), 2);
    }
    QCoreApplication app(argc, argv);
    if (::geteuid() != 0)
        return printed(stderr, QStringLiteral("KestraClient: -pair needs root"), 1);
    return ZDPairingWindow::hold(minutes, STDIN_FILENO, STDOUT_FILENO);
}

} // namespace

int ZDAgentSecurity::runCommandLine(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-pair") == 0)
            return pairCommand(argc, argv);
    QString word;
    QString value;
    for (int i = 1; i < argc; ++i) {
        for (const char *known : {"-enroll", "-enroll-fingerprint", "-revoke", "-require-enrolled", "-fingerprint"}) {
            if (std::strcmp(argv[i], known) == 0) {
                word = QString::fromLatin1(known);
                value = i + 1 < argc ? QString::fromLocal8Bit(argv[i + 1]) : QString();
            }
        }
    }
    if (word.isEmpty())
        return -1;
    QCoreApplication app(argc, argv);
    if (word == QLatin1String("-fingerprint")) {
        const ZDTlsIdentity id = identity();
        return id.isValid() ? printed(stdout, id.fingerprint, 0) : printed(stderr, QStringLiteral("KestraClient: no key pair"), 1);
    }
    if (::geteuid() != 0)
        return printed(stderr, QStringLiteral("KestraClient: %1 needs root").arg(word), 1);
    if (value.isEmpty())
        return printed(stderr, QStringLiteral("KestraClient: %1 needs a value").arg(word), 2);
    const ZDEnrolledConsoles consoles;
    QString error;
    QString fingerprint = value;
    bool ok = false;
    if (word == QLatin1String("-enroll"))
        ok = consoles.enroll(value, QDateTime::currentDateTimeUtc(), &fingerprint, &error);
    else if (word == QLatin1String("-enroll-fingerprint"))
        ok = consoles.add(value, &error);
    else if (word == QLatin1String("-revoke"))
        ok = consoles.remove(value, &error);
    else if (value == QLatin1String("yes") || value == QLatin1String("no"))
        ok = consoles.setRequireEnrolled(value == QLatin1String("yes"), &error);
    else
        return printed(stderr, QStringLiteral("KestraClient: -require-enrolled takes yes or no"), 2);
    if (!ok)
        return printed(stderr, QStringLiteral("KestraClient: %1").arg(error), 1);
    if (word == QLatin1String("-require-enrolled"))
        return printed(stdout, QStringLiteral("Enrolled consoles only: %1 (new connections at once; the DNS-SD record when the agent starts again)").arg(value), 0);
    return printed(stdout, QStringLiteral("%1 %2").arg(word == QLatin1String("-revoke") ? QStringLiteral("Revoked")
                                                                                        : QStringLiteral("Enrolled"),
                                                       ZDTlsIdentity::normalizeFingerprint(fingerprint)),
                   0);
}
