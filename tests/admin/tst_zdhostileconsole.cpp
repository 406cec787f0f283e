// The console core against a rogue agent, a planted link and hostile names: nothing
// is spoofed, deleted or printed raw, and the honest computer keeps working.
#include "ZDArchive.h"
#include "ZDCredentialStore.h"
#include "ZDDiscovery.h"
#include "ZDDispatcher.h"
#include "ZDErrorCallback.h"
#include "ZDFakeAgent.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDLogGathering.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "ZDTestThreads.h"

#include <QtTest>

class TestZDHostileConsole : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_box;

private Q_SLOTS:
    void initTestCase() { ZDLog::createNewLog(ZDLogGathering::adminName()); } // the console's own log, gathered below

    // A rogue agent entered by hand claims the honest computer's name and sends every spoof for it.
    void rogueAgentCannotActForAnotherComputer()
    {
        const QString settings = m_box.path(QStringLiteral("admin.ini")), user = QStringLiteral("admin");
        auto errors = std::make_shared<ZDErrorCallback>();
        errors->setSettingsPath(settings);
        ZDDiscovery discovery(errors, settings);
        ZDFakeTaskAgent honest(QStringLiteral("victim-%1").arg(QCoreApplication::applicationPid())), rogue(honest.host);
        QVERIFY(honest.start() && rogue.start());
        const ZDServicePtr victim = discovery.addManualConnection(honest.host, QStringLiteral("127.0.0.1"), honest.port);
        QTRY_VERIFY_WITH_TIMEOUT(victim->isConnected() && !victim->hostName().isEmpty(), 30000);
        ZDCredentialStore store(settings);
        QVERIFY(store.setStoredUser(victim->credentialHost(), user));
        QVERIFY(store.storeKeychainPassword(user, QStringLiteral("kept"), victim->credentialHost()));
        const ZDServicePtr liar = discovery.addManualConnection(QStringLiteral("rogue"), QStringLiteral("localhost"), rogue.port);
        QTRY_VERIFY_WITH_TIMEOUT(liar->isConnected() && !liar->configDict().isEmpty(), 30000);
        QVariant calls;
        ZDDispatcher dispatcher([&] { return ZDDispatcher::ServiceList{liar}; });
        zdtest::offMain([&] {
            for (int i = 0; i < 4; ++i)
                liar->proxyObject()->call(QStringLiteral("fakeSpoof:"), {victim->hostName()});
            dispatcher.authExecuteRemoteTask(QStringLiteral("clean"), QStringLiteral("t"), {}, liar);
            calls = liar->proxyObject()->call(QStringLiteral("fakeCalls"));
        });
        // 24 spoofs arrived: 20 refusals logged, then one line for the rest.
        const auto log = [] { return ZDLog::finishWriting(), ZDTestSandbox::readFile(ZDLog::availableLogs().value(0)); };
        QTRY_VERIFY_WITH_TIMEOUT(log().count(" ignored.") == 20 && log().contains("ignored unlogged"), 30000);
        QCOMPARE(discovery.allServices().size(), 2);
        QVERIFY(victim->isConnected() && !victim->isInvalidated() && !victim->needsMaintenance() && !liar->needsMaintenance());
        QCOMPARE(errors->errorCount(), 0);
        QCOMPARE(store.keychainPassword(user, victim->credentialHost()), QStringLiteral("kept"));
        QVERIFY(calls.toStringList().filter(QStringLiteral("validateUsername")).isEmpty());
        // The honest computer's own report still arrives.
        zdtest::offMain([&] { victim->proxyObject()->call(QStringLiteral("fakePostError:"), {QStringLiteral("honest")}); });
        QTRY_COMPARE_WITH_TIMEOUT(errors->errorCount(), 1, 30000);
        for (int i = 0; i < 2 * ZDErrorCallback::kMaxQueueLength; ++i) // one computer's flood keeps the others' reports
            errors->addStringToQueue(QString::number(i), i % 2 ? QStringLiteral("flood.") : QStringLiteral("FLOOD"));
        QCOMPARE(errors->errorQueue().last().toMap().value(QStringLiteral("description")), QVariant(QStringLiteral("honest")));
        QVERIFY(store.deleteKeychainPassword(user, victim->credentialHost()));
    }

    // A link planted where the working folder used to be is left alone, and so is its target.
    void gatherLogsIgnoresAPlantedLink()
    {
        const QString tmp = m_box.path(QStringLiteral("tmp")), precious = m_box.path(QStringLiteral("precious/file"));
        QVERIFY(QDir().mkpath(tmp) && ZDTestSandbox::writeFile(precious, "keep me"));
        QVERIFY(QFile::link(QFileInfo(precious).path(), tmp + QStringLiteral("/ZD_Log_Dump")));
        m_box.setEnv("TMPDIR", tmp.toUtf8());
        QVERIFY(QDir().mkpath(ZDLocalPaths::desktopDirectory()));
        const ZDLogGathering::Outcome outcome = ZDLogGathering().gatherLocal();
        QVERIFY2(outcome.success, qPrintable(outcome.text));
        QCOMPARE(ZDTestSandbox::readFile(precious), QByteArray("keep me"));
        QVERIFY(ZDArchive::extractZip(outcome.archivePath, m_box.path(QStringLiteral("out"))).ok);
        QVERIFY(QFile::exists(m_box.path(QStringLiteral("out/ZD_Log_Dump/")) + ZDLogGathering::adminName() + QStringLiteral(".1.log")));
    }

    // Control and escape characters an agent puts in its name never reach the terminal raw.
    void kestraPrintsNoEscapes()
    {
        const QString kestra = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../../bin/kestra")),
                      settings = m_box.path(QStringLiteral("cli.ini"));
        ZDFakeTaskAgent agent(QStringLiteral("evil\x1b]0;owned\x07-\u009b31m-%1").arg(QCoreApplication::applicationPid()));
        QVERIFY(agent.start());
        QCOMPARE(zdtest::runProgram(kestra, {QStringLiteral("add"), QStringLiteral("evil"), QStringLiteral("127.0.0.1"),
                                             QString::number(agent.port), QStringLiteral("--settings"), settings}).exit(), 0);
        for (const QString &json : {QString(), QStringLiteral("--json")}) {
            QStringList args{QStringLiteral("call"), QStringLiteral("systemSpecs"), QStringLiteral("--no-browse"), QStringLiteral("--settings"), settings};
            const zdtest::Ran r = zdtest::runProgram(kestra, json.isEmpty() ? args : args << json);
            for (const QChar c : {QChar(0x1b), QChar(0x07), QChar(0x9b)})
                QVERIFY(!r.out.contains(c) && !r.err.contains(c));
            QVERIFY2(r.out.contains(QStringLiteral("\\u001b]0;owned\\u0007-\\u009b31m")), qPrintable(r.out)); // values as JSON: escaped, not lost
        }
    }
};

QTEST_GUILESS_MAIN(TestZDHostileConsole)
#include "tst_zdhostileconsole.moc"
