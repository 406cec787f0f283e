// The console's callback object as agents reach it: a fake agent on loopback holds
// it by reference and calls every operation; hostile arguments, the duplicate rule
// (on an injected clock), per-computer removal, wrong credentials against the real
// keyring, the per-run answer record, and uploads to a local HTTP server. Also the console's
// merge rules over per-computer answers and its panel refresh; the dispatcher against agents running as
// processes.
#include "dispatch/ZDAggregation.h"
#include "dispatch/ZDAutoRefresh.h"
#include "dispatch/ZDCallback.h"
#include "link/ZDConnectionServer.h"
#include "dispatch/ZDCredentialPrompt.h"
#include "dispatch/ZDCredentialStore.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "ZDFakeComputers.h"
#include "rights/ZDKeychain.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteError.h"
#include "fleet/ZDService.h"
#include "ZDTestHttpServer.h"
#include "ZDTestSandbox.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const QString kHost1 = QStringLiteral("edit-1.local.");
const QString kHost2 = QStringLiteral("edit-2.local.");
const QString kHost3 = QStringLiteral("edit-3.local.");

QString op(const char *name)
{
    return QString::fromLatin1(name);
}

QVariant orvError(qint64 code, const QVariantMap &userInfo = {})
{
    return QVariant::fromValue(ZDRemoteError(QStringLiteral("orvDomain"), code, userInfo));
}


// One dictionary per value under "k"; an invalid QVariant leaves the key out.
QVariantList column(const QVariantList &values, const QString &key = QStringLiteral("k"))
{
    QVariantList out;
    for (const QVariant &v : values)
        out << (v.isValid() ? QVariant(QVariantMap({{key, v}})) : QVariant(QVariantMap()));
    return out;
}

const QVariant various = QStringLiteral("(various)");
const QVariant minusOne = qint64(-1);


const QString kUser = QStringLiteral("fleetadmin");
const QString kPassword = QStringLiteral("Pw 'x' $(id) Zq7");
const QString kTask = QStringLiteral("clean");
const QString kTool = QStringLiteral("com.zendrel.faketool");
const QString kInstall = QStringLiteral("installZendrelNuvell:settings:");

// Answers from a script; remembers what it was asked.
class ScriptedPrompt : public ZDCredentialPrompt
{
public:
    Answer ask(const Request &request) override
    {
        std::lock_guard lock(mutex);
        requests.push_back(request);
        if (answers.empty())
            return Answer{Result::Cancel, {}, {}, false, false};
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }
    void push(Result result, const QString &password = kPassword, bool all = false, bool keep = false)
    {
        std::lock_guard lock(mutex);
        answers.push_back(Answer{result, kUser, password, all, keep});
    }
    int asked()
    {
        std::lock_guard lock(mutex);
        return int(requests.size());
    }
    Request last()
    {
        std::lock_guard lock(mutex);
        return requests.back();
    }
    void reset()
    {
        std::lock_guard lock(mutex);
        requests.clear();
        answers.clear();
    }
    std::mutex mutex;
    std::deque<Answer> answers;
    std::vector<Request> requests;
};

} // namespace

class TestZDErrorCallback : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_box;
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::shared_ptr<ZDErrorCallback> m_errorCallback;
    zdtest::FakeComputers m_computers;
    std::vector<ZDFakeTaskAgent> &m_agents = m_computers.agents;
    QList<ZDServicePtr> &m_services = m_computers.services;
    std::unique_ptr<ZDDispatcher> m_dispatcher;
    std::shared_ptr<ScriptedPrompt> m_prompt;
    QString m_passwordFile;
    QStringList callsOf(int i) const { return m_computers.callsOf(i); }
    QString m_settings;
    std::unique_ptr<ZDErrorCallback> m_callback;
    std::atomic<qint64> m_now{1700000000};
    // The fake agent and the callbacks it was handed.
    std::unique_ptr<ZDConnectionServer> m_agent;
    std::mutex m_mutex;
    QList<ZDRemoteProxyPtr> m_received;
    // The console's side of the link lives on a thread of its own, as a computer's does.
    std::unique_ptr<QThread> m_consoleThread;
    std::unique_ptr<QObject> m_consoleContext;
    std::shared_ptr<ZDConnection> m_link;
    ZDRemoteProxyPtr m_console;
    void onConsoleThread(const std::function<void()> &f)
    {
        QMetaObject::invokeMethod(m_consoleContext.get(), f, Qt::BlockingQueuedConnection);
    }
    // The console hands an object to the agent by reference; the agent's proxy for it.
    ZDRemoteProxyPtr handToAgent(const ZDRemoteObjectPtr &object)
    {
        const qsizetype before = m_received.size();
        onConsoleThread([&] { m_link->rootProxy()->call(op(ZDOrv::kSetErrorCallback), {QVariant::fromValue(object)}); });
        std::lock_guard lock(m_mutex);
        return m_received.size() > before ? m_received.last() : nullptr;
    }
    // Oneway as agents send, then a round trip so that everything before it has run.
    void send(const char *name, const QVariantList &args = {})
    {
        m_console->callOneway(op(name), args);
        m_console->call(op(ZDOrv::kPing));
    }
    void writeSettings(const QString &key, const QVariant &value)
    {
        QSettings settings(m_settings, QSettings::IniFormat);
        settings.setValue(key, value);
        settings.sync();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zderrorcallback"));
        // One console thread for the whole run: a link may let go of its objects on
        // that thread a little after the link itself is gone.
        m_consoleThread = std::make_unique<QThread>();
        m_consoleContext = std::make_unique<QObject>();
        m_consoleContext->moveToThread(m_consoleThread.get());
        m_consoleThread->start();
        QString reason;
        QVERIFY2(ZDKeychain::isAvailable(&reason), qPrintable(QStringLiteral("Secret Service needed: ") + reason));
        m_passwordFile = m_sandbox->path(QStringLiteral("agent-password"));
        QVERIFY(ZDTestSandbox::writeFile(m_passwordFile, kPassword.toUtf8()));
        m_errorCallback = std::make_shared<ZDErrorCallback>();
        QVERIFY(m_computers.start(QStringLiteral("dispatch"), 3, kUser, m_passwordFile, m_errorCallback));
        m_dispatcher = std::make_unique<ZDDispatcher>([this] { return m_services; });
        m_dispatcher->setErrorCallback(m_errorCallback.get(), false);
        m_prompt = std::make_shared<ScriptedPrompt>();
        m_dispatcher->setCredentialPrompt(m_prompt);
    }
    void cleanupTestCase()
    {
        onConsoleThread([] { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); });
        m_consoleThread->quit();
        m_consoleThread->wait();
        m_consoleContext.reset();
        m_consoleThread.reset();
        m_dispatcher.reset();
        for (const ZDServicePtr &s : std::as_const(m_services))
            s->invalidate(false);
        m_services.clear();
        m_agents.clear();
        ZDKeychain::deleteAllKeychainItems(QString::fromLatin1(ZDCredentialStore::kKeychainName),
                                           QString::fromLatin1(ZDCredentialStore::kKeychainKind));
        // No password ever reaches the log.
        ZDLog::finishWriting();
        QDirIterator it(ZDLog::logFolder(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            QVERIFY(!ZDTestSandbox::readFile(it.next()).contains(kPassword.toUtf8()));
    }
    void init()
    {
        m_box = std::make_unique<ZDTestSandbox>();
        m_now = 1700000000;
        m_settings = m_box->path(QStringLiteral("KestraAdmin.ini"));
        m_callback = std::make_unique<ZDErrorCallback>();
        m_callback->setSettingsPath(m_settings);
        m_callback->setClock([this] { return QDateTime::fromSecsSinceEpoch(m_now.load(), Qt::UTC); });
        auto root = ZDRemoteObject::create();
        root->addOperation(op(ZDOrv::kSetErrorCallback), [this](const QVariantList &args) {
            std::lock_guard lock(m_mutex);
            m_received << ZDRemoteProxy::fromVariant(args[0]);
            return QVariant();
        });
        m_agent = std::make_unique<ZDConnectionServer>();
        m_agent->setRootObject(root);
        QVERIFY(m_agent->listen(QStringLiteral("127.0.0.1"), 0));
        onConsoleThread([this] { m_link = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), m_agent->port()); });
        QVERIFY(m_link);
        m_console = handToAgent(m_callback->remoteObject());
        QVERIFY(m_console);
        m_prompt->reset();
        m_dispatcher->credentialStore().clear();
        m_dispatcher->setSelectionProvider(nullptr);
        for (const ZDServicePtr &s : std::as_const(m_services)) {
            s->setErrorCode(0);
            s->setEnabled(true);
        }
    }
    void cleanup()
    {
        m_console.reset();
        m_received.clear();
        const std::weak_ptr<ZDConnection> link = m_link;
        onConsoleThread([this] {
            if (m_link)
                m_link->invalidate();
            m_link.reset();
        });
        // The link's reader may hold it a moment longer.
        QTRY_VERIFY_WITH_TIMEOUT(link.expired(), 10000);
        m_agent.reset();
        m_callback.reset();
        m_box.reset();
    }
    void everyOperationArrives()
    {
        QSignalSpy changed(m_callback.get(), &ZDErrorCallback::errorQueueChanged);
        QSignalSpy progress(m_callback.get(), &ZDErrorCallback::progressIncremented);
        QSignalSpy finished(m_callback.get(), &ZDErrorCallback::taskFinished);
        QSignalSpy config(m_callback.get(), &ZDErrorCallback::updateConfig);
        QSignalSpy leaving(m_callback.get(), &ZDErrorCallback::willDisconnect);
        QSignalSpy request(m_callback.get(), &ZDErrorCallback::requestMaintenance);
        QSignalSpy cancel(m_callback.get(), &ZDErrorCallback::cancelMaintenance);
        QSignalSpy logs(m_callback.get(), &ZDErrorCallback::crashLogsAdded);
        QSignalSpy updates(m_callback.get(), &ZDErrorCallback::nuvellCount);
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(2006), kHost1});
        send(ZDOrv::kAddErrorToQueueUserInfo,
             {orvError(1002, {{QStringLiteral("info"), QStringLiteral("Motion")}}),
              QVariantMap{{QStringLiteral("hostname"), kHost2}, {QStringLiteral("appName"), QStringLiteral("Motion")}}});
        send(ZDOrv::kAddStringToQueueHostname, {QStringLiteral("Disk full"), kHost1});
        // A tool's error without any text still makes an entry.
        send(ZDOrv::kAddStringToQueueUserInfo, {QVariant(), QVariantMap{{QStringLiteral("hostname"), kHost3}}});
        send(ZDOrv::kIncrementProgress);
        send(ZDOrv::kIncrementProgress);
        send(ZDOrv::kTaskFinished);
        send(ZDOrv::kUpdateConfig, {kHost1});
        send(ZDOrv::kWillDisconnect, {kHost2});
        send(ZDOrv::kRequestMaintenance, {kHost3});
        send(ZDOrv::kCancelMaintenance, {kHost3});
        const QVariantList crashLogs{QVariantMap{{QStringLiteral("path"), QStringLiteral("/x.crash")}}};
        send(ZDOrv::kQuellarAddLogsHostName, {crashLogs, kHost1});
        send(ZDOrv::kSetNuvellCountHostname, {qint64(3), kHost2});
        send(ZDOrv::kCancelProcessing);
        QTRY_COMPARE(updates.size(), 1);
        QCOMPARE(progress.size(), 2);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(config.value(0), QVariantList{kHost1});
        QCOMPARE(leaving.value(0), QVariantList{kHost2});
        QCOMPARE(request.value(0), QVariantList{kHost3});
        QCOMPARE(cancel.value(0), QVariantList{kHost3});
        QCOMPARE(logs.value(0), (QVariantList{crashLogs, kHost1}));
        QCOMPARE(updates.value(0), (QVariantList{qint64(3), kHost2}));
        QCOMPARE(changed.size(), 4);
        // Newest first; error entries carry code and action, text entries do not.
        const QVariantList queue = m_callback->errorQueue();
        QCOMPARE(queue.size(), 4);
        const QVariantMap text = queue[0].toMap();
        QCOMPARE(text.value("hostname"), QVariant(kHost3));
        QCOMPARE(text.value("description"), QVariant(QString()));
        QVERIFY(!text.contains("errorcode") && !text.contains("actionType") && !text.contains("appName"));
        QCOMPARE(queue[1].toMap().value("description"), QVariant("Disk full"));
        const QVariantMap app = queue[2].toMap();
        QCOMPARE(app.value("description"), QVariant("Application Motion is outdated. Please update this application."));
        QCOMPARE(app.value("appName"), QVariant("Motion"));
        QCOMPARE(app.value("errorcode").toLongLong(), 1002);
        QCOMPARE(app.value("actionType"), QVariant(1));
        const QVariantMap outdated = queue[3].toMap();
        QCOMPARE(outdated.value("errorcode").toLongLong(), 2006);
        QCOMPARE(outdated.value("date").toDateTime(), QDateTime::fromSecsSinceEpoch(m_now, Qt::UTC));
        QCOMPARE(ZDErrorCallback::errorButtonTitle(m_callback->errorCount()), QStringLiteral("4 errors"));
    }
    void hostileArgumentsAreRefused()
    {
        QSignalSpy any(m_callback.get(), &ZDErrorCallback::errorQueueChanged);
        QSignalSpy updates(m_callback.get(), &ZDErrorCallback::nuvellCount);
        QSignalSpy logs(m_callback.get(), &ZDErrorCallback::crashLogsAdded);
        QSignalSpy config(m_callback.get(), &ZDErrorCallback::updateConfig);
        const QVariantMap noHost{{QStringLiteral("appName"), QStringLiteral("Motion")}};
        const QList<std::pair<const char *, QVariantList>> bad{
            {ZDOrv::kAddErrorToQueueHostname, {orvError(2006), QString()}},
            {ZDOrv::kAddErrorToQueueUserInfo, {orvError(2006), noHost}},
            {ZDOrv::kAddStringToQueueUserInfo,
             {QStringLiteral("x"), QVariantMap{{QStringLiteral("hostname"), kHost1}, {QStringLiteral("appName"), 7}}}},
            {ZDOrv::kSetNuvellCountHostname, {2.5, kHost1}},
            {ZDOrv::kQuellarAddLogsHostName, {QVariantList{1, 2}, kHost1}},
        };
        for (const auto &[name, args] : bad)
            send(name, args);
        // Wrong kinds, counts, nesting and lengths of every operation: the contract test. Values of
        // the right kind that make no sense are refused here; unknown operations fail the caller.
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, m_console->call(QStringLiteral("removeAllFiles:"), {kHost1}));
        QCOMPARE(m_callback->errorCount(), 0);
        // The link survived: a good report still arrives, after the bad ones.
        send(ZDOrv::kUpdateConfig, {kHost1});
        QTRY_COMPARE(config.size(), 1);
        QCOMPARE(any.size(), 0);
        QCOMPARE(updates.size(), 0);
        QCOMPARE(logs.size(), 0);
        // Long texts are cut, not refused.
        send(ZDOrv::kAddStringToQueueHostname, {QString(100000, QLatin1Char('x')), kHost1});
        QCOMPARE(m_callback->errorQueue().value(0).toMap().value("description").toString().size(),
                 ZDErrorCallback::kMaxTextLength);
    }
    void duplicatesWithinTwoMinutes()
    {
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(2006), kHost1});
        m_now += 60;
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(2006), kHost1});
        QCOMPARE(m_callback->errorCount(), 1);
        m_now += 70; // 130 s after the first
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(2006), kHost1});
        QCOMPARE(m_callback->errorCount(), 2);
        // Only the two newest entries are compared: a match in third place comes again.
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(2007), kHost2});
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(2007), kHost3});
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(2006), kHost1});
        QCOMPARE(m_callback->errorCount(), 5);
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(2007), kHost3}); // second newest now
        QCOMPARE(m_callback->errorCount(), 5);
        // With user information the application must match too; texts match by description.
        const auto withApp = [](const QString &host, const QString &app) {
            return QVariantMap{{QStringLiteral("hostname"), host}, {QStringLiteral("appName"), app}};
        };
        m_callback->clearErrorQueue();
        send(ZDOrv::kAddErrorToQueueUserInfo, {orvError(1000), withApp(kHost1, QStringLiteral("Motion"))});
        send(ZDOrv::kAddErrorToQueueUserInfo, {orvError(1000), withApp(kHost1, QStringLiteral("Compressor"))});
        send(ZDOrv::kAddErrorToQueueUserInfo, {orvError(1000), withApp(kHost1, QStringLiteral("Motion"))});
        QCOMPARE(m_callback->errorCount(), 2);
        send(ZDOrv::kAddStringToQueueHostname, {QStringLiteral("Disk full"), kHost1});
        send(ZDOrv::kAddStringToQueueHostname, {QStringLiteral("Disk full"), kHost1});
        send(ZDOrv::kAddStringToQueueHostname, {QStringLiteral("Disk full"), kHost2});
        send(ZDOrv::kAddStringToQueueUserInfo, {QStringLiteral("Disk full"), withApp(kHost2, QStringLiteral("Motion"))});
        QCOMPARE(m_callback->errorCount(), 5);
        // A foreign domain keeps its own text; its action follows the code alone.
        m_callback->addErrorToQueue(
            ZDRemoteError(QStringLiteral("NSPOSIXErrorDomain"), 2001,
                          {{QStringLiteral("NSLocalizedDescription"), QStringLiteral("No such file")}}),
            kHost3);
        const QVariantMap foreign = m_callback->errorQueue().value(0).toMap();
        QCOMPARE(foreign.value("description"), QVariant("No such file"));
        QCOMPARE(foreign.value("actionType"), QVariant(1));
        QCOMPARE(m_callback->indexOfError(2001, kHost3), 0);
        QCOMPARE(m_callback->indexOfError(2001, kHost1), -1);
    }
    void removalPerComputerAndText()
    {
        m_callback->addErrorToQueue(ZDRemoteError(QStringLiteral("orvDomain"), 2008), kHost1);
        m_callback->addStringToQueue(QStringLiteral("Disk full"), kHost2);
        m_now += 1;
        m_callback->addErrorToQueue(ZDRemoteError(QStringLiteral("orvDomain"), 1005), kHost1);
        QVERIFY(m_callback->postLocalError({{QStringLiteral("errorcode"), 2001}, {QStringLiteral("hostname"), kHost3}}));
        QVERIFY(!m_callback->postLocalError({{QStringLiteral("errorcode"), 0}, {QStringLiteral("hostname"), kHost3}}));
        QCOMPARE(m_callback->errorCount(), 4);
        const QString date0 = QStringLiteral("2023-11-14 22:13:20 +0000");
        const QString date1 = QStringLiteral("2023-11-14 22:13:21 +0000");
        QCOMPARE(m_callback->stringRepresentation(),
                 kHost3 + " - " + date1 + " - " + ZDErrorCallback::descriptionForCode(2001) + "\n" + kHost1 + " - "
                     + date1 + " - " + ZDErrorCallback::descriptionForCode(1005) + "\n" + kHost2 + " - " + date0
                     + " - Disk full\n" + kHost1 + " - " + date0 + " - "
                     + "Connection timed out. Please make sure that you have the latest version of the client "
                       "software.\n");
        QSignalSpy changed(m_callback.get(), &ZDErrorCallback::errorQueueChanged);
        m_callback->removeErrorsForHost(kHost1);
        QCOMPARE(m_callback->errorCount(), 2);
        for (const QVariant &e : m_callback->errorQueue())
            QVERIFY(e.toMap().value("hostname") != kHost1);
        QVERIFY(changed.wait(5000));
        QCOMPARE(m_callback->errorToHighlight(2008, kHost1, false), -1); // highlighting re-queues it, once:
        QCOMPARE(m_callback->errorToHighlight(2008, kHost1, true) + m_callback->errorToHighlight(2008, kHost1, true), 0);
        QCOMPARE(m_callback->errorCount(), 3);
        m_callback->clearErrorQueue();
        QCOMPARE(m_callback->errorCount(), 0);
        QCOMPARE(ZDErrorCallback::errorButtonTitle(0), QString());
        QCOMPARE(ZDErrorCallback::errorButtonTitle(1), QStringLiteral("1 error"));
    }
    void receiverGoneWhileAgentsHoldIt()
    {
        send(ZDOrv::kAddStringToQueueHostname, {QStringLiteral("before"), kHost1});
        m_callback.reset();
        // The link still holds the object: calls are accepted and do nothing.
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(2006), kHost1});
        send(ZDOrv::kUpdateConfig, {kHost1});
        QCOMPARE(m_console->call(op(ZDOrv::kPing)), QVariant());
    }
    void concurrentReporters()
    {
        // Computers report on their own connection threads at the same time.
        constexpr int kThreads = 4;
        constexpr int kEach = 50;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([this, t] {
                for (int i = 0; i < kEach; ++i)
                    m_callback->addStringToQueue(QStringLiteral("%1/%2").arg(t).arg(i), QStringLiteral("host-%1.local.").arg(t));
            });
        }
        for (auto &thread : threads)
            thread.join();
        QCOMPARE(m_callback->errorCount(), kThreads * kEach);
        m_callback->removeErrorsForHost(QStringLiteral("host-2.local."));
        QCOMPARE(m_callback->errorCount(), (kThreads - 1) * kEach);
    }
    void queueIsBounded()
    {
        for (int i = 0; i < ZDErrorCallback::kMaxQueueLength + 20; ++i)
            m_callback->addStringToQueue(QString::number(i), kHost1);
        const QVariantList queue = m_callback->errorQueue();
        QCOMPARE(queue.size(), ZDErrorCallback::kMaxQueueLength);
        QCOMPARE(queue.first().toMap().value("description"), QVariant(QString::number(ZDErrorCallback::kMaxQueueLength + 19)));
        QCOMPARE(queue.last().toMap().value("description"), QVariant(QStringLiteral("20")));
    }
    void wrongCredentialsRemoveStoredPassword()
    {
        QString reason;
        QVERIFY2(ZDKeychain::isAvailable(&reason), qPrintable(QStringLiteral("Secret Service needed: ") + reason));
        const QString name = QStringLiteral("Kestra Admin");
        const QString kind = QStringLiteral("Host password");
        const QString user = QStringLiteral("redakteur-ä");
        // Names of this run only: the keyring is shared with anything else running.
        const QString run = QUuid::createUuid().toString(QUuid::WithoutBraces);
        const QString host1 = QStringLiteral("edit-1-%1.local.").arg(run);
        const QString host2 = QStringLiteral("edit-2-%1.local.").arg(run);
        const QString host3 = QStringLiteral("edit-3-%1.local.").arg(run);
        writeSettings(QStringLiteral("users"), QVariantMap{{host1, user}, {host2, user}});
        QVERIFY(ZDKeychain::addKeychainItem(name, kind, user, QStringLiteral("pw1"), host1));
        QVERIFY(ZDKeychain::addKeychainItem(name, kind, user, QStringLiteral("pw2"), host2));
        QSignalSpy rejected(m_callback.get(), &ZDErrorCallback::credentialsRejected);
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(1006), host1});
        QVERIFY(rejected.wait(10000));
        QCOMPARE(rejected.value(0), QVariantList{host1});
        QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(name, kind, user, host1));
        QCOMPARE(ZDKeychain::getPasswordFromKeychainItem(name, kind, user, host2), QStringLiteral("pw2"));
        QCOMPARE(m_callback->errorQueue().value(0).toMap().value("description"),
                 QVariant("Incorrect username or password."));
        // From the console's own thread the keyring is asked off that thread; same result.
        m_callback->addErrorToQueue(ZDRemoteError(QStringLiteral("orvDomain"), 1006),
                                    QVariantMap{{QStringLiteral("hostname"), host2}});
        QVERIFY(rejected.wait(10000));
        QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(name, kind, user, host2));
        // A host without a remembered user: nothing to delete, still reported.
        send(ZDOrv::kAddErrorToQueueHostname, {orvError(1006), host3});
        QVERIFY(rejected.wait(10000));
        QCOMPARE(rejected.size(), 3);
    }
    void answerRecordByReference()
    {
        ZDCallback callback(QStringLiteral("zdOndrelScanFinished"), kHost1);
        const ZDRemoteProxyPtr agentSide = handToAgent(callback.remoteObject());
        QVERIFY(agentSide);
        QSignalSpy posted(&callback, &ZDCallback::objectDidPostCallback);
        agentSide->callOneway(op(ZDOrv::kPostCallback), {QVariantList{1}});
        agentSide->callOneway(op(ZDOrv::kPostCallback), {QVariantMap{{QStringLiteral("output"), 42}}});
        agentSide->callOneway(op(ZDOrv::kPostCallback),
                              {QVariantMap{{QStringLiteral("output"), QStringLiteral("ERROR: UNABLE TO AUTHORIZE")}}});
        QVERIFY(posted.wait(10000));
        QCOMPARE(posted.size(), 1);
        QCOMPARE(callback.output(), QStringLiteral("ERROR: UNABLE TO AUTHORIZE"));
        QVERIFY(callback.reportsRefusedAuthorization());
        QVERIFY(ZDCallback::reportsRefusedAuthorization(QStringLiteral("cannot Authorize user")));
        QVERIFY(!ZDCallback::reportsRefusedAuthorization(QStringLiteral("Scan complete, 0 problems.")));
        QCOMPARE(callback.name(), QStringLiteral("zdOndrelScanFinished"));
        QCOMPARE(callback.hostname(), kHost1);
    }
    void formData()
    {
        const QString file = m_box->path(QStringLiteral("crash log.txt"));
        QVERIFY(ZDTestSandbox::writeFile(file, QByteArray("\0bin\r\n", 6)));
        const ZDErrorCallback::FormFields fields{{QStringLiteral("version"), QStringLiteral("2.1 ü")},
                                                 {QStringLiteral("file"), QUrl::fromLocalFile(file)},
                                                 {QStringLiteral("count"), 3}};
        QCOMPARE(ZDErrorCallback::generateFormData(fields, QStringLiteral("B")),
                 QByteArray("--B\r\nContent-Disposition: form-data; name=\"version\"\r\n\r\n2.1 \xc3\xbc\r\n"
                            "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"crash log.txt\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\n")
                     + QByteArray("\0bin\r\n", 6)
                     + QByteArray("\r\n--B\r\nContent-Disposition: form-data; name=\"count\"\r\n\r\n3\r\n--B--\r\n"));
        // An unreadable file gives no body at all.
        QVERIFY(ZDErrorCallback::generateFormData({{QStringLiteral("f"), QUrl::fromLocalFile(file + "-gone")}},
                                                  QStringLiteral("B"))
                    .isEmpty());
    }
    void upload()
    {
        using R = ZDErrorCallback::UploadResult;
        // "OK" and a line break: the error log window's upload test.
        const struct { QByteArray status, answer; R result; } cases[] = {
            {"200 OK", "OK", R::Uploaded}, {"500 Internal Server Error", "OK", R::Rejected},
            {"200 OK", QByteArray(1 << 20, 'O'), R::Rejected}};
        for (const auto &[status, answer, result] : cases) {
            m_callback->clearErrorQueue();
            ZDTestHttpServer server;
            server.status = status;
            server.answer = answer;
            QVERIFY(server.listen(QHostAddress::LocalHost, 0));
            writeSettings(QLatin1String(ZDErrorCallback::kUploadServerSetting),
                          QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort()));
            QCOMPARE(m_callback->uploadUrl().path(), QLatin1String(ZDErrorCallback::kUploadPath));
            m_callback->setApplicationVersion(QStringLiteral("3.2"));
            QVERIFY(!m_callback->uploadErrorLog()); // nothing to send
            m_callback->addErrorToQueue(ZDRemoteError(QStringLiteral("orvDomain"), 2007), kHost1);
            const QString log = m_callback->stringRepresentation();
            QSignalSpy done(m_callback.get(), &ZDErrorCallback::uploadFinished);
            QVERIFY(m_callback->uploadErrorLog());
            QVERIFY(m_callback->isUploading());
            QVERIFY(!m_callback->uploadErrorLog()); // one at a time
            m_callback->addStringToQueue(QStringLiteral("arrived while sending"), kHost2);
            QVERIFY(done.wait(30000));
            QCOMPARE(done.value(0).value(0).value<R>(), result);
            QVERIFY(!m_callback->isUploading());
            QCOMPARE(server.requests, 1);
            QVERIFY(server.requestHead.startsWith("POST /appdata/orvelle/net_admin/uploadlog.php HTTP/1.1"));
            const QByteArray type = server.header("Content-Type");
            QVERIFY2(type.startsWith("multipart/form-data; boundary="), type.constData());
            const QString boundary = QString::fromUtf8(type.mid(30));
            QCOMPARE(server.requestBody,
                     ZDErrorCallback::generateFormData({{QStringLiteral("logData"), log}, {QStringLiteral("version"), "3.2"}},
                                                       boundary));
            // Only an accepted upload removes what it sent; a refused one keeps the reports.
            QCOMPARE(m_callback->errorCount(), result == R::Uploaded ? 1 : 2);
            QCOMPARE(m_callback->errorQueue().value(0).toMap().value("description"), QVariant("arrived while sending"));
        }
    }
    void uploadCancelledThenUnreachable()
    {
        // A server that takes the request and never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        writeSettings(QLatin1String(ZDErrorCallback::kUploadServerSetting),
                      QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()));
        m_callback->addStringToQueue(QStringLiteral("Disk full"), kHost1);
        QSignalSpy done(m_callback.get(), &ZDErrorCallback::uploadFinished);
        QSignalSpy accepted(&silent, &QTcpServer::newConnection);
        QVERIFY(m_callback->uploadErrorLog());
        QVERIFY(accepted.wait(10000));
        m_callback->cancelUpload();
        QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 10000);
        QCOMPARE(done.value(0).value(0).value<ZDErrorCallback::UploadResult>(), ZDErrorCallback::UploadResult::Cancelled);
        QVERIFY(!m_callback->isUploading());
        QCOMPARE(m_callback->errorCount(), 1);
        // The next upload may start; with the server gone it fails and keeps the reports.
        silent.close();
        QVERIFY(m_callback->uploadErrorLog());
        QVERIFY(done.wait(30000));
        QCOMPARE(done.value(1).value(0).value<ZDErrorCallback::UploadResult>(),
                 ZDErrorCallback::UploadResult::ConnectionFailed);
        QCOMPARE(m_callback->errorCount(), 1);
        // A server address that is not HTTP is refused before anything is sent.
        QVERIFY(!m_callback->postDictionary({{QStringLiteral("a"), 1}}, QUrl(QStringLiteral("file:///etc/passwd"))));
        QVERIFY(done.wait(5000));
        QCOMPARE(done.value(2).value(0).value<ZDErrorCallback::UploadResult>(),
                 ZDErrorCallback::UploadResult::ConnectionFailed);
        // Without the setting the maker's server is used.
        writeSettings(QLatin1String(ZDErrorCallback::kUploadServerSetting), QString());
        QCOMPARE(m_callback->uploadUrl(),
                 QUrl(QStringLiteral("https://www.zendrel.com/appdata/orvelle/net_admin/uploadlog.php")));
    }
    // The merge rules over per-computer answers, table by table: version order,
    // common values and their markers, ranges, status summaries, reference statistics
    // of failing computers, common items, majority values, and hostile shapes. And the panel
    // refresh: the timer refreshes only while the console is active, "autoRefresh" is on and
    // nothing processes; a new selection refreshes whatever the automatic setting says, once
    // the work that holds it back has ended.
    void compareVersions()
    {
        // Minor decides, missing parts are 0, a fourth is ignored, numeric not textual, non-numeric is 0,
        // leading digits count, empty is zero, huge saturates, negative.
        const struct { const char *a, *b; int expected; } cases[] = {
            {"10.4.11", "10.5", -1}, {"3.1", "3.1.0", 0}, {"1.2.0.9", "1.2", 0}, {"1.10", "1.9", 1}, {"1.beta", "1.0", 0},
            {"1.2b", "1.2", 0}, {"", "0.0.0", 0}, {"99999999999999999999999", "1", 1}, {"-1", "0", -1}};
        for (const auto &c : cases) {
            const QString a = QString::fromLatin1(c.a), b = QString::fromLatin1(c.b);
            QVERIFY2(ZDAggregation::compareVersionString(a, b) == c.expected, c.a);
            QVERIFY2(ZDAggregation::compareVersionString(b, a) == -c.expected, c.a);
        }
    }
    void aggregatedValue()
    {
        const QDateTime date = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
        const struct { const char *name; QVariantList values; QVariant expected; } cases[] = {
            {"texts differ", {"en", "en", "fr"}, various},
            {"same date", {date, date, date}, date},
            {"dates differ", {date, date.addSecs(1)}, QVariant()},
            {"integer equals double", {1, 1.0}, 1},
            {"later missing differs", {"en", QVariant()}, QVariant()},
            {"leading missing skipped", {QVariant(), "en", "en"}, "en"},
            {"later type decides", {1, "x"}, various},
            {"text then number", {"x", 3}, minusOne},
            {"case matters", {"En", "en"}, various},
            {"all missing", {QVariant(), QVariant()}, QVariant()}};
        for (const auto &c : cases) {
            const QVariant result = ZDAggregation::aggregatedValueForKey(QStringLiteral("k"), column(c.values));
            QVERIFY2(ZDAggregation::valuesEqual(result, c.expected) && result.isNull() == c.expected.isNull(), c.name);
        }
    }
    void aggregatedAppValue()
    {
        const auto app = [](const QVariant &v) {
            return QVariant(QVariantMap({{QStringLiteral("Motion"), QVariantMap({{QStringLiteral("k"), v}})}}));
        };
        const QString key = QStringLiteral("k");
        const QString motion = QStringLiteral("Motion");
        // One computer: its value as it is, even one a merge would not keep.
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, motion, {app(QVariantList{1})}), QVariant(QVariantList{1}));
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, motion, {app("a"), app("a"), app("b")}), various);
        QVERIFY(ZDAggregation::aggregatedValueForKey(key, motion, {app(QVariantList{}), app(QVariantMap{})}).isNull());
        // As numbers: texts and numbers of the same integer value agree.
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, motion, {app("12"), app(12.7), app(12)}, true),
                 QVariant(qint64(12)));
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, motion, {app("12"), app("13")}, true), minusOne);
        // Without an application the top level is read; a non-dictionary sub-value reads as missing.
        QCOMPARE(ZDAggregation::aggregatedValueForKey(key, QString(), column({"x", "x"})), QVariant("x"));
        QVERIFY(ZDAggregation::aggregatedValueForKey(
                    key, motion, {QVariantMap({{motion, "not a dictionary"}}), QVariantMap({{motion, 3}})})
                    .isNull());
    }
    void versionRangeAndAppStatus()
    {
        const struct { QVariantList versions; QVariant expected; } ranges[] = {
            {{"1.2", "1.10", "1.3"}, "1.2 - 1.10"},            // numeric order
            {{QVariant(), "3.0", QVariant(), "2.5"}, "2.5 - 3.0"}, // missing skipped
            {{5, "1.0", QVariantMap()}, "1.0"},                // non-text skipped
            {{QVariant(), 7}, QVariant()},
            {{"1.0", "1.0.0", "0.9"}, "0.9 - 1.0"}};           // the first of equals kept
        for (const auto &r : ranges)
            QCOMPARE(ZDAggregation::versionRangeInArray(column(r.versions, QStringLiteral("v")), QStringLiteral("v")),
                     r.expected);
        const auto app = [](const QVariant &installed, const QVariant &running) {
            return QVariant(QVariantMap({{QStringLiteral("installed"), installed}, {QStringLiteral("running"), running}}));
        };
        const struct { QVariantList apps; const char *expected; } statuses[] = {
            {{app(true, true), app(true, true), app(false, false)}, "Some running"},
            {{app(true, false), app(false, false)}, "Not running"},
            {{app(true, false), app(false, true)}, "Not running"}, // running but not installed: ignored
            {{app(1, 1)}, "Running"},                             // numbers as booleans
            {{"x", 3, app("yes", "yes")}, "Not installed"}};
        for (const auto &s : statuses)
            QCOMPARE(ZDAggregation::aggregatedAppDictStatus(s.apps), QVariant(QString::fromLatin1(s.expected)));
    }
    void commonOrHighestStats()
    {
        const auto stats = [](const QVariant &os, const QVariant &model) {
            return QVariant(QVariantMap({{QStringLiteral("os"), os}, {QStringLiteral("model"), model}, {QStringLiteral("ram"), 8}}));
        };
        const QString os = QStringLiteral("os");
        const QString model = QStringLiteral("model");
        // A higher version elsewhere drops the key; a lower one keeps the first value.
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({stats("7.0.2", "Mac"), stats("7.0.3", "Mac")}),
                 QVariant(QVariantMap({{model, "Mac"}})));
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({stats("7.0.2", "Mac"), stats("7.0.1", "Mac")}),
                 QVariant(QVariantMap({{os, "7.0.2"}, {model, "Mac"}})));
        // Plain texts must be equal; non-text values elsewhere do not count; non-text keys are dropped.
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({stats("7.0.2", "Mac"), stats(7, "PC")}),
                 QVariant(QVariantMap({{os, "7.0.2"}})));
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({stats("7.0.2", "Mac"), stats(QVariant(), QVariant()), "junk"}),
                 QVariant(QVariantMap({{os, "7.0.2"}, {model, "Mac"}})));
        QVERIFY(ZDAggregation::commonOrHighestStatsFromArray({}).isNull());
        QCOMPARE(ZDAggregation::commonOrHighestStatsFromArray({"not a dictionary"}), QVariant(QVariantMap()));
    }
    void commonItems()
    {
        const auto item = [](const QString &name, int computer) {
            return QVariant(QVariantMap({{QStringLiteral("name"), name}, {QStringLiteral("from"), computer}}));
        };
        const QString plugins = QStringLiteral("Plugins");
        const QVariantList computers{
            QVariantMap({{plugins, QVariantList{item("A", 1), item("B", 1), item("C", 1)}}}),
            QVariantMap({{plugins, QVariantList{item("C", 2), item("A", 2)}}}),
            // A dictionary of items counts by its values.
            QVariantMap({{plugins, QVariantMap({{"x", item("B", 3)}, {"y", item("A", 3)}})}}),
        };
        // Only A is everywhere; the first computer's entry is returned.
        QCOMPARE(ZDAggregation::commonItemsFromArray(computers, plugins), QVariant(QVariantList{item("A", 1)}));
        QCOMPARE(ZDAggregation::commonItemsFromArray(computers.mid(0, 2), plugins),
                 QVariant(QVariantList{item("A", 1), item("C", 1)}));
        // A computer without the list has nothing in common with the others.
        QCOMPARE(ZDAggregation::commonItemsFromArray({computers[0], QVariantMap()}, plugins), QVariant(QVariantList()));
        // Items without a name or that are no dictionaries never match.
        QCOMPARE(ZDAggregation::commonItemsFromArray({QVariantMap({{plugins, QVariantList{3, QVariantMap()}}}),
                                                      QVariantMap({{plugins, QVariantList{3, QVariantMap()}}})},
                                                     plugins),
                 QVariant(QVariantList()));
    }
    void commonValues()
    {
        const QVariantList tasks{
            QVariantMap({{"hour", 3}, {"day", "Mon"}, {"only", "first"}}),
            QVariantMap({{"hour", 4}, {"day", "Tue"}}),
            QVariantMap({{"hour", 4}, {"day", "Mon"}, {"extra", 1}}),
            QVariantMap({{"hour", 3}, {"day", "Tue"}}),
            QVariantMap({{"hour", 4}}),
        };
        // hour: 4 three times; day: a tie between Mon and Tue goes to the first met.
        QCOMPARE(ZDAggregation::commonValuesForDictArray(tasks),
                 QVariantMap({{"hour", 4}, {"day", "Mon"}, {"only", "first"}}));
        QCOMPARE(ZDAggregation::commonValuesForDictArray({}), QVariantMap());
        QCOMPARE(ZDAggregation::commonValuesForDictArray({"junk", QVariantMap({{"a", 1}})}), QVariantMap());
    }
    void highestValue()
    {
        QCOMPARE(ZDAggregation::highestValueFromDict(QVariantMap({{"Final Cut", 3}, {"Motion", 9}, {"Color", "12"}})),
                 QVariant("Motion"));
        // The first numeric key in the walk wins a tie; fractions do not count.
        QCOMPARE(ZDAggregation::highestValueFromDict(QVariantMap({{"a", 2.7}, {"b", 2.2}})), QVariant("a"));
        QVERIFY(ZDAggregation::highestValueFromDict(QVariantMap({{"a", "9"}, {"b", QVariantList{}}})).isNull());
    }
    void dateComponents()
    {
        const QDateTime date(QDate(2021, 1, 3), QTime(14, 5, 9), Qt::LocalTime);
        const ZDAggregation::DateComponents c = ZDAggregation::componentsFromDate(date);
        QCOMPARE(c, (ZDAggregation::DateComponents{2021, 1, 3, 14, 5, 9, 53}));
        QCOMPARE(ZDAggregation::componentsFromDate(QDateTime()), ZDAggregation::DateComponents{});
    }
    void timerSelectionAndBusyWork()
    {
        bool active = false, enabled = true, busy = false;
        int runs = 0, activeAsked = 0, enabledAsked = 0, busyAsked = 0; // how often each condition was asked
        ZDAutoRefresh refresh;
        refresh.setConditions([&] { return ++activeAsked, active; }, [&] { return ++enabledAsked, enabled; },
                              [&] { return ++busyAsked, busy; });
        QSignalSpy available(&refresh, &ZDAutoRefresh::refreshAvailableChanged);
        refresh.setupAutoRefresh([&] { ++runs; }, std::chrono::seconds(1));
        QCOMPARE(available.last().first().toBool(), true);
        // A tick while another application is in front does nothing; in front, ticks refresh.
        QTRY_VERIFY_WITH_TIMEOUT(activeAsked > 0, 5000);
        QCOMPARE(runs, 0);
        active = true;
        QTRY_VERIFY_WITH_TIMEOUT(runs >= 1, 5000);
        enabled = false;
        const int before = runs, asked = enabledAsked;
        QTRY_VERIFY_WITH_TIMEOUT(enabledAsked > asked, 5000);
        QCOMPARE(runs, before);
        QVERIFY(refresh.autoRefreshData(false)); // the toolbar's refresh still works
        QCOMPARE(runs, before + 1);
        // A selection change while a batch runs refreshes when it ends, exactly once.
        refresh.setupAutoRefresh([&] { ++runs; }, std::chrono::seconds(0));
        busy = true;
        const int busyBefore = busyAsked;
        refresh.refreshAfterSelectionChange();
        QTRY_VERIFY_WITH_TIMEOUT(busyAsked > busyBefore, 10000); // the delayed refresh found the batch
        QCOMPARE(runs, before + 1);
        busy = false;
        refresh.processingEnded();
        QCOMPARE(runs, before + 2);
        refresh.processingEnded();
        QCOMPARE(runs, before + 2);
        // Without an operation nothing runs and the toolbar item is off.
        refresh.setupAutoRefresh({}, std::chrono::seconds(1));
        QCOMPARE(available.last().first().toBool(), false);
        QVERIFY(!refresh.autoRefreshData(false));
        QVERIFY(!refresh.isTimerActive());
    }
    // The dispatcher against agents running as processes on loopback: reads merged across computers, a
    // killed agent, the gate, and the credential loop with the real Secret Service and a scripted prompt.
    void groupsForCores()
    {
        // Distinct records are all that matters here: aliases without an owner.
        ZDDispatcher::ServiceList list;
        for (int i = 0; i < 1000; ++i)
            list << ZDServicePtr(std::shared_ptr<void>(), reinterpret_cast<ZDService *>(quintptr(16 * (i + 1))));
        const auto sizes = [](const QList<ZDDispatcher::ServiceList> &groups) {
            QList<qsizetype> s;
            for (const auto &g : groups)
                s << g.size();
            return s;
        };
        QCOMPARE(sizes(ZDDispatcher::selectedServicesForCores(list.mid(0, 10), 4)), (QList<qsizetype>{3, 3, 2, 2}));
        QCOMPARE(sizes(ZDDispatcher::selectedServicesForCores(list.mid(0, 3), 4)), (QList<qsizetype>{1, 1, 1}));
        QCOMPARE(sizes(ZDDispatcher::selectedServicesForCores(list.mid(0, 7), 0)), (QList<qsizetype>{7}));
        QVERIFY(ZDDispatcher::selectedServicesForCores({}, 4).isEmpty());
        // Every computer in exactly one group, in order.
        for (int cores : {1, 2, 3, 7, 16, 999, 1000, 1001}) {
            const auto groups = ZDDispatcher::selectedServicesForCores(list, cores);
            QVERIFY(groups.size() <= cores);
            ZDDispatcher::ServiceList joined;
            for (const auto &g : groups)
                joined << g;
            QCOMPARE(joined, list);
        }
    }
    void readAcrossAgentsMerged()
    {
        QSignalSpy started(m_dispatcher.get(), &ZDDispatcher::progressStarted);
        // Workers emit this at the same time; a spy's list is not safe for that.
        std::atomic<int> advanced{0};
        QObject counter;
        connect(m_dispatcher.get(), &ZDDispatcher::progressAdvanced, &counter, [&] { ++advanced; }, Qt::DirectConnection);
        QSignalSpy finished(m_dispatcher.get(), &ZDDispatcher::progressFinished);
        QVariantMap results;
        for (int cores : {1, 2, 8}) {
            m_dispatcher->setCoreCount(cores);
            zdtest::offMain([&] { results = m_dispatcher->objectsFromRemoteMethod(QStringLiteral("systemSpecs")); });
            QCOMPARE(size_t(results.size()), m_agents.size());
            for (const ZDFakeTaskAgent &agent : std::as_const(m_agents))
                QCOMPARE(results.value(agent.host + QLatin1Char('.')).toMap().value(QStringLiteral("host")).toString(),
                         agent.host);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 3, 10000);
        QCOMPARE(started.size(), 3);
        QCOMPARE(started.first().first().toInt(), int(m_agents.size()));
        QCOMPARE(advanced.load(), 3 * int(m_agents.size()));
        QVERIFY(!m_dispatcher->isProcessing());
        // A selection of one; an unknown operation gives no result and a failure.
        m_dispatcher->setSelectionProvider([this] { return ZDDispatcher::ServiceList{m_services[1]}; });
        QSignalSpy failed(m_dispatcher.get(), &ZDDispatcher::serviceFailed);
        zdtest::offMain([&] { results = m_dispatcher->objectsFromRemoteMethod(QStringLiteral("noSuchOperation")); });
        QVERIFY(results.isEmpty());
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(), m_agents[1].host + QLatin1Char('.'));
        QVERIFY(m_services[1]->isConnected());
        // Waiting on the main thread is refused, not a hang.
        QVERIFY(m_dispatcher->objectsFromRemoteMethod(QStringLiteral("systemSpecs")).isEmpty());
        QVERIFY(!m_dispatcher->waitOnProcessing());
    }
    void gateExemptions()
    {
        const ZDServicePtr outdated = m_services[0];
        const ZDServicePtr disabled = m_services[1];
        outdated->setErrorCode(2006);
        disabled->setEnabled(false);
        // Two computers fail at once in workers of their own; a spy's list is not safe for that.
        std::atomic<int> failed{0};
        QObject counter;
        connect(m_dispatcher.get(), &ZDDispatcher::serviceFailed, &counter, [&] { ++failed; }, Qt::DirectConnection);
        QVariantMap specs, logs, pings;
        zdtest::offMain([&] {
            specs = m_dispatcher->objectsFromRemoteMethod(QStringLiteral("systemSpecs"));
            logs = m_dispatcher->objectsFromRemoteMethod(QStringLiteral("gatherLogs"));
            pings = m_dispatcher->objectsFromRemoteMethod(QStringLiteral("initialConfiguration"));
            m_dispatcher->executeRemoteMethods(QStringLiteral("relaunch"));
            for (const ZDServicePtr &s : std::as_const(m_services))
                m_dispatcher->executeRemoteTask(kTask, kTool, QStringList{QStringLiteral("-v")}, s);
        });
        QCOMPARE(specs.size(), 3);
        QCOMPARE(logs.size(), 3);
        QCOMPARE(pings.size(), 1); // only the computer without error and enabled
        QVERIFY(pings.contains(m_services[2]->hostName()));
        // relaunch is oneway: the agent may record it just after answering.
        QTRY_VERIFY_WITH_TIMEOUT(callsOf(0).contains(QStringLiteral("relaunch")), 20000);
        const QStringList outdatedCalls = callsOf(0);
        QVERIFY(!outdatedCalls.join(u'\n').contains(QStringLiteral("executeTask")));
        QVERIFY(!outdatedCalls.contains(QStringLiteral("initialConfiguration")));
        const QStringList disabledCalls = callsOf(1);
        QVERIFY(!disabledCalls.contains(QStringLiteral("relaunch")));
        QVERIFY(!disabledCalls.join(u'\n').contains(QStringLiteral("executeTask")));
        QVERIFY(callsOf(2).contains(QStringLiteral("executeTask clean com.zendrel.faketool -v")));
        QCOMPARE(failed.load(), 5); // two reads, one relaunch, two tasks
        // The one privileged operation a computer with an error still takes.
        m_prompt->push(ZDCredentialPrompt::Result::OK);
        bool installed = false, other = true;
        zdtest::offMain([&] {
            installed = m_dispatcher->authExecuteRemoteMethod(kInstall, QStringLiteral("tool"), {}, outdated);
            other = m_dispatcher->authExecuteRemoteMethod(QStringLiteral("relaunch"), {}, {}, outdated);
        });
        QVERIFY(installed);
        QVERIFY(!other);
        QTRY_VERIFY_WITH_TIMEOUT(callsOf(0).contains(QStringLiteral("installZendrelNuvell %1 ok obj1").arg(kUser)),
                                 20000);
    }
    void credentialsAcceptedCachedAndKept()
    {
        const ZDServicePtr s = m_services[2];
        const QString host = s->hostName();
        ZDKeychain::deleteAllKeychainItems(QString::fromLatin1(ZDCredentialStore::kKeychainName),
                                           QString::fromLatin1(ZDCredentialStore::kKeychainKind));
        m_prompt->push(ZDCredentialPrompt::Result::OK, kPassword, false, true);
        bool first = false, second = false;
        zdtest::offMain([&] {
            first = m_dispatcher->authExecuteRemoteTask(kTask, kTool, QStringList(), s);
            second = m_dispatcher->authExecuteRemoteTask(kTask, kTool, QStringList(), s);
        });
        QVERIFY(first && second);
        QCOMPARE(m_prompt->asked(), 1); // the second run took the cache
        const QStringList calls = callsOf(2);
        QCOMPARE(calls.filter(QStringLiteral("authExecuteTask clean com.zendrel.faketool %1 ok").arg(kUser)).size(), 2);
        QVERIFY(calls.filter(QStringLiteral("plain")).isEmpty());
        // Remembered: the user and the password, under the agent's key (not its name).
        QVERIFY(s->credentialKey().startsWith(QStringLiteral("sha256:")));
        QVERIFY(m_dispatcher->credentialStore().storedUser(host).isEmpty());
        QCOMPARE(m_dispatcher->credentialStore().storedUser(s->credentialKey()), kUser);
        QCOMPARE(ZDKeychain::getPasswordFromKeychainItem(QString::fromLatin1(ZDCredentialStore::kKeychainName),
                                                         QString::fromLatin1(ZDCredentialStore::kKeychainKind), kUser,
                                                         s->credentialKey()),
                 kPassword);
        const QVariantMap entry = m_dispatcher->credentialStore().authorizationDict().value(s->hostKey()).toMap();
        QCOMPARE(entry.value(QStringLiteral("authName")).toString(), kUser);
        QVERIFY(!entry.value(QStringLiteral("authPass")).toByteArray().contains(kPassword.toUtf8()));
        // The callback form: the tool's answer comes back through the record passed by reference.
        auto callback = std::make_shared<ZDCallback>(QStringLiteral("zdOndrelScanFinished"), host);
        zdtest::offMain([&] { first = m_dispatcher->authExecuteRemoteTask(kTask, kTool, QStringList(), s, callback); });
        QVERIFY(first);
        QTRY_COMPARE_WITH_TIMEOUT(callback->output(), QStringLiteral("done ok"), 20000);
        QVERIFY(callsOf(2).contains(QStringLiteral("authExecuteTaskCallback clean zdOndrelScanFinished ok")));
        // Cache gone: the keychain answers without a question.
        m_dispatcher->credentialStore().clear();
        zdtest::offMain([&] { first = m_dispatcher->authExecuteRemoteTask(kTask, kTool, QStringList(), s); });
        QVERIFY(first);
        QCOMPARE(m_prompt->asked(), 1);
        // The cache expires by itself.
        m_dispatcher->credentialStore().setLifetime(std::chrono::milliseconds(50));
        m_dispatcher->credentialStore().restartLifetime();
        QTRY_VERIFY_WITH_TIMEOUT(m_dispatcher->credentialStore().authorizationDict().isEmpty(), 10000);
        m_dispatcher->credentialStore().setLifetime(ZDCredentialStore::kDefaultLifetime);
    }
    void credentialsRefused()
    {
        const ZDServicePtr s = m_services[2];
        const QString host = s->hostName();
        const QString name = QString::fromLatin1(ZDCredentialStore::kKeychainName);
        const QString kind = QString::fromLatin1(ZDCredentialStore::kKeychainKind);
        // A stored password that the agent refuses is deleted and the question comes up.
        const QString filed = s->credentialKey();
        QVERIFY(m_dispatcher->credentialStore().setStoredUser(filed, kUser));
        QVERIFY(ZDKeychain::addKeychainItem(name, kind, kUser, QStringLiteral("stale"), filed));
        // A wrong answer first: asked again, told it was refused.
        m_prompt->push(ZDCredentialPrompt::Result::OK, QStringLiteral("wrong"));
        m_prompt->push(ZDCredentialPrompt::Result::OK, kPassword, false, false);
        bool ran = false;
        zdtest::offMain([&] { ran = m_dispatcher->authExecuteRemoteTask(kTask, kTool, QStringList(), s); });
        QVERIFY(ran);
        QCOMPARE(m_prompt->asked(), 2);
        QVERIFY(!m_prompt->requests[0].previousRefused);
        QVERIFY(m_prompt->last().previousRefused);
        QCOMPARE(m_prompt->last().hostName, host);
        QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(name, kind, kUser, filed));
        QVERIFY(callsOf(2).contains(QStringLiteral("validateUsername:password: %1 refused").arg(kUser)));
        // The agent reports wrong credentials later: cache and stored password go.
        QVERIFY(ZDKeychain::addKeychainItem(name, kind, kUser, kPassword, filed));
        QVERIFY(m_dispatcher->credentialStore().entry(s->hostKey()));
        QVariant reported;
        zdtest::offMain([&] { reported = m_dispatcher->objectFromRemoteMethod(QStringLiteral("fakeRefuse"), {}, {}, s); });
        QVERIFY(reported.toBool());
        QTRY_VERIFY_WITH_TIMEOUT(!m_dispatcher->credentialStore().entry(s->hostKey()), 10000);
        QVERIFY(!m_dispatcher->credentialStore().authorizationDict().contains(s->hostKey()));
        QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(name, kind, kUser, filed));
    }
    void credentialsSkippedAndCancelled()
    {
        const qsizetype before = callsOf(1).size();
        // Skip: this computer only; the next one is still asked.
        m_prompt->push(ZDCredentialPrompt::Result::Skip);
        m_prompt->push(ZDCredentialPrompt::Result::OK);
        QSignalSpy failed(m_dispatcher.get(), &ZDDispatcher::serviceFailed);
        m_dispatcher->setSelectionProvider([this] { return ZDDispatcher::ServiceList{m_services[1], m_services[2]}; });
        zdtest::offMain([&] { m_dispatcher->authExecuteRemoteMethods(kInstall, QStringLiteral("a"), QStringLiteral("b")); });
        QCOMPARE(m_prompt->asked(), 2);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().at(1).toString(), QStringLiteral("User skipped authorization dialog."));
        QTRY_VERIFY_WITH_TIMEOUT(
            callsOf(2).contains(QStringLiteral("installZendrelNuvell %1 ok obj1,obj2").arg(kUser)), 20000);
        QCOMPARE(callsOf(1).size(), before); // skipped: not even asked to check credentials
        QVERIFY(callsOf(1).filter(QStringLiteral("installZendrelNuvell")).isEmpty());
        // Cancel: nobody else is asked or runs anything, the batch ends.
        m_prompt->reset();
        m_dispatcher->credentialStore().clear();
        m_dispatcher->setSelectionProvider(nullptr);
        m_prompt->push(ZDCredentialPrompt::Result::Cancel);
        const qsizetype installs = callsOf(2).filter(QStringLiteral("installZendrelNuvell")).size();
        zdtest::offMain([&] { m_dispatcher->authExecuteRemoteMethods(kInstall, QStringLiteral("c")); });
        QCOMPARE(m_prompt->asked(), 1);
        QVERIFY(m_dispatcher->isProcessingCancelled());
        QCOMPARE(callsOf(2).filter(QStringLiteral("installZendrelNuvell")).size(), installs);
        QVERIFY(m_dispatcher->credentialStore().authorizationDict().isEmpty());
    }
    void cancelStopsBeforeTheNextComputer()
    {
        // One worker for all three: cancelling after the first answer leaves the others unasked.
        m_dispatcher->setCoreCount(1);
        const auto c = connect(m_dispatcher.get(), &ZDDispatcher::progressAdvanced, m_dispatcher.get(),
                               &ZDDispatcher::cancelProcessing, Qt::DirectConnection);
        QVariantMap results;
        zdtest::offMain([&] { results = m_dispatcher->objectsFromRemoteMethod(QStringLiteral("systemSpecs")); });
        disconnect(c);
        QCOMPARE(results.size(), 1);
        QVERIFY(m_dispatcher->isProcessingCancelled());
        QTRY_VERIFY_WITH_TIMEOUT(m_dispatcher->taskThreadCount() == 0, 20000);
        // The next batch starts afresh.
        zdtest::offMain([&] { results = m_dispatcher->objectsFromRemoteMethod(QStringLiteral("systemSpecs")); });
        QCOMPARE(results.size(), 3);
        m_dispatcher->setCoreCount(QThread::idealThreadCount());
    }
    // One answer for all, kept in the keychain; then every stored password removed.
    void credentialsApplyToAllThenRemoved()
    {
        const QString name = QString::fromLatin1(ZDCredentialStore::kKeychainName);
        const QString kind = QString::fromLatin1(ZDCredentialStore::kKeychainKind);
        QList<qsizetype> before;
        for (int i = 0; i < 3; ++i)
            before << callsOf(i).filter(QStringLiteral("installZendrelNuvell")).size();
        m_prompt->push(ZDCredentialPrompt::Result::OK, kPassword, true, true);
        zdtest::offMain([&] { m_dispatcher->authExecuteRemoteMethods(kInstall, QStringLiteral("x")); });
        QCOMPARE(m_prompt->asked(), 1);
        for (int i = 0; i < 3; ++i) {
            QTRY_COMPARE_WITH_TIMEOUT(callsOf(i).filter(QStringLiteral("installZendrelNuvell %1 ok obj1").arg(kUser)).size(),
                                      before[i] + 1, 20000);
            QCOMPARE(m_dispatcher->credentialStore().storedUser(m_services[i]->credentialKey()), kUser);
            QVERIFY(ZDKeychain::checkForExistenceOfKeychainItem(name, kind, kUser, m_services[i]->credentialKey()));
        }
        QVERIFY(m_dispatcher->removeAllStoredPasswords());
        for (const ZDServicePtr &s : std::as_const(m_services)) {
            QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(name, kind, kUser, s->credentialKey()));
            QVERIFY(m_dispatcher->credentialStore().storedUser(s->credentialKey()).isEmpty());
        }
        QVERIFY(m_dispatcher->credentialStore().authorizationDict().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestZDErrorCallback)
#include "tst_zderrorcallback.moc"
