// The kestra command line end to end: real agents as processes on loopback, the
// console's settings and state in a sandbox, kestra run as a child each time.
#include "ZDFakeAgent.h"
#include "ZDRealAgent.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kUser = u"cliadmin"_s;
const QString kPassword = u"cli pw 'q' 9"_s;

using Run = zdtest::Ran;

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
        return zdtest::runProgram(m_kestra, args, {}, input);
    }
    static QJsonObject json(const Run &r) { return QJsonDocument::fromJson(r.out.toUtf8()).object(); }
    // "kestra <args> --no-browse --hosts <names of which>"
    Run on(const QList<int> &which, const QStringList &args, const QByteArray &input = QByteArray())
    {
        QStringList names;
        for (int i : which)
            names << m_agents[size_t(i)].name;
        return kestra(args + QStringList{u"--no-browse"_s, u"--hosts"_s, names.join(u',')}, input);
    }
    QJsonValue answerOf(const Run &r, int i) { return json(r).value(m_agents[size_t(i)].host + u'.'); }
    QStringList callsOf(int i)
    {
        return answerOf(on({i}, {u"call"_s, u"fakeCalls"_s, u"--json"_s}), i).toVariant().toStringList();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_kestra = QDir(QCoreApplication::applicationDirPath()).filePath(u"../../bin/kestra"_s);
        QVERIFY2(QFileInfo(m_kestra).isExecutable(), qPrintable(m_kestra));
        m_sandbox = std::make_unique<ZDTestSandbox>();
        m_passwordFile = m_sandbox->path(u"agent-password"_s);
        QVERIFY(ZDTestSandbox::writeFile(m_passwordFile, kPassword.toUtf8()));
        const QString tag = QString::number(QCoreApplication::applicationPid());
        for (int i = 0; i < 2; ++i) {
            Agent a;
            a.host = u"cli-%1-%2"_s.arg(tag).arg(i);
            a.name = u"Edit Bay %1"_s.arg(i);
            QVERIFY(a.start(kUser, m_passwordFile));
            m_agents.push_back(std::move(a));
        }
    }
    void addListCallRemove()
    {
        for (const Agent &a : m_agents) {
            const Run r = kestra({u"add"_s, a.name, u"127.0.0.1"_s, QString::number(a.port)});
            QVERIFY2(r.exit() == 0, qPrintable(r.err));
        }
        // The sheet's rules (the discovery's table): the same address and port twice, a low port.
        Run r = kestra({u"add"_s, u"Other"_s, u"127.0.0.1"_s, QString::number(m_agents[0].port)});
        QCOMPARE(r.exit(), 1);
        QVERIFY(r.err.contains(u"Connection already exists"_s));
        QCOMPARE(kestra({u"add"_s, u"X"_s, u"10.0.0.1"_s, u"1024"_s}).exit(), 1);
        QCOMPARE(kestra({u"add"_s, u"X"_s}).exit(), 2);
        r = kestra({u"list"_s, u"--no-browse"_s, u"--wait"_s, u"20"_s});
        QCOMPARE(r.exit(), 0);
        for (const Agent &a : m_agents) {
            const QStringList line = r.out.split(u'\n').filter(a.name);
            QCOMPARE(line.size(), 1);
            QVERIFY2(line.first().contains(u" connected"_s), qPrintable(r.out));
            QVERIFY(line.first().contains(a.host));
        }
        // A read across both, merged by host name.
        r = on({0, 1}, {u"call"_s, u"systemSpecs"_s, u"--json"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QJsonObject o = json(r);
        QCOMPARE(o.size(), 2);
        for (const Agent &a : m_agents)
            QCOMPARE(o.value(a.host + u'.').toObject().value(u"host"_s).toString(), a.host);
        // Arguments are JSON values; the count must fit the operation.
        r = on({1}, {u"call"_s, u"logWithFilename:"_s, u"\"/tmp/a b\""_s, u"--json"_s});
        QCOMPARE(answerOf(r, 1).toString(), u"text of /tmp/a b"_s);
        QCOMPARE(on({1}, {u"call"_s, u"logWithFilename:"_s}).exit(), 2);
        // The table form names each computer.
        r = on({0, 1}, {u"call"_s, u"ping"_s});
        QCOMPARE(r.exit(), 0);
        QVERIFY(r.out.contains(m_agents[0].host) && r.out.contains(m_agents[1].host));
        QCOMPARE(kestra({u"remove"_s, m_agents[0].name}).exit(), 0);
        QCOMPARE(kestra({u"remove"_s, m_agents[0].name}).exit(), 1);
        r = kestra({u"list"_s, u"--no-browse"_s});
        QVERIFY(!r.out.contains(m_agents[0].name));
        QVERIFY(r.out.contains(m_agents[1].name));
        QCOMPARE(kestra({u"add"_s, m_agents[0].name, u"127.0.0.1"_s, QString::number(m_agents[0].port)}).exit(), 0);
    }
    void tasksRunAndCredentials()
    {
        Run r = on({0}, {u"tasks"_s, u"--json"_s});
        QCOMPARE(r.exit(), 0);
        const QJsonObject tool = answerOf(r, 0).toArray().first().toObject();
        QCOMPARE(tool.value(u"bundleid"_s).toString(), u"com.zendrel.faketool"_s);
        // As the agent's user, by tool name, options after the task.
        r = on({0, 1}, {u"run"_s, u"Fake Tool"_s, u"clean"_s, u"-v"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        for (int i : {0, 1})
            QVERIFY(callsOf(i).contains(u"executeTask clean com.zendrel.faketool -v"_s));
        // With rights: the credentials come from standard input here (no terminal).
        const QStringList admin{u"run"_s, u"com.zendrel.faketool"_s, u"clean"_s, u"--admin"_s};
        r = on({0}, admin, (kUser + u'\n' + kPassword + u'\n').toUtf8());
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QVERIFY(callsOf(0).contains(u"authExecuteTask clean com.zendrel.faketool %1 ok"_s.arg(kUser)));
        // A wrong password asks again; the end of input cancels, and the run fails.
        r = on({1}, admin, (kUser + u"\nwrong\n"_s).toUtf8());
        QCOMPARE(r.exit(), 1);
        QVERIFY(r.err.contains(u"Invalid username or password"_s));
        QVERIFY(callsOf(1).filter(u"authExecuteTask"_s).isEmpty());
        QVERIFY(!r.out.contains(kPassword) && !r.err.contains(kPassword));
    }
    void errorsKeptBetweenRuns()
    {
        QCOMPARE(kestra({u"errors"_s, u"--clear"_s}).exit(), 0);
        QCOMPARE(on({1}, {u"call"_s, u"fakePostError:"_s, u"Scratch disk full"_s}).exit(), 0);
        const Run r = kestra({u"errors"_s});
        QCOMPARE(r.exit(), 0);
        QVERIFY2(r.out.contains(u"Scratch disk full"_s), qPrintable(r.out));
        QVERIFY(r.out.contains(m_agents[1].host));
        QCOMPARE(kestra({u"errors"_s, u"--clear"_s}).exit(), 0);
        QVERIFY(!kestra({u"errors"_s}).out.contains(u"Scratch disk full"_s));
    }
    // Usage and version on request; an add says only that; the wait ends once every computer answered (a
    // real agent has no host name without the tool suite), and the helper gives up long before 600 s.
    void behavesLikeACommand()
    {
        for (const QString &arg : {u"--help"_s, u"-h"_s, u"--version"_s}) {
            const Run h = kestra({arg});
            QVERIFY2(h.exit() == 0 && QRegularExpression(u"^(usage: kestra|kestra [0-9.]+ \\(\\d+\\)\\n$)"_s).match(h.out).hasMatch(), qPrintable(h.out));
        }
        ZDRealAgent agent;
        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        const QString port = QString::number(agent.port());
        Run r = kestra({u"add"_s, u"Real"_s, u"127.0.0.1"_s, port});
        QCOMPARE(r.out + r.err, u"Added Real (127.0.0.1:%1).\n"_s.arg(port));
        r = kestra({u"call"_s, u"ping"_s, u"--no-browse"_s, u"--wait"_s, u"600"_s});
        QVERIFY2(r.exit() == 0 && r.out.contains(u"Real "_s), qPrintable(r.err));
        QCOMPARE(kestra({u"remove"_s, u"Real"_s}).exit(), 0);
    }
    // Last: it stops an agent.
    void exitStatusOnFailure()
    {
        Run r = kestra({u"call"_s, u"ping"_s, u"--no-browse"_s, u"--hosts"_s, m_agents[0].name + u",Nobody"_s});
        QCOMPARE(r.exit(), 1);
        QVERIFY(r.err.contains(u"Nobody: not found"_s));
        m_agents[1].kill();
        r = on({0, 1}, {u"call"_s, u"systemSpecs"_s, u"--json"_s, u"--wait"_s, u"2"_s});
        QCOMPARE(r.exit(), 1);
        const QJsonObject o = json(r);
        QCOMPARE(o.size(), 1);
        QVERIFY(o.contains(m_agents[0].host + u'.'));
        QVERIFY2(r.err.contains(m_agents[1].name), qPrintable(r.err));
    }
    // Control and escape characters an agent puts in its name never reach the terminal raw.
    void kestraPrintsNoEscapes()
    {
        const QString settings = m_sandbox->path(u"cli-evil.ini"_s);
        ZDFakeTaskAgent agent(u"evil\x1b]0;owned\x07-\u009b31m-%1"_s.arg(QCoreApplication::applicationPid()));
        QVERIFY(agent.start());
        QCOMPARE(kestra({u"add"_s, u"evil"_s, u"127.0.0.1"_s, QString::number(agent.port), u"--settings"_s, settings}).exit(), 0);
        for (const QString &json : {QString(), u"--json"_s}) {
            QStringList args{u"call"_s, u"systemSpecs"_s, u"--no-browse"_s, u"--settings"_s, settings};
            const Run r = kestra(json.isEmpty() ? args : args << json);
            for (const QChar c : {QChar(0x1b), QChar(0x07), QChar(0x9b)})
                QVERIFY(!r.out.contains(c) && !r.err.contains(c));
            QVERIFY2(r.out.contains(u"\\u001b]0;owned\\u0007-\\u009b31m"_s), qPrintable(r.out)); // values as JSON: escaped, not lost
        }
    }
};

QTEST_GUILESS_MAIN(TestKestraCli)
#include "tst_kestracli.moc"
