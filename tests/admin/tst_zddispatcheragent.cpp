// The dispatcher against the real agent: its tool list, tasks run as the agent's
// user and their reported failures, and a privileged task whose credentials the
// agent checks through the system (a real account, made here as root).
#include "ZDCredentialPrompt.h"
#include "ZDCredentialStore.h"
#include "ZDDispatcher.h"
#include "ZDErrorCallback.h"
#include "ZDLocalPaths.h"
#include "ZDRealAgent.h"
#include "ZDService.h"
#include "ZDTestSandbox.h"

#include <QRandomGenerator>
#include <QtTest>

#include "ZDTestProcess.h"
#include "ZDTestThreads.h"

#include <deque>
#include <mutex>

#include <unistd.h>

namespace {

const QString kAdmin = QStringLiteral("kestra_da%1").arg(::getpid()); // per process: parallel runs never share it
const QString kTool = QStringLiteral("com.zendrel.Tidwell");

using zdtest::copyTree;
using zdtest::run;

class ScriptedPrompt : public ZDCredentialPrompt
{
public:
    Answer ask(const Request &request) override
    {
        std::lock_guard lock(mutex);
        requests.push_back(request);
        if (answers.empty())
            return Answer{};
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }
    std::mutex mutex;
    std::deque<Answer> answers;
    std::vector<Request> requests;
};

} // namespace

class TestZDDispatcherAgent : public QObject
{
    Q_OBJECT

private:
    ZDTestSandbox m_sandbox; // the console's own files
    ZDRealAgent m_agent;
    std::shared_ptr<ZDErrorCallback> m_errorCallback;
    ZDServicePtr m_service;
    std::unique_ptr<ZDDispatcher> m_dispatcher;
    QString m_adminPassword;

    bool queueHas(qint64 code)
    {
        for (const QVariant &e : m_errorCallback->errorQueue())
            if (e.toMap().value(QStringLiteral("errorcode")).toLongLong() == code)
                return true;
        return false;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built (KESTRA_APPS_DIR)");
        QVERIFY(copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/Tidwell.app"),
                         m_agent.root() + QStringLiteral("/opt/Tidwell.app")));
        QVERIFY2(m_agent.start(ZDRealAgent::freePort()), qPrintable(m_agent.output()));
        const int port = m_agent.port();

        m_errorCallback = std::make_shared<ZDErrorCallback>();
        m_service = ZDService::serviceWithName(QStringLiteral("Real agent"), QString(), QStringLiteral("127.0.0.1"),
                                               port, m_errorCallback);
        QTRY_VERIFY_WITH_TIMEOUT(m_service->isConnected() && !m_service->hostName().isEmpty(), 30000);
        m_dispatcher = std::make_unique<ZDDispatcher>([this] { return ZDDispatcher::ServiceList{m_service}; });

        m_adminPassword = QStringLiteral("Adm'$(id) ;%1").arg(QRandomGenerator::system()->generate(), 0, 16);
        run(QStringLiteral("/usr/sbin/userdel"), {QStringLiteral("-r"), QStringLiteral("-f"), kAdmin});
    }

    void cleanupTestCase()
    {
        m_dispatcher.reset();
        if (m_service)
            m_service->invalidate(false);
        m_service.reset();
        m_agent.kill();
        if (ZDLocalPaths::isRoot())
            run(QStringLiteral("/usr/sbin/userdel"), {QStringLiteral("-r"), QStringLiteral("-f"), kAdmin});
    }

    void toolsAndTasks()
    {
        QVariantMap tools;
        zdtest::offMain([&] { tools = m_dispatcher->objectsFromRemoteMethod(QStringLiteral("zdAppTasks")); });
        QCOMPARE(tools.size(), 1);
        bool found = false;
        for (const QVariant &t : tools.value(m_service->hostName()).toList())
            found = found || t.toMap().value(QStringLiteral("bundleid")).toString() == kTool;
        QVERIFY(found);

        // Run as the agent's user: a success reports nothing, a failure its exit status.
        zdtest::offMain([&] {
            m_dispatcher->executeRemoteTasks(QStringLiteral("succeed"), kTool, QStringList());
            m_dispatcher->waitOnProcessing();
            m_dispatcher->executeRemoteTasks(QStringLiteral("fail"), kTool, QStringList());
            m_dispatcher->waitOnProcessing();
            m_dispatcher->executeRemoteTasks(QStringLiteral("nosuchtask"), kTool, QStringList());
            m_dispatcher->waitOnProcessing();
        });
        QTRY_VERIFY_WITH_TIMEOUT(queueHas(3), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(queueHas(1003), 30000);
        QVERIFY(m_service->isConnected());
    }

    void privilegedTaskWithRealCredentials()
    {
        if (!ZDLocalPaths::isRoot())
            QSKIP("accounts can only be made as root");
        if (run(QStringLiteral("/usr/bin/getent"), {QStringLiteral("group"), QStringLiteral("sudo")}) != 0)
            QSKIP("the group sudo is missing");
        QCOMPARE(run(QStringLiteral("/usr/sbin/useradd"),
                     {QStringLiteral("-m"), QStringLiteral("-G"), QStringLiteral("sudo"), kAdmin}),
                 0);
        QCOMPARE(run(QStringLiteral("/usr/sbin/chpasswd"), {},
                     (kAdmin + QLatin1Char(':') + m_adminPassword + QLatin1Char('\n')).toUtf8()),
                 0);
        auto prompt = std::make_shared<ScriptedPrompt>();
        using R = ZDCredentialPrompt::Result;
        prompt->answers.push_back({R::OK, kAdmin, QStringLiteral("not the password"), false, false});
        prompt->answers.push_back({R::OK, kAdmin, m_adminPassword, false, false});
        m_dispatcher->setCredentialPrompt(prompt);
        bool started = false;
        zdtest::offMain([&] {
            started = m_dispatcher->authExecuteRemoteTask(QStringLiteral("succeed"), kTool, QStringList(), m_service);
        });
        QVERIFY(started);
        QCOMPARE(prompt->requests.size(), size_t(2));
        QVERIFY(prompt->requests.back().previousRefused);
        QVERIFY(!queueHas(1006));

        // Skipped: nothing runs, nothing is refused.
        m_dispatcher->credentialStore().clear();
        prompt->answers.push_back({R::Skip, QString(), QString(), false, false});
        zdtest::offMain([&] {
            started = m_dispatcher->authExecuteRemoteTask(QStringLiteral("succeed"), kTool, QStringList(), m_service);
        });
        QVERIFY(!started);
        QVERIFY(m_dispatcher->authSkipped() == false);
    }
};

QTEST_GUILESS_MAIN(TestZDDispatcherAgent)
#include "tst_zddispatcheragent.moc"
