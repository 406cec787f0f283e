// Scheduled tasks and render jobs from `kestra` against two real agents, each a fake
// computer with the real tools: the units the scheduling tool writes pass systemd's
// own checks, differing schedules merge into "(various)" and sync brings them back,
// a field that would break a unit is refused before any file is written; render
// jobs are acted on per computer and refused when their names could mislead a tool.
#include "files/ZDFileTree.h"
#include "log/ZDLog.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"

using namespace Qt::StringLiterals;

class TestZDSchedules : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_console;
    ZDRealAgent m_bays[2];

    zdtest::Ran kestra(QStringList args, const QString &hosts = u"bay0,bay1"_s)
    {
        args << u"--no-browse"_s << u"--hosts"_s << hosts;
        return zdtest::runProgram(zdtest::buildPath(u"bin/kestra"_s), args);
    }
    QJsonArray rows()
    {
        return QJsonDocument::fromJson(kestra({u"schedules"_s, u"--json"_s}).out.toUtf8()).array();
    }
    QString units(int bay) const { return m_bays[bay].root() + u"/etc/systemd/system"_s; }
    QStringList unitFiles(int bay) const { return QDir(units(bay)).entryList(QDir::Files, QDir::Name); }

    QString tool(int bay, const QString &path) const { return m_bays[bay].root() + u'/' + path; }
    static QString monitor() { return u"opt/Batch Monitor.app/Contents/MacOS/Batch Monitor"_s; }
    QString run(int bay, const QString &program, const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"KESTRA_SYSTEM_ROOT"_s, m_bays[bay].root());
        const zdtest::Ran r = zdtest::runProgram(tool(bay, program), args, env);
        return r.exit() == 0 ? r.out : u"exit %1: %2"_s.arg(r.exit()).arg(r.err);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString apps = qEnvironmentVariable("KESTRA_APPS_DIR");
        for (int i = 0; i < 2; ++i) {
            ZDRealAgent &bay = m_bays[i];
            QVERIFY(QDir().mkpath(bay.root() + u"/opt"_s) && QDir().mkpath(bay.root() + u"/usr/sbin"_s));
            for (const char *tool : {"Cadro", "Quellar", "Batch Monitor"})
                QVERIFY(ZDFileTree::copy(apps + u'/' + QLatin1String(tool) + u".app"_s,
                                         bay.root() + u"/opt/"_s + QLatin1String(tool) + u".app"_s).ok);
            QVERIFY(QFile::copy(apps + u"/Batch Monitor.app/Contents/Helpers/qmasterprefs"_s, tool(i, u"usr/sbin/qmasterprefs"_s)));
            QVERIFY2(bay.startAlone(ZDRealAgent::freePort(), "bay" + QByteArray::number(i) + "-host"), qPrintable(bay.output()));
            QCOMPARE(kestra({u"add"_s, u"bay%1"_s.arg(i), u"127.0.0.1"_s, QString::number(bay.port())}).exit(), 0);
        }
    }
    void addSyncRefuseAndRun()
    {
        // Mondays at 03:00 on both: one row in line, one child each.
        zdtest::Ran r = kestra({u"schedules"_s, u"add"_s, u"Quellar"_s, u"succeed"_s, u"at"_s, u"0,3,,1,"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QJsonArray all = rows();
        QCOMPARE(all.size(), 1);
        QCOMPARE(all[0][u"frequencyDescription"_s].toString(), u"Every Monday at 3:00"_s);
        QCOMPARE(all[0][u"state"_s].toInt(), 0);
        QCOMPARE(all[0][u"children"_s].toArray().size(), 2);
        const QString name = all[0][u"children"_s][0][u"filename"_s].toString();

        // What the tool wrote is what systemd accepts.
        const QString timer = units(0) + u'/' + name + u".timer"_s;
        const QString text = QString::fromUtf8(ZDTestSandbox::readFile(timer));
        const QString calendar = text.section(u"OnCalendar="_s, 1).section(u'\n', 0, 0);
        QCOMPARE(calendar, u"Mon *-*-* 03:00:00"_s);
        if (QStandardPaths::findExecutable(u"systemd-analyze"_s).isEmpty())
            QSKIP("systemd-analyze is not installed");
        QCOMPARE(zdtest::runProgram(u"systemd-analyze"_s, {u"calendar"_s, calendar}).exit(), 0);
        r = zdtest::runProgram(u"systemd-analyze"_s, {u"verify"_s, timer, units(0) + u'/' + name + u".service"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));

        // Refused before any file is written: a newline in a field, a name with a slash, a zero interval.
        const QStringList before = unitFiles(0) + unitFiles(1);
        r = kestra({u"schedules"_s, u"add"_s, u"Quellar"_s, u"succeed"_s, u"at"_s, u"0,3\n,,1,"_s});
        QCOMPARE(r.exit(), 1);
        QVERIFY2(r.err.contains(u"refused"_s) && r.err.contains(u"five fields"_s), qPrintable(r.err));
        const QString slash = u"{\"obj1\":{\"filename\":\"../x\",\"bundleid\":\"com.zendrel.Quellar\",\"taskid\":\"succeed\","
                              "\"scheduletype\":\"6\",\"intervalval\":\"5\"}}"_s;
        r = kestra({u"call"_s, u"cadroEditTask:settings:"_s, u"{}"_s, slash, u"--json"_s}, u"bay0"_s);
        QVERIFY2(r.out.contains(u"false"_s), qPrintable(r.out));
        QCOMPARE(kestra({u"schedules"_s, u"add"_s, u"Quellar"_s, u"succeed"_s, u"every"_s, u"0"_s}).exit(), 2);
        QCOMPARE(unitFiles(0) + unitFiles(1), before);

        // A row acts on every computer that has it, and the console's log says so.
        const auto consoleLog = [] { return ZDTestSandbox::readFile(ZDLog::logFolder() + u"/kestra.1.log"_s); };
        QCOMPARE(kestra({u"schedules"_s, u"enable"_s, name}).exit(), 0);
        QVERIFY(consoleLog().contains("Enabling Cadro task on all hosts...\n"));
        // Disabled on one computer: the trigger leaves its target there only; the row says so.
        QCOMPARE(kestra({u"schedules"_s, u"disable"_s, name, u"bay0-host.local."_s}).exit(), 0);
        QVERIFY(consoleLog().contains(" on host bay0-host.local."));
        QVERIFY(!consoleLog().contains("on all hosts"));
        QVERIFY(!QFileInfo::exists(units(0) + u"/timers.target.wants/"_s + name + u".timer"_s));
        QVERIFY(QFileInfo::exists(units(1) + u"/timers.target.wants/"_s + name + u".timer"_s));
        QCOMPARE(rows()[0][u"state"_s].toInt(), 2);

        // The service runs what the task table says: the tool's own record proves it.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"KESTRA_SYSTEM_ROOT"_s, m_bays[0].root());
        r = zdtest::runProgram(m_bays[0].root() + u"/opt/Cadro.app/Contents/MacOS/Cadro"_s,
                               {u"-run"_s, units(0) + u'/' + name + u".service"_s}, env);
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QVERIFY(ZDTestSandbox::readFile(m_bays[0].root() + u"/var/lib/standins/Quellar/succeed.result"_s).contains("command=-task"));

        // Removed everywhere: nothing of it stays.
        r = kestra({u"schedules"_s, u"remove"_s, all[0][u"taskDescription"_s].toString(), u"--yes"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QCOMPARE(rows().size(), 0);
        QCOMPARE(unitFiles(0) + unitFiles(1), QStringList());
        // A watched folder under "~" is the computer's own home, expanded there.
        QCOMPARE(kestra({u"schedules"_s, u"add"_s, u"Quellar"_s, u"succeed"_s, u"watch"_s, u"~/Movies"_s}, u"bay1"_s).exit(), 0);
        const QString watch = units(1) + u'/' + rows()[0][u"children"_s][0][u"filename"_s].toString() + u".path"_s;
        QVERIFY(ZDTestSandbox::readFile(watch).contains("PathChanged=" + m_bays[1].root().toUtf8() + "/home/Movies\n"));
    }
    // One task with distinct schedules: sync adds each where it is missing and turns
    // none into another; remove takes one schedule on one computer, and only when asked.
    void distinctSchedulesKeptApart()
    {
        for (const QJsonValue &row : rows())
            for (const QJsonValue &child : row[u"children"_s].toArray())
                QVERIFY2(kestra({u"schedules"_s, u"remove"_s, child[u"filename"_s].toString(), u"--yes"_s}).exit() == 0,
                         qPrintable(kestra({u"schedules"_s}).out));
        QCOMPARE(rows().size(), 0);
        const auto add = [&](const QStringList &how, const QString &hosts) {
            const zdtest::Ran r = kestra(QStringList{u"schedules"_s, u"add"_s, u"Quellar"_s, u"succeed"_s} + how, hosts);
            QVERIFY2(r.exit() == 0, qPrintable(r.err));
        };
        add({u"at"_s, u"0,3,,1,"_s}, u"bay0,bay1"_s);
        add({u"daily"_s}, u"bay0,bay1"_s);
        add({u"watch"_s, u"/srv/watch"_s}, u"bay1"_s);
        // bay1's Monday schedule becomes Tuesday 4:30 there.
        const auto childOn = [&](const QString &schedule, const QString &host) {
            for (const QJsonValue &row : rows())
                for (const QJsonValue &child : row[u"children"_s].toArray())
                    if (row[u"frequencyDescription"_s].toString() == schedule && child[u"hostname"_s].toString().startsWith(host))
                        return child[u"filename"_s].toString();
            return QString();
        };
        const QString edit = u"{\"obj1\":{\"filename\":\"%1\",\"bundleid\":\"com.zendrel.Quellar\",\"taskid\":\"succeed\","
                             "\"scheduletype\":\"7\",\"intervalval\":\"30,4,,2,\"}}"_s.arg(childOn(u"Every Monday at 3:00"_s, u"bay1"_s));
        QCOMPARE(kestra({u"call"_s, u"cadroEditTask:settings:"_s, u"{}"_s, edit}, u"bay1"_s).exit(), 0);
        const auto schedulesOf = [&](int bay) {
            QStringList out;
            for (const QString &f : unitFiles(bay))
                if (f.endsWith(u".service"_s))
                    out << QString::fromUtf8(ZDTestSandbox::readFile(units(bay) + u'/' + f.chopped(8) + u".timer"_s))
                                   .section(u"OnCalendar="_s, 1).section(u'\n', 0, 0)
                                   + QString::fromUtf8(ZDTestSandbox::readFile(units(bay) + u'/' + f.chopped(8) + u".path"_s))
                                         .section(u"PathChanged="_s, 1).section(u'\n', 0, 0);
            out.sort();
            return out;
        };
        QCOMPARE(schedulesOf(0).size(), 2);
        QCOMPARE(schedulesOf(1).size(), 3);

        // Not at a terminal and no --yes: refused, nothing written.
        zdtest::Ran r = kestra({u"schedules"_s, u"sync"_s});
        QCOMPARE(r.exit(), 1);
        QVERIFY2(r.err.contains(u"Sync schedules: add 3 schedules on 2 computers?"_s) && r.err.contains(u"--yes"_s), qPrintable(r.err));
        QCOMPARE(schedulesOf(0).size(), 2);
        r = kestra({u"schedules"_s, u"sync"_s, u"--yes"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        // Each computer now runs each schedule once; none was rewritten.
        QCOMPARE(schedulesOf(0), schedulesOf(1));
        QCOMPARE(schedulesOf(0).size(), 4);
        QVERIFY(schedulesOf(0).contains(u"Mon *-*-* 03:00:00"_s) && schedulesOf(0).contains(u"Tue *-*-* 04:30:00"_s));
        QVERIFY(schedulesOf(0).contains(m_bays[0].root() + u"/srv/watch"_s) || schedulesOf(0).contains(u"/srv/watch"_s));
        for (const QJsonValue &row : rows())
            QCOMPARE(row[u"state"_s].toInt(), 0);

        // The task's name alone is four schedules: refused. A file name on one computer: that one only.
        QCOMPARE(kestra({u"schedules"_s, u"remove"_s, rows()[0][u"taskDescription"_s].toString(), u"--yes"_s}).exit(), 1);
        const QString daily = childOn(u"Every day"_s, u"bay0"_s);
        QVERIFY(!daily.isEmpty());
        QCOMPARE(kestra({u"schedules"_s, u"remove"_s, daily, u"bay9"_s, u"--yes"_s}).exit(), 1);
        // A computer by any of its names, on the command line and in --hosts; a name of none is an error.
        const auto enabledOn = [&](const QString &host) {
            for (const QJsonValue &row : rows())
                for (const QJsonValue &child : row[u"children"_s].toArray())
                    if (child[u"filename"_s].toString() == daily && child[u"hostname"_s].toString().startsWith(host))
                        return child[u"enabled"_s].toBool();
            return true;
        };
        for (const QString &form : {u"bay0-host"_s, u"bay0-host.local"_s, u"BAY0-host.local."_s}) {
            r = kestra({u"schedules"_s, u"disable"_s, daily, form});
            QVERIFY2(r.exit() == 0, qPrintable(form + r.err));
            QVERIFY(!enabledOn(u"bay0"_s) && enabledOn(u"bay1"_s));
            QCOMPARE(kestra({u"schedules"_s, u"enable"_s, daily}, form).exit(), 0);
            QVERIFY(enabledOn(u"bay0"_s));
        }
        r = kestra({u"schedules"_s, u"disable"_s, daily, u"bay0-hos"_s});
        QVERIFY2(r.exit() == 1 && r.err.contains(u"bay0-hos: not one of the computers"_s), qPrintable(r.err));
        QCOMPARE(kestra({u"schedules"_s}, u"bay0-hos"_s).exit(), 1);
        r = kestra({u"schedules"_s, u"remove"_s, daily});
        QVERIFY2(r.exit() == 1 && r.err.contains(u"from 2 computers?"_s), qPrintable(r.err));
        r = kestra({u"schedules"_s, u"remove"_s, daily, u"bay1-host"_s, u"--yes"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QCOMPARE(schedulesOf(0).size(), 4);
        QCOMPARE(schedulesOf(1).size(), 3);
        QVERIFY(childOn(u"Every day"_s, u"bay1"_s).isEmpty());
        QCOMPARE(childOn(u"Every day"_s, u"bay0"_s), daily);
    }
    // Each computer's own queue and one cluster both know: a pause reaches one
    // computer's job, and a job of the shared cluster is acted on once.
    void renderQueue()
    {
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(run(i, u"usr/sbin/qmasterprefs"_s, {u"-addCluster"_s, u"Farm"_s}), QString());
            QCOMPARE(run(i, monitor(), {u"-submit"_s, u"This Computer"_s, u"Promo"_s, u"Promo H.264"_s}), u"job1\n"_s);
            QCOMPARE(run(i, monitor(), {u"-submit"_s, u"Farm"_s, u"Trailer"_s, u"Trailer ProRes"_s}), u"job1\n"_s);
        }
        const auto status = [&](const QString &reference) {
            for (const QJsonValue &row : QJsonDocument::fromJson(kestra({u"render"_s, u"--json"_s}).out.toUtf8()).array())
                if (u"%1:%2:%3"_s.arg(row[u"hostname"_s].toString(), row[u"clustername"_s].toString(), row[u"jobid"_s].toString()) == reference)
                    return row[u"status"_s].toString() + u'/' + row[u"batchname"_s].toString();
            return QString();
        };
        QCOMPARE(status(u"bay0-host.local.:This Computer:job1"_s), u"running/Promo"_s);
        // Two consoles listing at once each get the whole answer.
        QProcess consoles[2];
        for (QProcess &console : consoles)
            console.start(zdtest::buildPath(u"bin/kestra"_s),
                          {u"render"_s, u"--json"_s, u"--no-browse"_s, u"--hosts"_s, u"bay0,bay1"_s});
        for (QProcess &console : consoles) {
            QVERIFY(console.waitForFinished(60000));
            QCOMPARE(QJsonDocument::fromJson(console.readAllStandardOutput()).array().size(), 4);
        }
        zdtest::Ran r = kestra({u"render"_s, u"pause"_s, u"bay0-host:This Computer:job1"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QCOMPARE(status(u"bay0-host.local.:This Computer:job1"_s), u"paused/Promo"_s);
        QCOMPARE(status(u"bay1-host.local.:This Computer:job1"_s), u"running/Promo"_s);
        QCOMPARE(kestra({u"render"_s, u"cancel"_s, u"bay0-host:Farm Cluster:job1"_s, u"bay1-host.local.:Farm Cluster:job1"_s}).exit(), 0);
        QCOMPARE(status(u"bay0-host.local.:Farm Cluster:job1"_s), u"cancelled/Trailer"_s);
        QCOMPARE(status(u"bay1-host.local.:Farm Cluster:job1"_s), u"running/Trailer"_s);
        // Refused: an id that would pass for an option, a cluster the computer does not know.
        for (const QString &job : {u"{\"clustername\":\"This Computer\",\"jobid\":\"-kill\"}"_s,
                                   u"{\"clustername\":\"Elsewhere\",\"jobid\":\"job1\"}"_s}) {
            r = kestra({u"call"_s, u"qmasterJobTerminate:"_s, u'[' + job + u']', u"--json"_s}, u"bay1"_s);
            QVERIFY2(r.out.contains(u"false"_s), qPrintable(r.out + r.err));
        }
        QCOMPARE(status(u"bay1-host.local.:This Computer:job1"_s), u"running/Promo"_s);
        // Every request above came within a minute: the cluster list was asked for once.
        QCOMPARE(ZDTestSandbox::readFile(tool(0, u"var/lib/standins/qmasterprefs/list.log"_s)), QByteArray("-list\n"));
        QCOMPARE(kestra({u"render"_s, u"sharing"_s, u"on"_s}).exit(), 0);
        QVERIFY(run(1, u"usr/sbin/qmasterprefs"_s, {u"-list"_s}).contains(u"-sharing on"_s));
        QCOMPARE(kestra({u"render"_s, u"sharing"_s, u"reset"_s}, u"bay1"_s).exit(), 0);
        QCOMPARE(status(u"bay1-host.local.:This Computer:job1"_s), u"cancelled/Promo"_s);

        // A job the queue cannot name is left out, and the agent's log says why.
        const QString spool = tool(1, u"var/spool/render/queue.plist"_s);
        QVariantMap queue = ZDPropertyList::readDictionary(spool);
        QVariantMap cluster = queue.value(u"This Computer"_s).toMap();
        QVERIFY(!cluster.isEmpty());
        QVariantMap batch = cluster.first().toMap();
        QVariantMap jobs = batch.value(u"jobs"_s).toMap();
        jobs.insert(QString(), QVariantMap{{u"name"_s, u"Nameless"_s}, {u"status"_s, u"running"_s}});
        batch.insert(u"jobs"_s, jobs);
        cluster.insert(cluster.firstKey(), batch);
        queue.insert(u"This Computer"_s, cluster);
        QVERIFY(ZDPropertyList::writeFile(spool, queue));
        QCOMPARE(status(u"bay1-host.local.:This Computer:job1"_s), u"cancelled/Promo"_s);
        QString agentLog;
        for (const char *folder : {"home/.local/state/log", "var/log"})
            agentLog += QString::fromUtf8(ZDTestSandbox::readFile(tool(1, QLatin1String(folder) + u"/Zendrel/KestraClient.1.log"_s)));
        QVERIFY2(agentLog.contains(u"Unable to get jobs - a job without a job id in batch "_s), qPrintable(agentLog.right(2000)));
    }
};

QTEST_GUILESS_MAIN(TestZDSchedules)
#include "tst_zdschedules.moc"
