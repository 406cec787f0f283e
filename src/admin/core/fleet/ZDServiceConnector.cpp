#include "fleet/ZDServiceConnector.h"

#include "fleet/ZDConsoleSecurity.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"

#include <QHostAddress>

#include <atomic>

namespace {

bool isNumericAddress(const QString &text)
{
    const QHostAddress address(text);
    return address.protocol() == QAbstractSocket::IPv4Protocol || address.protocol() == QAbstractSocket::IPv6Protocol;
}

// The stages laid out as one list, walked a step at a time: a line to log, or an
// attempt whose outcome arrives later. The list ends at the first working link.
class Sequence : public std::enable_shared_from_this<Sequence>
{
public:
    struct Step
    {
        QStringList lines;   // logged when the step is reached
        QString host;        // empty: nothing to try
        QString expectedName;
        bool logFailure = true;
    };

    std::vector<Step> steps;
    size_t next = 0;
    quint16 port = 0;
    ZDConnectionOptions options;
    bool tls = false;
    std::shared_ptr<std::atomic<bool>> changed;
    std::function<bool()> givenStopped;
    std::function<bool(const std::shared_ptr<ZDConnection> &)> adopt;
    ZDServiceConnector::Post post;
    std::function<void(ZDServiceConnector::Result)> done;
    ZDServiceConnector::Result result;

    bool stopped() const { return givenStopped() || changed->load(); }

    // Runs on the caller's thread or a posted one, until an attempt is under way.
    void advance()
    {
        while (next < steps.size() && !result.isValid() && !stopped()) {
            const Step &step = steps[next++];
            for (const QString &line : step.lines)
                ZDLog::appendLog(line);
            if (step.host.isEmpty())
                continue;
            if (!tls) {
                failed(ZDLinkException::linkFailure(
                           QStringLiteral("this console has no key pair, and agents are reached over TLS only")),
                       step.logFailure);
                continue;
            }
            auto self = shared_from_this();
            const bool logFailure = step.logFailure;
            ZDConnection::connectToHostAsync(
                step.host, port, step.expectedName, options,
                [self, logFailure](std::shared_ptr<ZDConnection> link, const std::optional<ZDLinkException> &failure) {
                    // The wire's thread: the probe below waits, so it runs where the caller says.
                    self->post([self, link = std::move(link), failure, logFailure] {
                        self->attempted(link, failure, logFailure);
                    });
                });
            return;
        }
        result.certificateChanged = changed->load();
        const auto tell = std::move(done);
        if (tell)
            tell(std::move(result));
    }

private:
    void attempted(const std::shared_ptr<ZDConnection> &link, const std::optional<ZDLinkException> &failure,
                   bool logFailure)
    {
        if (failure) {
            failed(*failure, logFailure);
            advance();
            return;
        }
        try {
            if (adopt(link)) {
                // The probe is a round trip: a proxy that answers it is a working link.
                // It asks at once what the configuration asks next.
                auto proxy = link->rootProxy();
                proxy->learnSelectors({QString::fromLatin1(ZDOrv::kFetchInitialConfiguration),
                                       QString::fromLatin1(ZDOrv::kSetErrorCallback)});
                result.connection = link;
                result.proxy = proxy;
            } else {
                link->invalidate();
            }
        } catch (const ZDLinkException &e) {
            failed(e, logFailure);
        } catch (const std::exception &e) {
            failed(ZDLinkException::linkFailure(QString::fromLocal8Bit(e.what())), logFailure);
        }
        advance();
    }

    void failed(const ZDLinkException &e, bool log)
    {
        if (log || changed->load())
            ZDLog::appendLog(QStringLiteral("Connection exception: %@"), e.reason());
        result = ZDServiceConnector::Result();
        result.error = e.reason();
    }
};

} // namespace

void ZDServiceConnector::connect(const Target &target, std::function<bool()> stopped,
                                 std::function<bool(const std::shared_ptr<ZDConnection> &)> adopt, Post post,
                                 std::function<void(Result)> done)
{
    auto run = std::make_shared<Sequence>();
    run->port = target.port;
    run->options.serveMode = ZDServeMode::OwnerThread;
    run->options.ownerThread = target.servingThread;
    run->options.localName = QStringLiteral("KestraAdmin");
    // TLS from the first byte, to every agent: a peer that does not complete the
    // handshake (or drops it) is unreachable, never talked to in plain text.
    run->changed = std::make_shared<std::atomic<bool>>(false);
    run->tls = !target.pinKey.isEmpty() && ZDConsoleSecurity::useTls(run->options, target.pinKey, run->changed);
    run->givenStopped = std::move(stopped);
    run->adopt = std::move(adopt);
    run->post = std::move(post);
    run->done = std::move(done);
    auto &steps = run->steps;

    // By registered name, at the resolved address (".local" names need not
    // resolve through the system's resolver); IPv4 first. Its failure only ends the stage.
    if (!target.registeredName.isEmpty()) {
        QString host = target.manual && !target.manualIP.isEmpty() ? target.manualIP : target.dottedHost;
        if (!target.addresses.isEmpty())
            host = target.addresses.constFirst();
        for (const QString &a : target.addresses) {
            if (QHostAddress(a).protocol() == QAbstractSocket::IPv4Protocol) {
                host = a;
                break;
            }
        }
        steps.push_back({{zdFormat(QStringLiteral("Connecting to %@..."), target.registeredName),
                          zdFormat(QStringLiteral("Address count: %i"), target.addresses.size())},
                         host, target.registeredName, false});
    }

    const QString host = target.manual ? target.manualIP : target.dottedHost;
    if (!host.isEmpty())
        steps.push_back({{zdFormat(QStringLiteral("Trying to connect to host %@:%i"), host, int(target.port))},
                         host, QString(), true});

    QStringList lines{QStringLiteral("Unable to connect; trying alternate addresses...")};
    QStringList candidates;
    if (target.manual) {
        lines << QStringLiteral("Connection is manual.");
        candidates << target.manualIP;
    } else {
        candidates = target.addresses;
    }
    steps.push_back({lines, QString(), QString(), true});
    // One resolved address was already tried by the stages above.
    if (candidates.size() > 1 || target.manual) {
        for (const QString &candidate : std::as_const(candidates)) {
            const QString text = candidate.trimmed();
            if (!isNumericAddress(text) && !(target.manual && text == QLatin1String("localhost")))
                steps.push_back({{QStringLiteral("The address family is unknown")}, QString(), QString(), true});
            else
                steps.push_back({{}, text, QString(), true});
        }
    }
    run->advance();
}
