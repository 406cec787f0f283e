// The dispatcher against agents running as processes on loopback: reads merged
// across computers, a killed agent, the gate, and the credential loop with the
// real Secret Service and a scripted prompt.
#include "ZDCallback.h"
#include "ZDCredentialPrompt.h"
#include "ZDCredentialStore.h"
#include "ZDDispatcher.h"
#include "ZDErrorCallback.h"
#include "ZDFakeComputers.h"
#include "ZDKeychain.h"
#include "ZDLog.h"
#include "ZDService.h"
#include "ZDTestSandbox.h"

#include <QSignalSpy>
#include <QtTest>

#include <deque>
#include <mutex>
#include <thread>

namespace {

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

class TestZDDispatcher : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::shared_ptr<ZDErrorCallback> m_errorCallback;
    zdtest::FakeComputers m_computers;
    std::vector<ZDFakeTaskAgent> &m_agents = m_computers.agents;
    QList<ZDServicePtr> &m_services = m_computers.services;
    std::unique_ptr<ZDDispatcher> m_dispatcher;
    std::shared_ptr<ScriptedPrompt> m_prompt;
    QString m_passwordFile;
    QStringList callsOf(int i) const { return m_computers.callsOf(i); }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zddispatcher"));
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
        m_prompt->reset();
        m_dispatcher->credentialStore().clear();
        m_dispatcher->setSelectionProvider(nullptr);
        for (const ZDServicePtr &s : std::as_const(m_services)) {
            s->setErrorCode(0);
            s->setEnabled(true);
        }
    }
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
        QSignalSpy failed(m_dispatcher.get(), &ZDDispatcher::serviceFailed);
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
        QCOMPARE(failed.size(), 5); // two reads, one relaunch, two tasks
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
        // Remembered: the user for the host, the password in the keychain.
        QCOMPARE(m_dispatcher->credentialStore().storedUser(host), kUser);
        QCOMPARE(ZDKeychain::getPasswordFromKeychainItem(QString::fromLatin1(ZDCredentialStore::kKeychainName),
                                                         QString::fromLatin1(ZDCredentialStore::kKeychainKind), kUser,
                                                         host),
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
        QVERIFY(m_dispatcher->credentialStore().setStoredUser(host, kUser));
        QVERIFY(ZDKeychain::addKeychainItem(name, kind, kUser, QStringLiteral("stale"), host));
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
        QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(name, kind, kUser, host));
        QVERIFY(callsOf(2).contains(QStringLiteral("validateUsername:password: %1 refused").arg(kUser)));
        // The agent reports wrong credentials later: cache and stored password go.
        QVERIFY(ZDKeychain::addKeychainItem(name, kind, kUser, kPassword, host));
        QVERIFY(m_dispatcher->credentialStore().entry(s->hostKey()));
        QVariant reported;
        zdtest::offMain([&] { reported = m_dispatcher->objectFromRemoteMethod(QStringLiteral("fakeRefuse"), {}, {}, s); });
        QVERIFY(reported.toBool());
        QTRY_VERIFY_WITH_TIMEOUT(!m_dispatcher->credentialStore().entry(s->hostKey()), 10000);
        QVERIFY(!m_dispatcher->credentialStore().authorizationDict().contains(s->hostKey()));
        QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(name, kind, kUser, host));
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
            QCOMPARE(m_dispatcher->credentialStore().storedUser(m_services[i]->hostName()), kUser);
            QVERIFY(ZDKeychain::checkForExistenceOfKeychainItem(name, kind, kUser, m_services[i]->hostName()));
        }
        QVERIFY(m_dispatcher->removeAllStoredPasswords());
        for (const ZDServicePtr &s : std::as_const(m_services)) {
            QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(name, kind, kUser, s->hostName()));
            QVERIFY(m_dispatcher->credentialStore().storedUser(s->hostName()).isEmpty());
        }
        QVERIFY(m_dispatcher->credentialStore().authorizationDict().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestZDDispatcher)
#include "tst_zddispatcher.moc"
