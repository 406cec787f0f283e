#include "ZDCommandLine.h"
#include "ZDMetComputers.h"

#include "dispatch/ZDAgentCalls.h"
#include "verbs/ZDAppsCommand.h"
#include "rpc/ZDOrvContract.h"
#include "verbs/ZDPluginsCommand.h"
#include "verbs/ZDRenderCommand.h"
#include "verbs/ZDSchedulesCommand.h"
#include "verbs/ZDSysinfoCommand.h"
#include "verbs/ZDUpdatesCommand.h"
#include "verbs/ZDPathsCommand.h"
#include "verbs/ZDPrefsCommand.h"

#include "console/ZDAdminSettings.h"
#include "ZDCliOutput.h"
#include "ZDCliSyntax.h"
#include "verbs/ZDCrashLogsCommand.h"
#include "verbs/ZDSecurityCommand.h"
#include "fleet/ZDDiscovery.h"
#include "fleet/ZDHostNames.h"
#include "dispatch/ZDErrorCallback.h"
#include "ZDErrorQueueFile.h"
#include "log/ZDLog.h"
#include "ZDProgressBar.h"
#include "rpc/ZDRemoteObject.h"
#include "ZDTerminalPrompt.h"
#include "process/ZDThreads.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QHostAddress>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <set>
#include <thread>
#include <utility>

#include <unistd.h>

namespace {

using namespace Qt::StringLiterals;

constexpr double kListWaitSeconds = 3.0;
constexpr double kWorkWaitSeconds = 5.0;
constexpr double kMaxWaitSeconds = 600.0;
// What browsing gets to find the announced computers before an answer may go out.
constexpr int kBrowseWindowMs = 1000;
// From the start of browsing until the list may count as complete: the daemon asks
// as browsing starts, a responder answers within 20-120 ms, and a LAN adds little.
constexpr int kBrowseGraceMs = 150;
// Agents report task errors by a separate oneway call: give them a moment to arrive.
constexpr int kReportGraceMs = 500;
constexpr int kTableCellChars = 160;

QString shortened(const QString &text)
{
    return text.size() > kTableCellChars ? text.left(kTableCellChars - 3) + u"..."_s : text;
}

} // namespace

ZDCommandLine::ZDCommandLine(QStringList arguments, FILE *out, QObject *parent)
    : QObject(parent), m_arguments(std::move(arguments)), m_out(out), m_err(stderr)
{
}

ZDCommandLine::~ZDCommandLine()
{
    m_dispatcher.reset();
    m_discovery.reset();
}

QString ZDCommandLine::usage()
{
    return ZDCliSyntax::usage();
}

QString ZDCommandLine::version()
{
    return u"kestra %1 (%2)"_s.arg(QStringLiteral(KESTRA_VERSION), QStringLiteral(KESTRA_BUNDLE_VERSION));
}

bool ZDCommandLine::parse(QString *error)
{
    const ZDCliSyntax::Parsed parsed = ZDCliSyntax::parse(m_arguments.mid(1));
    m_options.command = parsed.verb;
    m_options.positional = parsed.positional;
    if (!parsed.error.isEmpty()) {
        *error = parsed.error;
        return false;
    }
    const auto has = [&](const char *name) { return parsed.values.contains(QLatin1String(name)); };
    const auto value = [&](const char *name) { return parsed.values.value(QLatin1String(name)); };
    const auto hostList = [&](const char *name) {
        QStringList out;
        for (const QString &h : value(name).split(u',', Qt::SkipEmptyParts))
            out << h.trimmed();
        return out;
    };
    m_options.hosts = hostList("--hosts");
    m_options.working = hostList("--working");
    m_options.failing = hostList("--failing");
    if (has("--wait")) {
        bool ok = false;
        m_options.waitSeconds = value("--wait").toDouble(&ok);
        if (!ok || m_options.waitSeconds < 0 || m_options.waitSeconds > kMaxWaitSeconds) {
            *error = u"--wait takes a number of seconds from 0 to %1"_s.arg(kMaxWaitSeconds);
            return false;
        }
    }
    m_options.from = value("--from");
    m_options.since = value("--since");
    m_options.settingsPath = value("--settings");
    m_options.yes = has("--yes");
    m_options.json = has("--json");
    m_options.browse = !has("--no-browse");
    m_options.clear = has("--clear");
    m_options.admin = has("--admin");
    m_options.sameForAll = has("--same-for-all");
    m_options.keepPassword = has("--keep-password");
    m_options.help = has("--help");
    m_options.version = has("--version");
    m_options.names = has("--names");
    m_options.all = has("--all");
    m_options.addMissing = has("--add-missing");
    m_options.man = has("--man");
    m_options.completion = has("--bash-completion");
    if (m_options.settingsPath.isEmpty())
        m_options.settingsPath = ZDAdminSettings::defaultPath();
    return true;
}

int ZDCommandLine::usageError(const QString &why)
{
    m_err << "kestra: " << ZDCliOutput::terminalText(why) << "\n" << ZDCliSyntax::seeHelp(m_options.command) << "\n";
    m_err.flush();
    return Usage;
}

int ZDCommandLine::help()
{
    if (m_options.man) {
        m_out << ZDCliSyntax::manPage(QStringLiteral(KESTRA_VERSION));
    } else if (m_options.completion) {
        m_out << ZDCliSyntax::bashCompletion();
    } else if (m_options.positional.isEmpty()) {
        m_out << usage();
    } else if (const ZDCliSyntax::Verb *v = ZDCliSyntax::verb(m_options.positional.first())) {
        m_out << ZDCliSyntax::verbHelp(*v);
    } else {
        m_err << "kestra: no verb " << ZDCliOutput::terminalText(m_options.positional.first()) << "\n";
        return Usage;
    }
    m_out.flush();
    return Success;
}

int ZDCommandLine::run()
{
    QString error;
    if (!parse(&error))
        return usageError(error);
    if (m_options.version && !m_options.help) {
        m_out << version() << u'\n';
        m_out.flush();
        return Success;
    }
    if (m_options.help) {
        if (!m_options.command.isEmpty())
            m_options.positional = {m_options.command};
        return help();
    }
    m_errorCallback = std::make_shared<ZDErrorCallback>();
    m_errorCallback->setSettingsPath(m_options.settingsPath);
    const QString &c = m_options.command;
    int rc = Usage;
    // The computer a security verb names, found as the other verbs find theirs.
    const auto findOne = [this](const QString &host) {
        m_options.hosts = {host};
        startDiscovery(m_options.browse ? Discovery::BrowseAndManual : Discovery::Manual);
        waitForComputers(kListWaitSeconds, false);
        QStringList missing;
        return selectedServices(&missing);
    };
    if (c == "help"_L1)
        rc = help();
    else if (c == "list"_L1)
        rc = list();
    else if (c == "call"_L1)
        rc = call();
    else if (c == "add"_L1)
        rc = add();
    else if (c == "remove"_L1)
        rc = remove();
    else if (c == "errors"_L1)
        rc = errors();
    else if (c == "tasks"_L1)
        rc = tasks();
    else if (c == "run"_L1)
        rc = runTask();
    else if (c == "crashlogs"_L1)
        rc = ZDCrashLogsCommand(*this).run();
    else if (c == "enroll-token"_L1)
        rc = ZDSecurityCommand::enrollToken(m_options.positional, m_options.json, m_out, m_err);
    else if (c == "trust"_L1)
        rc = ZDSecurityCommand::trust(m_options.positional, findOne, m_out, m_err);
    else if (c == "pair"_L1)
        rc = ZDSecurityCommand::pair(m_options.positional, findOne, m_out, m_err);
    else if (c == "prefs"_L1)
        rc = ZDPrefsCommand(*this).run();
    else if (c == "paths"_L1)
        rc = ZDPathsCommand(*this).run();
    else if (c == "plugins"_L1)
        rc = ZDPluginsCommand(*this).run();
    else if (c == "apps"_L1)
        rc = ZDAppsCommand(*this).apps();
    else if (c == "clean"_L1 || c == "remove-group"_L1 || c == "caches"_L1 || c == "repair"_L1)
        rc = c == "clean"_L1 ? ZDAppsCommand(*this).clean() : c == "caches"_L1 ? ZDAppsCommand(*this).caches()
           : c == "repair"_L1 ? ZDAppsCommand(*this).repair() : ZDAppsCommand(*this).removeGroup();
    else if (c == "schedules"_L1)
        rc = ZDSchedulesCommand(*this).run();
    else if (c == "render"_L1)
        rc = ZDRenderCommand(*this).run();
    else if (c == "updates"_L1)
        rc = ZDUpdatesCommand(*this).run();
    else if (c == "sysinfo"_L1 || c == "diff"_L1)
        rc = ZDSysinfoCommand(*this).run();
    else
        m_err << "kestra: unknown verb " << ZDCliOutput::terminalText(c) << "\n";
    if (rc == Usage)
        m_err << ZDCliSyntax::seeHelp(c) << "\n";
    // Whatever the computers reported in this run is kept for "kestra errors".
    if (c != "errors"_L1) {
        // Reports the agents sent just before their answers are still on the way in.
        if (m_discovery) {
            for (const ZDServicePtr &service : m_discovery->allServices())
                service->flushIncomingCalls(2000);
        }
        ZDErrorQueueFile().add(m_errorCallback->errorQueue());
    }
    m_out.flush();
    m_err.flush();
    return rc;
}

// ---- discovery and selection -------------------------------------------------------

void ZDCommandLine::startDiscovery(Discovery what)
{
    m_discovery = std::make_unique<ZDDiscovery>(m_errorCallback, m_options.settingsPath);
    // A computer's own errors (no configuration, outdated) join the queue, as in the window.
    connect(m_discovery.get(), &ZDDiscovery::localError, m_errorCallback.get(),
            [this](int code, const QString &host) {
                m_errorCallback->postLocalError({{u"errorcode"_s, code}, {u"hostname"_s, host}});
            });
    // Said once, in plain words: the manual connections still answer.
    connect(m_discovery.get(), &ZDDiscovery::browsingFailed, this, [this](const QString &why) {
        if (std::exchange(m_toldDnssd, true))
            return;
        m_err << "kestra: DNS-SD unavailable (" << ZDCliOutput::terminalText(why)
              << "); only computers entered by hand are reached\n";
        m_err.flush();
    });
    if (what == Discovery::BrowseAndManual)
        m_discovery->start();
    else if (what == Discovery::Manual)
        m_discovery->processManualConnections();
}

QString ZDCommandLine::hostOf(const ZDServicePtr &service)
{
    const QString host = service->hostName();
    return host.isEmpty() ? service->name() : host;
}

bool ZDCommandLine::matchesHost(const ZDServicePtr &service, const QString &host) const
{
    return ZDHostNames::names(service, host);
}

void ZDCommandLine::waitForComputers(double defaultSeconds, bool untilDeadline)
{
    const double seconds = m_options.waitSeconds >= 0 ? m_options.waitSeconds : defaultSeconds;
    if (seconds <= 0)
        return;
    QEventLoop loop;
    // A record counts once it settled: a retry after a failure does not put it back.
    std::set<ZDServicePtr> settled;
    bool browseWindowOver = !m_options.browse;
    const ZDMetComputers met;
    const std::optional<QStringList> remembered = m_options.browse ? met.load() : std::nullopt;
    const auto done = [&] {
        const QList<ZDServicePtr> all = m_discovery->allServices();
        for (const ZDServicePtr &s : all) {
            if (s->isSettled())
                settled.insert(s);
        }
        const auto isSettled = [&](const ZDServicePtr &s) { return settled.count(s) > 0; };
        const bool allSettled = std::all_of(all.cbegin(), all.cend(), isSettled);
        if (!m_options.hosts.isEmpty()) {
            for (const QString &h : m_options.hosts) {
                bool found = false;
                for (const ZDServicePtr &s : all) {
                    if (matchesHost(s, h)) {
                        found = true;
                        if (!isSettled(s))
                            return false;
                    }
                }
                // Without browsing no computer joins the list any more, and a host name
                // comes with a computer's configuration.
                if (!found && (m_options.browse || !allSettled))
                    return false;
            }
            return true;
        }
        // Browsing needs a moment before the list means anything.
        return browseWindowOver && allSettled;
    };
    const auto check = [&] {
        if (done())
            loop.quit();
    };
    // Owns every connection made here: they end before what they refer to.
    QObject watcher;
    // Browsing may end early: once every computer the last run found is found again
    // and resolved, what was found since is resolved too, and the responders have had
    // their time to answer. The daemon hands out what it already knew at once and asks
    // the network as browsing starts; responders answer within 20-120 ms, so after
    // that (the grace, from the start) and with nothing left to resolve the list is
    // complete. Otherwise (no earlier run, or a computer of the last run missing) the
    // window runs out: the daemon's own "all for now" comes only after a second as well.
    QTimer grace;
    grace.setSingleShot(true);
    grace.setInterval(kBrowseGraceMs);
    bool graceOver = false;
    const auto caughtUp = [&] {
        if (!remembered || !m_discovery->browsingCaughtUp())
            return false;
        const QStringList found = m_discovery->foundNames();
        return std::all_of(remembered->cbegin(), remembered->cend(), [&](const QString &n) { return found.contains(n); });
    };
    const auto progressed = [&] {
        if (browseWindowOver || !graceOver || !caughtUp())
            return;
        browseWindowOver = true;
        check();
    };
    connect(&grace, &QTimer::timeout, &watcher, [&] {
        graceOver = true;
        progressed();
    });
    const auto watch = [&](const ZDServicePtr &s) {
        ZDService *raw = s.get();
        connect(raw, &ZDService::serviceRefresh, &watcher, check);
        connect(raw, &ZDService::serviceConnected, &watcher, check);
        connect(raw, &ZDService::serviceConnectFailed, &watcher, check);
        connect(raw, &ZDService::postLocalError, &watcher, check);
    };
    for (const ZDServicePtr &s : m_discovery->allServices())
        watch(s);
    connect(m_discovery.get(), &ZDDiscovery::serviceAdded, &watcher, [&](const ZDServicePtr &s) {
        watch(s);
        check();
    });
    connect(m_discovery.get(), &ZDDiscovery::serviceRemoved, &watcher, check);
    connect(m_discovery.get(), &ZDDiscovery::browsingProgressed, &watcher, progressed);
    if (!browseWindowOver) {
        // list wants everything on the network: its window is the whole wait.
        const int windowMs = untilDeadline ? int(seconds * 1000) : std::min(kBrowseWindowMs, int(seconds * 1000));
        QTimer::singleShot(windowMs, &watcher, [&] {
            browseWindowOver = true;
            check();
        });
        grace.start();
    }
    QTimer::singleShot(int(seconds * 1000), &watcher, [&] { loop.quit(); });
    if (!done())
        loop.exec();
    // What browsing found this time is what the next run waits for; a computer gone
    // for good costs one full window, then it is forgotten.
    if (m_options.browse && browseWindowOver && m_discovery->browsingCaughtUp())
        met.save(m_discovery->foundNames());
}

ZDDispatcher::ServiceList ZDCommandLine::computersForWork(QStringList *missing)
{
    startDiscovery(m_options.browse ? Discovery::BrowseAndManual : Discovery::Manual);
    waitForComputers(kWorkWaitSeconds, false);
    QStringList notFound;
    const ZDDispatcher::ServiceList services = selectedServices(&notFound);
    for (const QString &h : std::as_const(notFound))
        recordFailure(h, u"not found"_s);
    if (missing)
        *missing = notFound;
    prepareDispatcher(services);
    return services;
}

ZDDispatcher::ServiceList ZDCommandLine::computersNeededForWork()
{
    QStringList missing;
    const ZDDispatcher::ServiceList services = computersForWork(&missing);
    if (services.isEmpty() && missing.isEmpty()) {
        m_err << "kestra: no computers\n";
        m_noComputers = true;
    }
    return services;
}

ZDDispatcher::ServiceList ZDCommandLine::selectedServices(QStringList *missing) const
{
    const QList<ZDServicePtr> all = m_discovery->allServices();
    if (m_options.hosts.isEmpty())
        return all;
    ZDDispatcher::ServiceList chosen;
    for (const QString &h : m_options.hosts) {
        bool found = false;
        for (const ZDServicePtr &s : all) {
            if (matchesHost(s, h)) {
                found = true;
                if (!chosen.contains(s))
                    chosen << s;
            }
        }
        if (!found && missing)
            *missing << h;
    }
    return chosen;
}

void ZDCommandLine::prepareDispatcher(const ZDDispatcher::ServiceList &services)
{
    m_dispatcher = std::make_unique<ZDDispatcher>([services] { return services; });
    m_bar = new ZDProgressBar(this);
    connect(m_dispatcher.get(), &ZDDispatcher::progressStarted, m_bar, &ZDProgressBar::start, Qt::DirectConnection);
    connect(m_dispatcher.get(), &ZDDispatcher::progressAdvanced, m_bar, &ZDProgressBar::advance,
            Qt::DirectConnection);
    connect(m_dispatcher.get(), &ZDDispatcher::progressFinished, m_bar, &ZDProgressBar::finish, Qt::DirectConnection);
    connect(m_dispatcher.get(), &ZDDispatcher::serviceFailed, this,
            [this](const QString &host, const QString &reason) { recordFailure(host, reason); },
            Qt::DirectConnection);
    auto prompt = std::make_shared<ZDTerminalPrompt>(m_options.sameForAll, m_options.keepPassword);
    prompt->setBeforeAsking([bar = m_bar] { bar->suspend(); });
    m_dispatcher->setCredentialPrompt(prompt);
    m_dispatcher->setErrorCallback(m_errorCallback.get(), false);
}

void ZDCommandLine::runOffMain(const std::function<void()> &work)
{
    QEventLoop loop;
    std::thread worker([&] {
        work();
        ZDThreads::post(&loop, [&loop] { loop.quit(); });
    });
    loop.exec();
    worker.join();
}

void ZDCommandLine::recordFailure(const QString &host, const QString &reason)
{
    std::lock_guard lock(m_failuresMutex);
    if (!m_failures.contains(host))
        m_failures.insert(host, reason);
}

void ZDCommandLine::recordFailures(const QStringList &failures)
{
    for (const QString &failure : failures)
        recordFailure(failure.section(u": "_s, 0, 0), failure.section(u": "_s, 1));
}

void ZDCommandLine::collectReportedErrors(const ZDDispatcher::ServiceList &services)
{
    QEventLoop loop;
    QTimer::singleShot(kReportGraceMs, &loop, &QEventLoop::quit);
    loop.exec();
    // The queue is newest first; a computer's first report is its reason (a tool's own words
    // come before the exit status its runner reports after it).
    const QVariantList queue = m_errorCallback->errorQueue();
    for (auto it = queue.crbegin(); it != queue.crend(); ++it) {
        const QVariantMap entry = it->toMap();
        const QString host = entry.value(u"hostname"_s).toString();
        for (const ZDServicePtr &s : services) {
            if (!host.isEmpty() && ZDCliOutput::dotless(s->hostName()) == ZDCliOutput::dotless(host)) {
                const QVariant code = entry.value(u"errorcode"_s);
                const QString description = entry.value(u"description"_s).toString();
                recordFailure(hostOf(s), code.isValid() ? u"error %1: %2"_s.arg(code.toLongLong()).arg(description)
                                                        : description);
            }
        }
    }
}

int ZDCommandLine::finish(const ZDDispatcher::ServiceList &services)
{
    Q_UNUSED(services);
    std::lock_guard lock(m_failuresMutex);
    const QString failed = m_action ? u"failed: "_s : QString();
    for (auto it = m_failures.cbegin(); it != m_failures.cend(); ++it)
        m_err << "kestra: " << ZDCliOutput::terminalText(ZDCliOutput::dotless(it.key()) + u": "_s + failed + it.value()) << "\n";
    return m_failures.isEmpty() && !m_noComputers ? Success : Failed;
}

void ZDCommandLine::actionDone(const QString &host, const QString &what)
{
    std::lock_guard lock(m_failuresMutex);
    m_done.insert(host, what);
}

void ZDCommandLine::actionDone(const ZDServicePtr &service, const QString &what)
{
    actionDone(hostOf(service), what);
}

int ZDCommandLine::finishAction(const ZDDispatcher::ServiceList &services, const QString &doneText)
{
    {
        std::lock_guard lock(m_failuresMutex);
        m_action = true;
        QVariantMap results; // --json: display name -> "done" or "failed: REASON"
        for (const ZDServicePtr &s : services) {
            const QString host = hostOf(s);
            const QString what = m_done.value(host, doneText);
            if (m_failures.contains(host))
                results.insert(ZDCliOutput::dotless(host), u"failed: "_s + m_failures.value(host));
            else if (!what.isEmpty() && m_options.json)
                results.insert(ZDCliOutput::dotless(host), what);
            else if (!what.isEmpty())
                m_out << ZDCliOutput::terminalText(ZDCliOutput::dotless(host) + u": "_s + what) << "\n";
        }
        if (m_options.json)
            m_out << ZDCliOutput::prettyJson(results);
    }
    m_out.flush();
    return finish(services);
}

// ---- commands --------------------------------------------------------------------

int ZDCommandLine::list()
{
    startDiscovery(m_options.browse ? Discovery::BrowseAndManual : Discovery::Manual);
    waitForComputers(kListWaitSeconds, m_options.browse);
    QStringList missing;
    const ZDDispatcher::ServiceList services = selectedServices(&missing);
    if (m_options.names) {
        for (const ZDServicePtr &s : services)
            m_out << ZDCliOutput::terminalText(s->hostName().isEmpty() ? s->name() : ZDHostNames::display(s->hostName()))
                  << "\n";
    } else if (m_options.json) {
        QVariantList rows;
        for (const ZDServicePtr &s : services) {
            rows << QVariantMap{{u"name"_s, s->name()},
                                {u"hostname"_s, s->hostName()},
                                {u"address"_s, s->isManual() ? s->manualIP() : s->ipAddress()},
                                {u"port"_s, s->port()},
                                {u"manual"_s, s->isManual()},
                                {u"connected"_s, s->isConnected()},
                                {u"enabled"_s, s->isEnabled()},
                                {u"needsMaintenance"_s, s->needsMaintenance()},
                                {u"errorcode"_s, s->errorCode()},
                                {u"openMode"_s, s->isOpenMode()},
                                {u"enrolled"_s, s->mayReceiveCredentials()},
                                {u"error"_s, s->errorCode() ? ZDErrorCallback::descriptionForCode(s->errorCode())
                                                            : QString()}};
        }
        m_out << ZDCliOutput::prettyJson(rows);
    } else {
        QList<QStringList> rows{{u"NAME"_s, u"HOST"_s, u"ADDRESS"_s, u"KIND"_s, u"STATE"_s, u"ERROR"_s, u"TRUST"_s}};
        for (const ZDServicePtr &s : services) {
            QString state = s->isConnected() ? u"connected"_s : u"not connected"_s;
            if (s->needsMaintenance())
                state += u", needs maintenance"_s;
            if (!s->isEnabled())
                state += u", disabled"_s;
            const QString error = s->errorCode() ? u"%1 %2"_s.arg(s->errorCode()).arg(
                                                       ZDErrorCallback::descriptionForCode(s->errorCode()))
                                                 : QString();
            rows << QStringList{s->name(), ZDCliOutput::dotless(s->hostName()),
                                u"%1:%2"_s.arg(s->isManual() ? s->manualIP() : s->ipAddress()).arg(s->port()),
                                s->isManual() ? u"manual"_s : u"found"_s, state, error,
                                s->isOpenMode() ? u"OPEN MODE (serves anyone)"_s
                                                : s->mayReceiveCredentials() ? u"enrolled"_s : u"-"_s};
        }
        m_out << ZDCliOutput::table(rows);
        if (services.isEmpty())
            m_out << "No computers.\n";
    }
    for (const QString &h : missing)
        m_err << "kestra: " << ZDCliOutput::terminalText(h) << ": not found\n";
    return missing.isEmpty() ? Success : Failed;
}

int ZDCommandLine::call()
{
    if (m_options.positional.isEmpty()) {
        m_err << "kestra: call needs an operation\n";
        return Usage;
    }
    const QString op = m_options.positional.first();
    QVariantList args;
    for (const QString &a : m_options.positional.mid(1))
        args << ZDCliOutput::parseArgument(a);
    // An operation of the contract is checked here; any other is the agents' to refuse.
    const ZDOrv::Operation *contract = ZDOrv::find(ZDOrv::Side::Agent, op.toStdString());
    const int expected = contract ? contract->argumentCount() : ZDRemoteObject::argumentCount(op);
    if (expected > 2) {
        m_err << "kestra: " << op << " takes " << expected << " arguments; at most 2 are supported\n";
        return Usage;
    }
    if (args.size() != expected) {
        m_err << "kestra: " << op << " takes " << expected << " argument(s), " << args.size() << " given\n";
        return Usage;
    }
    if (const QString why = contract ? ZDOrv::refusal(*contract, args) : QString(); !why.isEmpty()) {
        m_err << "kestra: " << op << ": " << why << "\n";
        return Usage;
    }
    QStringList missing;
    const ZDDispatcher::ServiceList services = computersForWork(&missing);
    QVariantMap results;
    if (!services.isEmpty()) {
        runOffMain([&] {
            results = m_dispatcher->objectsFromRemoteMethod(op, args.value(0), args.value(1));
        });
    } else if (missing.isEmpty()) {
        m_err << "kestra: no computers\n";
        return Failed;
    }
    if (m_options.json) {
        QVariantMap shown = results;
        // Computers that answered without a value appear as null.
        for (const ZDServicePtr &s : services) {
            std::lock_guard lock(m_failuresMutex);
            if (!shown.contains(hostOf(s)) && !m_failures.contains(hostOf(s)))
                shown.insert(hostOf(s), QVariant());
        }
        m_out << ZDCliOutput::prettyJson(ZDCliOutput::dotlessKeys(shown));
    } else {
        QList<QStringList> rows{{u"HOST"_s, u"RESULT"_s}};
        for (const ZDServicePtr &s : services) {
            QString cell;
            {
                std::lock_guard lock(m_failuresMutex);
                if (results.contains(hostOf(s)))
                    cell = shortened(ZDCliOutput::compactJson(results.value(hostOf(s))));
                else if (m_failures.contains(hostOf(s)))
                    cell = u"FAILED: "_s + m_failures.value(hostOf(s));
                else
                    cell = u"(no value)"_s;
            }
            rows << QStringList{ZDCliOutput::dotless(hostOf(s)), cell};
        }
        m_out << ZDCliOutput::table(rows);
    }
    m_out.flush();
    return finish(services);
}

int ZDCommandLine::add()
{
    if (m_options.positional.size() != 3) {
        m_err << "kestra: add needs NAME IP PORT\n";
        return Usage;
    }
    const QStringList &p = m_options.positional;
    // Checked here, before anything is stored: a typing error never becomes a computer.
    if (QHostAddress address; !address.setAddress(p[1]) || p[1].count(u'.') == 1 || p[1].count(u'.') == 2) {
        m_err << "kestra: " << ZDCliOutput::terminalText(p[1]) << " is not an IPv4 or IPv6 address\n";
        return Usage;
    }
    bool portOk = false;
    if (const int port = p[2].toInt(&portOk); !portOk || port < 1 || port > 65535) {
        m_err << "kestra: " << ZDCliOutput::terminalText(p[2]) << " is not a port from 1 to 65535\n";
        return Usage;
    }
    startDiscovery(Discovery::StoredOnly);
    QString title, text;
    if (!m_discovery->submitManualConnection(p[0], p[1], p[2], &title, &text)) {
        m_err << "kestra: " << title << ": " << text << "\n";
        return Failed;
    }
    m_out << "Added " << p[0] << " (" << p[1] << ":" << p[2] << ").\n";
    return Success;
}

int ZDCommandLine::remove()
{
    if (m_options.positional.size() != 1) {
        m_err << "kestra: remove needs NAME\n";
        return Usage;
    }
    startDiscovery(Discovery::StoredOnly);
    if (!m_discovery->removeManualConnection(m_options.positional.first())) {
        m_err << "kestra: no manual connection named " << m_options.positional.first() << "\n";
        return Failed;
    }
    m_out << "Removed " << m_options.positional.first() << ".\n";
    return Success;
}

int ZDCommandLine::errors()
{
    ZDErrorQueueFile file;
    if (m_options.clear) {
        if (!file.clear()) {
            m_err << "kestra: unable to clear " << file.path() << "\n";
            return Failed;
        }
        m_out << "Error queue cleared.\n";
        return Success;
    }
    const QVariantList entries = file.entries();
    if (m_options.json) {
        m_out << ZDCliOutput::prettyJson(entries);
        return Success;
    }
    QList<QStringList> rows{{u"DATE"_s, u"HOST"_s, u"CODE"_s, u"DESCRIPTION"_s}};
    for (const QVariant &v : entries) {
        const QVariantMap e = v.toMap();
        const QVariant code = e.value(u"errorcode"_s);
        rows << QStringList{e.value(u"date"_s).toDateTime().toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss"_s),
                            ZDCliOutput::dotless(e.value(u"hostname"_s).toString()),
                            code.isValid() ? QString::number(code.toLongLong()) : QString(),
                            e.value(u"description"_s).toString().simplified()};
    }
    m_out << ZDCliOutput::table(rows);
    if (entries.isEmpty())
        m_out << "No errors.\n";
    return Success;
}

int ZDCommandLine::tasks()
{
    const ZDDispatcher::ServiceList services = computersForWork();
    QVariantMap results;
    if (!services.isEmpty())
        runOffMain([&] { results = ZDAgentCalls(m_dispatcher.get()).zdAppTasks(); });
    // Icons are of no use on a terminal.
    QVariantMap shown;
    // One row per task, merged across the computers; HOST names them only where they differ.
    QList<QStringList> merged;
    QList<QStringList> hostsOf;
    for (auto it = results.cbegin(); it != results.cend(); ++it) {
        QVariantList tools;
        for (const QVariant &t : it.value().toList()) {
            QVariantMap tool = t.toMap();
            tool.remove(u"icon"_s);
            tools << tool;
            for (const QVariant &task : tool.value(u"tasks"_s).toList()) {
                const QVariantMap tm = task.toMap();
                const QStringList row{tool.value(u"name"_s).toString(), tool.value(u"bundleid"_s).toString(),
                                      tm.contains(u"id"_s) ? tm.value(u"id"_s).toString() : u"(old form)"_s,
                                      tm.value(u"description"_s).toString().simplified()};
                const qsizetype at = merged.indexOf(row);
                if (at < 0) {
                    merged << row;
                    hostsOf << QStringList{ZDHostNames::display(it.key())};
                } else if (!hostsOf[at].contains(ZDHostNames::display(it.key()))) {
                    hostsOf[at] << ZDHostNames::display(it.key());
                }
            }
        }
        shown.insert(it.key(), tools);
    }
    const bool differ = std::any_of(hostsOf.cbegin(), hostsOf.cend(),
                                    [&](const QStringList &h) { return h.size() != results.size(); });
    QList<QStringList> rows{differ ? QStringList{u"TOOL"_s, u"BUNDLE"_s, u"TASK"_s, u"DESCRIPTION"_s, u"HOST"_s}
                                   : QStringList{u"TOOL"_s, u"BUNDLE"_s, u"TASK"_s, u"DESCRIPTION"_s}};
    for (qsizetype i = 0; i < merged.size(); ++i)
        rows << (differ ? merged[i] + QStringList{hostsOf[i].size() == results.size() ? u"(all)"_s : hostsOf[i].join(u", "_s)}
                        : merged[i]);
    if (m_options.json)
        m_out << ZDCliOutput::prettyJson(ZDCliOutput::dotlessKeys(shown));
    else
        m_out << ZDCliOutput::table(rows);
    m_out.flush();
    return finish(services);
}

int ZDCommandLine::runTask()
{
    if (m_options.positional.size() < 2) {
        m_err << "kestra: run needs TOOL TASK\n";
        return Usage;
    }
    QString bundle = m_options.positional[0];
    const QString task = m_options.positional[1];
    const QStringList options = m_options.positional.mid(2);
    const ZDDispatcher::ServiceList services = computersNeededForWork();
    if (services.isEmpty())
        return finish(services);
    // A tool named instead of its bundle identifier: look it up on the computers.
    if (!bundle.contains(u'.')) {
        QVariantMap tools;
        runOffMain([&] { tools = ZDAgentCalls(m_dispatcher.get()).zdAppTasks(); });
        QString found;
        for (const QVariant &list : std::as_const(tools)) {
            for (const QVariant &t : list.toList()) {
                if (t.toMap().value(u"name"_s).toString().compare(bundle, Qt::CaseInsensitive) == 0)
                    found = t.toMap().value(u"bundleid"_s).toString();
            }
        }
        if (found.isEmpty()) {
            m_err << "kestra: no tool named " << bundle << " on these computers\n";
            return Failed;
        }
        bundle = found;
    }
    if (m_options.admin) {
        // One computer after the other: credentials are asked one at a time.
        runOffMain([&] {
            m_bar->start(int(services.size()));
            for (const ZDServicePtr &s : services) {
                if (m_dispatcher->isProcessingCancelled())
                    break;
                m_dispatcher->authExecuteRemoteTask(task, bundle, options, s);
                m_bar->advance();
            }
            m_bar->finish();
        });
    } else {
        runOffMain([&] {
            m_dispatcher->executeRemoteTasks(task, bundle, options);
            m_dispatcher->waitOnProcessing();
        });
    }
    collectReportedErrors(services);
    return finishAction(services, m_options.admin ? u"started"_s : u"done"_s);
}

bool ZDCommandLine::confirmed(const QString &question)
{
    if (m_options.yes)
        return true;
    if (!isatty(STDIN_FILENO)) {
        m_err << "kestra: " << question << "\nkestra: not done: confirm with --yes when not at a terminal\n";
        m_err.flush();
        return false;
    }
    m_err << question << " [y/N] ";
    m_err.flush();
    QTextStream in(stdin);
    const QString answer = in.readLine(16).trimmed().toLower();
    return answer == "y"_L1 || answer == "yes"_L1;
}
