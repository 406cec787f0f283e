// The console's callback object as agents reach it: a fake agent on loopback holds
// it by reference and calls every operation; hostile arguments, the duplicate rule
// (on an injected clock), per-computer removal, wrong credentials against the real
// keyring, the per-run answer record, and uploads to a local HTTP server.
#include "ZDCallback.h"
#include "ZDConnectionServer.h"
#include "ZDErrorCallback.h"
#include "ZDKeychain.h"
#include "ZDLog.h"
#include "ZDOrvProtocol.h"
#include "ZDRemoteError.h"
#include "ZDTestHttpServer.h"
#include "ZDTestSandbox.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <atomic>
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

} // namespace

class TestZDErrorCallback : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
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
        ZDLog::createNewLog(QStringLiteral("tst_zderrorcallback"));
        // One console thread for the whole run: a link may let go of its objects on
        // that thread a little after the link itself is gone.
        m_consoleThread = std::make_unique<QThread>();
        m_consoleContext = std::make_unique<QObject>();
        m_consoleContext->moveToThread(m_consoleThread.get());
        m_consoleThread->start();
    }
    void cleanupTestCase()
    {
        onConsoleThread([] { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); });
        m_consoleThread->quit();
        m_consoleThread->wait();
        m_consoleContext.reset();
        m_consoleThread.reset();
    }
    void init()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        m_now = 1700000000;
        m_settings = m_sandbox->path(QStringLiteral("KestraAdmin.ini"));
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
        m_sandbox.reset();
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
        const QString file = m_sandbox->path(QStringLiteral("crash log.txt"));
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
};

QTEST_GUILESS_MAIN(TestZDErrorCallback)
#include "tst_zderrorcallback.moc"
