// The callback registry against real consoles on loopback links: fan-out,
// pruning of gone consoles, the finish notice, tools' notices, and the
// worker-thread accounting with several waiters.
#include "ZDCallbackRegistry.h"
#include "ZDConnectionServer.h"
#include "ZDLog.h"
#include "ZDOrvProtocol.h"
#include "ZDRecordingConsole.h"
#include "ZDTestSandbox.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace ZDOrv;

namespace {

const QString kHost = QStringLiteral("Test-Host.local.");

// A console: its link to the agent and the callback object it registered.
// Calls to it run on the test's main thread (the link's owner thread).
struct Console : ZDRecordingConsole
{
    using ZDRecordingConsole::ZDRecordingConsole;
    std::shared_ptr<ZDConnection> link;
};

} // namespace

class TestZDCallbackRegistry : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_sandbox;
    std::unique_ptr<ZDCallbackRegistry> m_registry;
    std::unique_ptr<ZDConnectionServer> m_server;
    static QByteArray logText()
    {
        ZDLog::finishWriting();
        return ZDTestSandbox::readFile(ZDLog::availableLogs().value(0));
    }
    // Connects a console and registers its callback object, as a console does after connecting.
    std::unique_ptr<Console> connectConsole(const QStringList &ops = ZDRecordingConsole::allOperations())
    {
        auto console = std::make_unique<Console>(ops);
        console->link = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        console->link->rootProxy()->callOneway(QString::fromLatin1(kSetErrorCallback),
                                               {QVariant::fromValue(console->object)});
        return console;
    }
    // Everything sent before a marker has arrived once the marker has.
    bool drained(Console &console)
    {
        const int before = console.countOf(QString::fromLatin1(kIncrementProgress));
        m_registry->incrementRemoteProgress();
        return QTest::qWaitFor([&] { return console.countOf(QString::fromLatin1(kIncrementProgress)) > before; }, 20000);
    }

private Q_SLOTS:
    void initTestCase() { ZDLog::createNewLog(QStringLiteral("tst_zdcallbackregistry")); }
    void init()
    {
        m_registry = std::make_unique<ZDCallbackRegistry>([] { return kHost; });
        m_server = std::make_unique<ZDConnectionServer>();
        auto root = ZDRemoteObject::create();
        root->addOperation(QString::fromLatin1(kSetErrorCallback), [this](const QVariantList &args) {
            m_registry->setErrorCallback(ZDRemoteProxy::fromVariant(args.value(0)));
            return QVariant();
        }, ZDRemoteObject::Call::Oneway);
        m_server->setRootObject(root);
        QVERIFY(m_server->listen(QStringLiteral("127.0.0.1"), 0));
    }
    void cleanup()
    {
        m_server.reset();
        m_registry.reset();
    }
    void goneConsoleIsDroppedOthersStillServed()
    {
        auto a = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        auto b = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 2, 20000);
        // Registering again keeps one entry; the probe pinged the others.
        a->link->rootProxy()->callOneway(QString::fromLatin1(kSetErrorCallback), {QVariant::fromValue(a->object)});
        QTRY_VERIFY_WITH_TIMEOUT(a->countOf(QString::fromLatin1(kPing)) >= 1 && b->countOf(QString::fromLatin1(kPing)) >= 1, 20000);
        QCOMPARE(m_registry->count(), 2);
        // A quits without a word: its link closes under the agent.
        const ZDRemoteProxyPtr gone = m_registry->callbacks().value(0);
        a->link->invalidate();
        QTRY_VERIFY_WITH_TIMEOUT(!gone->isValid(), 20000);
        m_registry->postErrorString(QStringLiteral("Disk full"));
        QTRY_COMPARE_WITH_TIMEOUT(b->countOf(QString::fromLatin1(kAddStringToQueueHostname)), 1, 20000);
        QCOMPARE(b->last(QString::fromLatin1(kAddStringToQueueHostname)), (QVariantList{QStringLiteral("Disk full"), kHost}));
        QCOMPARE(m_registry->count(), 1);
        QVERIFY(m_registry->callbacks().value(0) != gone);
        // The probe of a new registration also prunes: b goes, c comes.
        const ZDRemoteProxyPtr bProxy = m_registry->callbacks().value(0);
        b->link->invalidate();
        QTRY_VERIFY_WITH_TIMEOUT(!bProxy->isValid(), 20000);
        auto c = connectConsole();
        QTRY_VERIFY_WITH_TIMEOUT(m_registry->count() == 1 && m_registry->callbacks().value(0) != bProxy, 20000);
        // An entry that cannot answer the probe counts as dead too.
        QStringList noPing = ZDRecordingConsole::allOperations();
        noPing.removeAll(QString::fromLatin1(kPing));
        auto mute = connectConsole(noPing);
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 2, 20000);
        const ZDRemoteProxyPtr muteProxy = m_registry->callbacks().value(1);
        auto d = connectConsole();
        QTRY_VERIFY_WITH_TIMEOUT(m_registry->count() == 2 && !m_registry->callbacks().contains(muteProxy), 20000);
    }
    void consoleLackingAnOperationEndsThatDelivery()
    {
        auto partial = connectConsole({QString::fromLatin1(kPing), QString::fromLatin1(kTaskFinished)});
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        auto full = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 2, 20000);
        m_registry->performErrorCallbackSelector(QString::fromLatin1(kUpdateConfig), {kHost});
        m_registry->shouldPostFinishedTaskWithTimeout(3600);
        m_registry->postFinishedTask();
        // Both got taskFinished; the later entry got nothing of the event the first could not take.
        QTRY_COMPARE_WITH_TIMEOUT(full->countOf(QString::fromLatin1(kTaskFinished)), 1, 20000);
        QCOMPARE(partial->countOf(QString::fromLatin1(kTaskFinished)), 1);
        QCOMPARE(full->countOf(QString::fromLatin1(kUpdateConfig)), 0);
        QCOMPARE(m_registry->count(), 2);
        QVERIFY(logText().contains("Error: error callback object does not respond to selector updateConfig:."));
    }
    void errorsCarryTheHostName()
    {
        auto console = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        const ZDRemoteError diskError(QStringLiteral("NSPOSIXErrorDomain"), 28);
        m_registry->postError(diskError);
        m_registry->postErrorUserInfo(diskError, {{QStringLiteral("path"), QStringLiteral("/x")}});
        m_registry->postErrorWithCode(1003, QStringLiteral("no tool"));
        m_registry->postErrorStringUserInfo(QString(), {});
        QVERIFY(drained(*console));
        QCOMPARE(console->last(QString::fromLatin1(kAddErrorToQueueHostname)),
                 (QVariantList{QVariant::fromValue(diskError), kHost}));
        const auto userInfoCalls = console->of(QString::fromLatin1(kAddErrorToQueueUserInfo));
        QCOMPARE(userInfoCalls.size(), 2);
        QCOMPARE(userInfoCalls[0][1].toMap(),
                 (QVariantMap{{QStringLiteral("path"), QStringLiteral("/x")}, {QStringLiteral("hostname"), kHost}}));
        const auto coded = userInfoCalls[1][0].value<ZDRemoteError>();
        QCOMPARE(coded, ZDRemoteError(QStringLiteral("orvDomain"), 1003, {{QStringLiteral("info"), QStringLiteral("no tool")}}));
        QCOMPARE(userInfoCalls[1][1].toMap(), (QVariantMap{{QStringLiteral("hostname"), kHost}}));
        const QVariantList text = console->last(QString::fromLatin1(kAddStringToQueueUserInfo));
        QVERIFY(!text.value(0).isValid() || text.value(0).isNull());
        QCOMPARE(text.value(1).toMap(), (QVariantMap{{QStringLiteral("hostname"), kHost}}));
    }
    void oneFinishNoticePerArmedTask()
    {
        auto console = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        const QString finished = QString::fromLatin1(kTaskFinished);
        // Not armed: nothing owed.
        m_registry->postFinishedTask();
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(finished), 0);
        // A tool reporting twice: one taskFinished, an updateConfig: per notice.
        m_registry->shouldPostFinishedTaskWithTimeout(3600);
        std::thread tool([this] {
            m_registry->taskFinished();
            m_registry->taskFinished();
        });
        tool.join();
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(finished), 1);
        QCOMPARE(console->countOf(QString::fromLatin1(kUpdateConfig)), 2);
        QCOMPARE(console->last(QString::fromLatin1(kUpdateConfig)), QVariantList{kHost});
        QVERIFY(!m_registry->shouldPostFinishedTask());
        // Armed from a worker thread, the deadline sends it; a late tool notice adds none.
        std::thread worker([this] { m_registry->shouldPostFinishedTaskWithTimeout(0.05); });
        worker.join();
        QTRY_COMPARE_WITH_TIMEOUT(console->countOf(finished), 2, 20000);
        m_registry->postFinishedTask();
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(finished), 2);
        QVERIFY(logText().contains("Task timed out. Finishing..."));
        // Re-arming replaces the deadline; cancelling leaves the notice to the tool.
        m_registry->shouldPostFinishedTaskWithTimeout(0.05);
        m_registry->shouldPostFinishedTaskWithTimeout(3600);
        m_registry->invalidateTaskFinishTimeoutTimer();
        QTest::qWait(300);
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(finished), 2);
        m_registry->postFinishedTask();
        QTRY_COMPARE_WITH_TIMEOUT(console->countOf(finished), 3, 20000);
    }
    void toolErrorNotices()
    {
        auto console = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        m_registry->taskError({{QStringLiteral("errorCode"), qint64(1002)}});
        QVERIFY(drained(*console));
        QCOMPARE(console->last(QString::fromLatin1(kAddErrorToQueueUserInfo)).value(0).value<ZDRemoteError>(),
                 ZDRemoteError(QStringLiteral("orvDomain"), 1002));
        // A tool's error text reaching the consoles is the agent scenario's statusAndMaintenanceNotifications.
        // Neither key (or a code that is no number): logged, and an error text of none.
        m_registry->taskError({{QStringLiteral("errorCode"), QStringLiteral("x")}, {QStringLiteral("pid"), qint64(42)}});
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(QString::fromLatin1(kAddStringToQueueUserInfo)), 1);
        const QVariant none = console->last(QString::fromLatin1(kAddStringToQueueUserInfo)).value(0);
        QVERIFY(!none.isValid() || none.isNull());
        QVERIFY(logText().contains("Task error returned but no error data was found. User info:"));
        QCOMPARE(console->countOf(QString::fromLatin1(kAddErrorToQueueUserInfo)), 1);
    }
    void workerAccounting()
    {
        // The main thread is refused at once, even while processing.
        m_registry->setProcessing(true);
        m_registry->waitOnProcessing();
        QVERIFY(logText().contains("Error: trying to wait on main thread. Aborting..."));
        // The last worker ends before anybody waits: the wait returns at once.
        m_registry->incrementTaskThreadCount();
        m_registry->decrementTaskThreadCount();
        QVERIFY(!m_registry->isProcessing());
        std::atomic<bool> returned{false};
        std::thread early([&] {
            m_registry->waitOnProcessing();
            returned = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(returned, 20000);
        early.join();
        // Several waiters, workers storing results as they end: every waiter wakes.
        for (int round = 0; round < 20; ++round) {
            m_registry->setProcessing(true);
            m_registry->resetThreadedObjectDict();
            constexpr int kWorkers = 6;
            for (int i = 0; i < kWorkers; ++i)
                m_registry->incrementTaskThreadCount();
            std::atomic<int> woken{0};
            std::vector<std::thread> threads;
            for (int i = 0; i < 3; ++i)
                threads.emplace_back([&] {
                    m_registry->waitOnProcessing();
                    ++woken;
                });
            for (int i = 0; i < kWorkers; ++i)
                threads.emplace_back([this, i] {
                    m_registry->threadedObjectDictSetObject(i, QStringLiteral("host%1").arg(i));
                    m_registry->threadedObjectDictSetObject(QVariant(), QStringLiteral("ignored"));
                    m_registry->decrementTaskThreadCount();
                });
            QTRY_COMPARE_WITH_TIMEOUT(woken.load(), 3, 20000);
            for (auto &t : threads)
                t.join();
            QCOMPARE(m_registry->taskThreadCount(), 0);
            QCOMPARE(m_registry->threadedObjectDict().size(), kWorkers);
        }
        // More decrements than workers never go below zero.
        m_registry->decrementTaskThreadCount();
        QCOMPARE(m_registry->taskThreadCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestZDCallbackRegistry)
#include "tst_zdcallbackregistry.moc"
