// The kestra command line end to end: real agents as processes on loopback, the
// console's settings and state in a sandbox, kestra run as a child each time.
#include "ZDFakeAgent.h"
#include "ZDRealAgent.h"
#include "ZDTestSandbox.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QString kUser = QStringLiteral("cliadmin");
const QString kPassword = QStringLiteral("cli pw 'q' 9");

struct Run
{
    int rc = -1;
    QString out;
    QString err;
};

struct Agent : ZDFakeTaskAgent
{
    QString name;
};

} // namespace

class TestKestraCli : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::vector<Agent> m_agents;
    QString m_kestra;
    QString m_passwordFile;

    Run kestra(const QStringList &args, const QByteArray &input = QByteArray())
    {
        QProcess p;
        p.start(m_kestra, args);
        Run r;
        if (!p.waitForStarted(10000))
            return r;
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished(10000);
            return r;
        }
        r.rc = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    QJsonObject json(const Run &r)
    {
        return QJsonDocument::fromJson(r.out.toUtf8()).object();
    }

    QStringList hosts(const QList<int> &which)
    {
        QStringList h;
        for (int i : which)
            h << m_agents[size_t(i)].name;
        return {QStringLiteral("--no-browse"), QStringLiteral("--hosts"), h.join(u',')};
    }

    QStringList callsOf(int i)
    {
        const Run r = kestra(QStringList{QStringLiteral("call"), QStringLiteral("fakeCalls"), QStringLiteral("--json")}
                             + hosts({i}));
        return json(r).value(m_agents[size_t(i)].host + QLatin1Char('.')).toVariant().toStringList();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_kestra = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../../bin/kestra"));
        QVERIFY2(QFileInfo(m_kestra).isExecutable(), qPrintable(m_kestra));
        m_sandbox = std::make_unique<ZDTestSandbox>();
        m_passwordFile = m_sandbox->path(QStringLiteral("agent-password"));
        QVERIFY(ZDTestSandbox::writeFile(m_passwordFile, kPassword.toUtf8()));
        const QString tag = QString::number(QCoreApplication::applicationPid());
        for (int i = 0; i < 2; ++i) {
            Agent a;
            a.host = QStringLiteral("cli-%1-%2").arg(tag).arg(i);
            a.name = QStringLiteral("Edit Bay %1").arg(i);
            QVERIFY(a.start(kUser, m_passwordFile));
            m_agents.push_back(std::move(a));
        }
    }

    void addListCallRemove()
    {
        for (const Agent &a : m_agents) {
            const Run r = kestra({QStringLiteral("add"), a.name, QStringLiteral("127.0.0.1"), QString::number(a.port)});
            QVERIFY2(r.rc == 0, qPrintable(r.err));
        }
        // The sheet's rules: the same address and port twice, a bad address, a low port.
        Run r = kestra({QStringLiteral("add"), QStringLiteral("Other"), QStringLiteral("127.0.0.1"),
                        QString::number(m_agents[0].port)});
        QCOMPARE(r.rc, 1);
        QVERIFY(r.err.contains(QStringLiteral("Connection already exists")));
        QCOMPARE(kestra({QStringLiteral("add"), QStringLiteral("X"), QStringLiteral("010.0.0.1"), QStringLiteral("4000")}).rc, 1);
        QCOMPARE(kestra({QStringLiteral("add"), QStringLiteral("X"), QStringLiteral("10.0.0.1"), QStringLiteral("1024")}).rc, 1);
        QCOMPARE(kestra({QStringLiteral("add"), QStringLiteral("X")}).rc, 2);

        r = kestra({QStringLiteral("list"), QStringLiteral("--no-browse"), QStringLiteral("--wait"), QStringLiteral("20")});
        QCOMPARE(r.rc, 0);
        for (const Agent &a : m_agents) {
            const QStringList line = r.out.split(u'\n').filter(a.name);
            QCOMPARE(line.size(), 1);
            QVERIFY2(line.first().contains(QStringLiteral(" connected")), qPrintable(r.out));
            QVERIFY(line.first().contains(a.host));
        }

        // A read across both, merged by host name.
        r = kestra(QStringList{QStringLiteral("call"), QStringLiteral("systemSpecs"), QStringLiteral("--json")}
                   + hosts({0, 1}));
        QVERIFY2(r.rc == 0, qPrintable(r.err));
        QJsonObject o = json(r);
        QCOMPARE(o.size(), 2);
        for (const Agent &a : m_agents)
            QCOMPARE(o.value(a.host + QLatin1Char('.')).toObject().value(QStringLiteral("host")).toString(), a.host);
        // Arguments are JSON values; the count must fit the operation.
        r = kestra(QStringList{QStringLiteral("call"), QStringLiteral("logWithFilename:"), QStringLiteral("\"/tmp/a b\""),
                               QStringLiteral("--json")}
                   + hosts({1}));
        QCOMPARE(json(r).value(m_agents[1].host + QLatin1Char('.')).toString(), QStringLiteral("text of /tmp/a b"));
        QCOMPARE(kestra(QStringList{QStringLiteral("call"), QStringLiteral("logWithFilename:")} + hosts({1})).rc, 2);
        // The table form names each computer.
        r = kestra(QStringList{QStringLiteral("call"), QStringLiteral("ping")} + hosts({0, 1}));
        QCOMPARE(r.rc, 0);
        QVERIFY(r.out.contains(m_agents[0].host) && r.out.contains(m_agents[1].host));

        QCOMPARE(kestra({QStringLiteral("remove"), m_agents[0].name}).rc, 0);
        QCOMPARE(kestra({QStringLiteral("remove"), m_agents[0].name}).rc, 1);
        r = kestra({QStringLiteral("list"), QStringLiteral("--no-browse")});
        QVERIFY(!r.out.contains(m_agents[0].name));
        QVERIFY(r.out.contains(m_agents[1].name));
        QCOMPARE(kestra({QStringLiteral("add"), m_agents[0].name, QStringLiteral("127.0.0.1"),
                         QString::number(m_agents[0].port)})
                     .rc,
                 0);
    }

    void tasksRunAndCredentials()
    {
        Run r = kestra(QStringList{QStringLiteral("tasks"), QStringLiteral("--json")} + hosts({0}));
        QCOMPARE(r.rc, 0);
        const QJsonObject tool =
            json(r).value(m_agents[0].host + QLatin1Char('.')).toArray().first().toObject();
        QCOMPARE(tool.value(QStringLiteral("bundleid")).toString(), QStringLiteral("com.zendrel.faketool"));

        // As the agent's user, by tool name, options after the task.
        r = kestra(QStringList{QStringLiteral("run"), QStringLiteral("Fake Tool"), QStringLiteral("clean"),
                               QStringLiteral("-v")}
                   + hosts({0, 1}));
        QVERIFY2(r.rc == 0, qPrintable(r.err));
        for (int i : {0, 1})
            QVERIFY(callsOf(i).contains(QStringLiteral("executeTask clean com.zendrel.faketool -v")));

        // With rights: the credentials come from standard input here (no terminal).
        r = kestra(QStringList{QStringLiteral("run"), QStringLiteral("com.zendrel.faketool"), QStringLiteral("clean"),
                               QStringLiteral("--admin")}
                       + hosts({0}),
                   (kUser + u'\n' + kPassword + u'\n').toUtf8());
        QVERIFY2(r.rc == 0, qPrintable(r.err));
        QVERIFY(callsOf(0).contains(QStringLiteral("authExecuteTask clean com.zendrel.faketool %1 ok").arg(kUser)));

        // A wrong password asks again; the end of input cancels, and the run fails.
        r = kestra(QStringList{QStringLiteral("run"), QStringLiteral("com.zendrel.faketool"), QStringLiteral("clean"),
                               QStringLiteral("--admin")}
                       + hosts({1}),
                   (kUser + QStringLiteral("\nwrong\n")).toUtf8());
        QCOMPARE(r.rc, 1);
        QVERIFY(r.err.contains(QStringLiteral("Invalid username or password")));
        QVERIFY(callsOf(1).filter(QStringLiteral("authExecuteTask")).isEmpty());
        QVERIFY(!r.out.contains(kPassword) && !r.err.contains(kPassword));
    }

    void errorsKeptBetweenRuns()
    {
        QCOMPARE(kestra({QStringLiteral("errors"), QStringLiteral("--clear")}).rc, 0);
        Run r = kestra(QStringList{QStringLiteral("call"), QStringLiteral("fakePostError:"),
                                   QStringLiteral("Scratch disk full")}
                       + hosts({1}));
        QCOMPARE(r.rc, 0);
        r = kestra({QStringLiteral("errors")});
        QCOMPARE(r.rc, 0);
        QVERIFY2(r.out.contains(QStringLiteral("Scratch disk full")), qPrintable(r.out));
        QVERIFY(r.out.contains(m_agents[1].host));
        QCOMPARE(kestra({QStringLiteral("errors"), QStringLiteral("--clear")}).rc, 0);
        QVERIFY(!kestra({QStringLiteral("errors")}).out.contains(QStringLiteral("Scratch disk full")));
    }

    // Usage and version on request; an add says only that; the wait ends once every computer answered (a
    // real agent has no host name without the tool suite), and the helper gives up long before 600 s.
    void behavesLikeACommand()
    {
        for (const QString &arg : {QStringLiteral("--help"), QStringLiteral("-h"), QStringLiteral("--version")}) {
            const Run h = kestra({arg});
            QVERIFY2(h.rc == 0 && QRegularExpression(QStringLiteral("^(usage: kestra|kestra [0-9.]+ \\(\\d+\\)\\n$)")).match(h.out).hasMatch(), qPrintable(h.out));
        }
        ZDRealAgent agent;
        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        const QString port = QString::number(agent.port());
        Run r = kestra({QStringLiteral("add"), QStringLiteral("Real"), QStringLiteral("127.0.0.1"), port});
        QCOMPARE(r.out + r.err, QStringLiteral("Added Real (127.0.0.1:%1).\n").arg(port));
        r = kestra({QStringLiteral("call"), QStringLiteral("ping"), QStringLiteral("--no-browse"), QStringLiteral("--wait"), QStringLiteral("600")});
        QVERIFY2(r.rc == 0 && r.out.contains(QStringLiteral("Real ")), qPrintable(r.err));
        QCOMPARE(kestra({QStringLiteral("remove"), QStringLiteral("Real")}).rc, 0);
    }

    // Last: it stops an agent.
    void exitStatusOnFailure()
    {
        Run r = kestra(QStringList{QStringLiteral("call"), QStringLiteral("ping")} + hosts({0})
                       + QStringList{QStringLiteral("--hosts"), m_agents[0].name + QStringLiteral(",Nobody")});
        QCOMPARE(r.rc, 1);
        QVERIFY(r.err.contains(QStringLiteral("Nobody: not found")));

        m_agents[1].kill();
        r = kestra(QStringList{QStringLiteral("call"), QStringLiteral("systemSpecs"), QStringLiteral("--json"),
                               QStringLiteral("--wait"), QStringLiteral("2")}
                   + hosts({0, 1}));
        QCOMPARE(r.rc, 1);
        const QJsonObject o = json(r);
        QCOMPARE(o.size(), 1);
        QVERIFY(o.contains(m_agents[0].host + QLatin1Char('.')));
        QVERIFY2(r.err.contains(m_agents[1].name), qPrintable(r.err));
    }
};

QTEST_GUILESS_MAIN(TestKestraCli)
#include "tst_kestracli.moc"
