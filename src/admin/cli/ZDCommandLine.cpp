#include "ZDCommandLine.h"

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
#include "verbs/ZDCrashLogsCommand.h"
#include "verbs/ZDSecurityCommand.h"
#include "fleet/ZDDiscovery.h"
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
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <set>
#include <thread>

namespace {

using namespace Qt::StringLiterals;

constexpr double kListWaitSeconds = 3.0;
constexpr double kWorkWaitSeconds = 5.0;
constexpr double kMaxWaitSeconds = 600.0;
// What browsing gets to find the announced computers before an answer may go out.
constexpr int kBrowseWindowMs = 1000;
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
    return uR"(usage: kestra COMMAND [OPTIONS]
  list                         computers found and entered by hand, with their state
  call OP [ARG...]             run a remote method; arguments are JSON values (other text is a string)
  add NAME IP PORT             add a manual connection
  remove NAME                  remove a manual connection
  errors [--clear]             the error queue of the last runs
  tasks                        the tools of each computer and their tasks
  run TOOL TASK [OPTION...]    run a tool's task (TOOL: bundle identifier or name)
  crashlogs [--since DATE | remove HOST FILE | explain HOST FILE]
                               crash logs of the computers (new ones fetched) with statistics
  enroll-token [MINUTES]       a one-time token enrolling this console on agents (KestraClient -enroll)
  trust HOST [FINGERPRINT]     accept the key a computer's agent shows now (after it changed)
  pair HOST                    pair with a computer whose root opened a window (KestraClient -pair)
  plugins [sync [--from HOST] | enable [NAME] | disable [NAME] | access all|user [NAME]]
                               the plug-ins of the computers merged, or brought into line;
                               sync copies plug-ins only from HOST, showing each copy's SHA-256
  schedules [add TOOL TASK TYPE [VALUE] | remove NAME | enable|disable [NAME [HOST]] | sync]
                               scheduled tasks merged across the computers, or brought into line
  apps [open|quit|forcequit ID...]
                               editing applications and the maker's tools: installed, running, version
  clean PRESET|ID...           the cleaning tool's tasks (preset 0 or 1, or task identifiers)
  remove-group GROUP...|preset N
                               the removal tool on component groups (number or title; --admin for rights)
  caches KEY...                the cache tool on cache keys, progress per key and computer (--admin)
  repair TOOL TASK             a repair tool (Ondrel, Ketril, Moravel, Mendo) with rights, its results
  render [pause|resume|cancel HOST:CLUSTER:JOB... | sharing on|off|reset]
                               the computers' render jobs, acted on, or their sharing
  updates [install [PRODUCT...]]
                               available software updates merged by product, or installed (--admin)
  sysinfo                      each computer's hardware and system summary
  diff --working H,... --failing H,...
                               what all failing computers share and no working one has
  prefs [list | backup NAME [KEY...] | restore HOST:NAME | trash KEY... | lock KEY... | unlock KEY...]
                               preference backups, and the kinds of preference files by key
  paths [list | set KEY PATH | reset KEY | reset-all | sync --from HOST [--yes]]
                               application paths per computer, set, reset or copied from one computer
options:
  --hosts H,...                only these computers (name or host name)
  --wait SECONDS               longest wait for discovery and connecting (list: 3, others: 5);
                               over once every computer known answered or failed
                               (list waits it out while browsing)
  --json                       answers as JSON (host name -> result)
  --no-browse                  only the manual connections
  --admin                      run with administrator rights (asks for credentials)
  --same-for-all               use the first credentials for every computer
  --keep-password              keep passwords in the keychain
  --settings FILE              the console's settings file
  -h, --help                   this text
  --version                    the program's version
)"_s;
}

QString ZDCommandLine::version()
{
    return u"kestra %1 (%2)"_s.arg(QStringLiteral(KESTRA_VERSION), QStringLiteral(KESTRA_BUNDLE_VERSION));
}

bool ZDCommandLine::parse(QString *error)
{
    const QStringList args = m_arguments.mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        const auto value = [&](QString *out) {
            if (i + 1 >= args.size()) {
                *error = u"%1 needs a value"_s.arg(a);
                return false;
            }
            *out = args[++i];
            return true;
        };
        QString v;
        if (a == "--hosts"_L1) {
            if (!value(&v))
                return false;
            for (const QString &h : v.split(u',', Qt::SkipEmptyParts))
                m_options.hosts << h.trimmed();
        } else if (a == "--wait"_L1) {
            if (!value(&v))
                return false;
            bool ok = false;
            m_options.waitSeconds = v.toDouble(&ok);
            if (!ok || m_options.waitSeconds < 0 || m_options.waitSeconds > kMaxWaitSeconds) {
                *error = u"--wait takes a number of seconds from 0 to %1"_s.arg(kMaxWaitSeconds);
                return false;
            }
        } else if (a == "--from"_L1) {
            if (!value(&m_options.from))
                return false;
        } else if (a == "--yes"_L1) {
            m_options.yes = true;
        } else if (a == "--working"_L1 || a == "--failing"_L1) {
            if (!value(&v))
                return false;
            for (const QString &h : v.split(u',', Qt::SkipEmptyParts))
                (a == "--working"_L1 ? m_options.working : m_options.failing) << h.trimmed();
        } else if (a == "--since"_L1) {
            if (!value(&m_options.since))
                return false;
        } else if (a == "--settings"_L1) {
            if (!value(&m_options.settingsPath))
                return false;
        } else if (a == "--json"_L1) {
            m_options.json = true;
        } else if (a == "--no-browse"_L1) {
            m_options.browse = false;
        } else if (a == "--clear"_L1) {
            m_options.clear = true;
        } else if (a == "--admin"_L1) {
            m_options.admin = true;
        } else if (a == "--same-for-all"_L1) {
            m_options.sameForAll = true;
        } else if (a == "--keep-password"_L1) {
            m_options.keepPassword = true;
        } else if (a == "--help"_L1 || a == "-h"_L1) {
            m_options.help = true;
        } else if (a == "--version"_L1) {
            m_options.version = true;
        } else if (a == "--"_L1) {
            m_options.positional << args.mid(i + 1);
            break;
        } else if (a.startsWith("--"_L1)) {
            *error = u"unknown option %1"_s.arg(a);
            return false;
        } else if (m_options.command.isEmpty()) {
            m_options.command = a;
        } else {
            m_options.positional << a;
        }
    }
    if (m_options.command.isEmpty() && !m_options.help && !m_options.version) {
        *error = u"no command"_s;
        return false;
    }
    if (m_options.settingsPath.isEmpty())
        m_options.settingsPath = ZDAdminSettings::defaultPath();
    return true;
}

int ZDCommandLine::run()
{
    QString error;
    if (!parse(&error)) {
        m_err << "kestra: " << error << "\n" << usage();
        m_err.flush();
        return Usage;
    }
    if (m_options.help || m_options.version) {
        m_out << (m_options.help ? usage() : version() + u'\n');
        m_out.flush();
        return Success;
    }
    m_errorCallback = std::make_shared<ZDErrorCallback>();
    m_errorCallback->setSettingsPath(m_options.settingsPath);
    const QString &c = m_options.command;
    int rc = Usage;
    if (c == "list"_L1)
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
        rc = ZDSecurityCommand::trust(m_options.positional, [this](const QString &host) {
            m_options.hosts = {host};
            startDiscovery(m_options.browse ? Discovery::BrowseAndManual : Discovery::Manual);
            waitForComputers(kListWaitSeconds, false);
            QStringList missing;
            return selectedServices(&missing);
        }, m_out, m_err);
    else if (c == "pair"_L1)
        rc = ZDSecurityCommand::pair(m_options.positional, [this](const QString &host) {
            m_options.hosts = {host};
            startDiscovery(m_options.browse ? Discovery::BrowseAndManual : Discovery::Manual);
            waitForComputers(kListWaitSeconds, false);
            QStringList missing;
            return selectedServices(&missing);
        }, m_out, m_err);
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
        m_err << "kestra: unknown command " << c << "\n" << usage();
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
    if (service->name() == host)
        return true;
    // "host1" names "host1.local." as well.
    if (!service->hostName().isEmpty() && (ZDCliOutput::dotless(service->hostName()) == ZDCliOutput::dotless(host) ||
                                           ZDCliOutput::dotless(service->hostName()) == ZDCliOutput::dotless(host) + u".local"_s))
        return true;
    return service->isManual() && u"%1:%2"_s.arg(service->manualIP()).arg(service->port()) == host;
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
    const auto done = [&] {
        if (untilDeadline)
            return false;
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
    if (!browseWindowOver) {
        QTimer::singleShot(std::min(kBrowseWindowMs, int(seconds * 1000)), &watcher, [&] {
            browseWindowOver = true;
            check();
        });
    }
    QTimer::singleShot(int(seconds * 1000), &watcher, [&] { loop.quit(); });
    if (!done())
        loop.exec();
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
    if (services.isEmpty() && missing.isEmpty())
        m_err << "kestra: no computers\n";
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
    for (const QVariant &v : m_errorCallback->errorQueue()) {
        const QVariantMap entry = v.toMap();
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
    for (auto it = m_failures.cbegin(); it != m_failures.cend(); ++it)
        m_err << "kestra: " << ZDCliOutput::terminalText(ZDCliOutput::dotless(it.key()) + u": "_s + it.value()) << "\n";
    return m_failures.isEmpty() ? Success : Failed;
}

// ---- commands --------------------------------------------------------------------

int ZDCommandLine::list()
{
    startDiscovery(m_options.browse ? Discovery::BrowseAndManual : Discovery::Manual);
    waitForComputers(kListWaitSeconds, m_options.browse);
    QStringList missing;
    const ZDDispatcher::ServiceList services = selectedServices(&missing);
    if (m_options.json) {
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
        m_err << "kestra: call needs an operation\n" << usage();
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
        m_out << ZDCliOutput::prettyJson(shown);
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
    startDiscovery(Discovery::StoredOnly);
    QString title, text;
    const QStringList &p = m_options.positional;
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
    QList<QStringList> rows{{u"HOST"_s, u"TOOL"_s, u"BUNDLE"_s, u"TASK"_s, u"DESCRIPTION"_s}};
    for (auto it = results.cbegin(); it != results.cend(); ++it) {
        QVariantList tools;
        for (const QVariant &t : it.value().toList()) {
            QVariantMap tool = t.toMap();
            tool.remove(u"icon"_s);
            tools << tool;
            for (const QVariant &task : tool.value(u"tasks"_s).toList()) {
                const QVariantMap tm = task.toMap();
                rows << QStringList{ZDCliOutput::dotless(it.key()), tool.value(u"name"_s).toString(),
                                    tool.value(u"bundleid"_s).toString(),
                                    tm.contains(u"id"_s) ? tm.value(u"id"_s).toString() : u"(old form)"_s,
                                    tm.value(u"description"_s).toString().simplified()};
            }
        }
        shown.insert(it.key(), tools);
    }
    if (m_options.json)
        m_out << ZDCliOutput::prettyJson(shown);
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
    const ZDDispatcher::ServiceList services = computersForWork();
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
    {
        std::lock_guard lock(m_failuresMutex);
        for (const ZDServicePtr &s : services)
            if (!m_failures.contains(hostOf(s)))
                m_out << ZDCliOutput::terminalText(ZDCliOutput::dotless(hostOf(s))) << ": " << (m_options.admin ? "started" : "done")
                      << "\n";
    }
    m_out.flush();
    return finish(services);
}

bool ZDCommandLine::confirmed(const char *question)
{
    if (m_options.yes)
        return true;
    m_err << question << " [y/N] ";
    m_err.flush();
    QTextStream in(stdin);
    const QString answer = in.readLine(16).trimmed().toLower();
    return answer == "y"_L1 || answer == "yes"_L1;
}
