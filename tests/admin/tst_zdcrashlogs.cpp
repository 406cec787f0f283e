// Crash logs end to end: a program under an editing application's name really
// crashes in a real agent's sandbox, `kestra crashlogs` fetches it through the
// console's cache, removes it to the computer's Trash, and never serves a path
// outside the crash folders.
#include "features/crashlogs/ZDCrashLogStats.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDTestSandbox.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class TestZDCrashLogs : public QObject
{
    Q_OBJECT

    ZDTestSandbox m_sandbox;
    ZDRealAgent m_agent;
    QString m_kestra;

    zdtest::Ran kestra(QStringList args)
    {
        return zdtest::runProgram(m_kestra, args << u"--no-browse"_s << u"--hosts"_s << u"Crash Bay"_s);
    }
    QJsonObject crashlogs()
    {
        const zdtest::Ran r = kestra({u"crashlogs"_s, u"--json"_s});
        [&] { QVERIFY2(r.exit() == 0, qPrintable(r.err)); }();
        return QJsonDocument::fromJson(r.out.toUtf8()).object();
    }
    QByteArray analysed() const
    {
        return ZDTestSandbox::readFile(m_agent.root() + u"/var/lib/standins/Quellar/cause.log"_s);
    }

private Q_SLOTS:
    void crashFetchRemoveAndRefuse()
    {
        m_kestra = zdtest::buildPath(u"bin/kestra"_s);
        const QString apps = qEnvironmentVariable("KESTRA_APPS_DIR");
        QVERIFY(zdtest::copyTree(apps + u"/Quellar.app"_s, m_agent.root() + u"/opt/Quellar.app"_s));
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY(m_agent.startAlone(port, "crash-bay"));
        QCOMPARE(zdtest::run(m_kestra, {u"add"_s, u"Crash Bay"_s, u"127.0.0.1"_s, QString::number(port)}), 0);

        // The crashing program in the agent's user's session: its report is where its handler says.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, m_agent.root() + u"/home"_s);
        env.insert(u"XDG_STATE_HOME"_s, m_agent.root() + u"/home/.local/state"_s);
        // Run by root here, its report is the computer's: in the agent's system root.
        env.insert(u"KESTRA_SYSTEM_ROOT"_s, m_agent.root());
        const zdtest::Ran crash = zdtest::runProgram(
            zdtest::buildPath(u"tools/standins/Motion"_s), {}, zdtest::crashingChildEnvironment(env));
        QCOMPARE(crash.status, QProcess::CrashExit);
        const QString report = QRegularExpression(u"crash report (\\S+\\.crash)"_s).match(crash.err).captured(1);
        QVERIFY2(QFileInfo(report).isFile(), qPrintable(crash.err));

        QJsonObject first = crashlogs();
        QCOMPARE(first.value(u"new"_s).toInt(), 1);
        const QJsonArray logs = first.value(u"logs"_s).toArray();
        QCOMPARE(logs.size(), 1);
        const QJsonObject log = logs.first().toObject();
        QCOMPARE(log.value(u"filename"_s).toString(), report);
        const QString name = QFileInfo(report).fileName();
        QCOMPARE(log.value(u"name"_s).toString(), name);
        const zdtest::Ran table = kestra({u"crashlogs"_s});
        QVERIFY2(table.out.contains(u' ' + name + u'\n') && !table.out.contains(report), qPrintable(table.out));
        QCOMPARE(log.value(u"cause"_s).toString(), u"SIGSEGV (invalid memory access) in Motion"_s);
        QCOMPARE(log.value(u"app"_s).toString(), u"Motion"_s);
        QCOMPARE(first.value(u"statistics"_s).toObject().value(u"Most unstable application"_s).toString(), u"Motion"_s);
        const QByteArray askedOnce = analysed();

        // A link in the crash folder to a file outside, and a path outside: nothing is read or sent.
        const QString link = QFileInfo(report).absolutePath() + u"/Motion_link.crash"_s;
        QVERIFY(QFile::link(u"/etc/passwd"_s, link));
        QJsonObject second = crashlogs();
        QCOMPARE(second.value(u"new"_s).toInt(), 0);
        QCOMPARE(second.value(u"logs"_s).toArray().size(), 1);
        QCOMPARE(analysed(), askedOnce);
        // Names the listing does not show are refused before the computer is asked.
        for (const QString &path : {u"/etc/passwd"_s, link, QFileInfo(link).fileName(), u"passwd"_s}) {
            const zdtest::Ran explain = kestra({u"crashlogs"_s, u"explain"_s, u"Crash Bay"_s, path});
            QCOMPARE(explain.exit(), 1);
            QVERIFY(!explain.out.contains(u"root:"_s));
            QVERIFY2(explain.err.contains(u"crash-bay.local: failed: no crash log "_s + path + u" is listed"_s), qPrintable(explain.err));
            const zdtest::Ran text = kestra({u"call"_s, u"fcsCrashLog:"_s, path, u"--json"_s});
            QVERIFY2(!text.out.contains(u"root:"_s), qPrintable(text.out));
        }
        QCOMPARE(analysed(), askedOnce);
        // The listed name; the page comes as text, its heading on a line of its own.
        const zdtest::Ran explain = kestra({u"crashlogs"_s, u"explain"_s, u"Crash Bay"_s, name});
        QVERIFY2(explain.exit() == 0 && explain.out.startsWith(u"SIGSEGV"_s), qPrintable(explain.out + explain.err));
        QVERIFY2(!explain.out.contains(u'<') && !explain.out.contains(u'>'), qPrintable(explain.out));
        QCOMPARE(kestra({u"crashlogs"_s, u"explain"_s, u"Crash Bay"_s, report}).out, explain.out);

        // Removal: into that computer's Trash, and out of the console's cache; one line says so.
        const zdtest::Ran removed = kestra({u"crashlogs"_s, u"remove"_s, u"Crash Bay"_s, name});
        QCOMPARE(removed.exit(), 0);
        QCOMPARE(removed.out, u"crash-bay.local: removed "_s + name + u'\n');
        const QString trashed = m_agent.root() + u"/home/.local/share/Trash/files/"_s + QFileInfo(report).fileName();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(trashed), 30000);
        QVERIFY(!QFileInfo::exists(report));
        QCOMPARE(crashlogs().value(u"logs"_s).toArray().size(), 0);
    }
    // apport's records in the computer's /var/crash, read where they are: a catalogue
    // program's record this agent's user may read is listed with the cause from its
    // crashed thread; another program's, an unreadable one, a link and an oversized one are not.
    void apportRecordsListedInPlace()
    {
        ZDRealAgent agent;
        if (::geteuid() == 0)
            agent.setRunAs(u"nobody"_s, u"nogroup"_s); // root reads every record; a user only its own
        const QString records = agent.root() + u"/var/crash"_s;
        QVERIFY(QDir().mkpath(records));
        QVERIFY(::chmod(QFile::encodeName(records).constData(), 01777) == 0);
        // As apport writes a report: "Key: value" lines, continuation lines indented by one space.
        const QByteArray apport = "ProblemType: Crash\nArchitecture: amd64\nDate: Tue Dec  8 01:02:03 2026\n"
                                  "ExecutablePath: /usr/bin/blender\nProcCmdline: blender --background scene.blend\n"
                                  "ProcPid: 4242\nSignal: 11\nUserGroups: audio video\n"
                                  "StacktraceTop:\n ccl::BVH::build (this=0x0) from /usr/lib/x86_64-linux-gnu/libcycles.so.3\n"
                                  " ccl::Session::run () from /usr/lib/x86_64-linux-gnu/libcycles.so.3\n"
                                  "Title: blender crashed with SIGSEGV in ccl::BVH::build()\n";
        const QString listed = records + u"/_usr_bin_blender.1000.crash"_s;
        QVERIFY(ZDTestSandbox::writeFile(listed, apport));
        QVERIFY(QFile::setPermissions(listed, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        QVERIFY(ZDTestSandbox::writeFile(records + u"/_usr_bin_bash.1000.crash"_s, QByteArray(apport).replace("blender", "bash")));
        const QString unreadable = records + u"/_usr_bin_kdenlive.0.crash"_s;
        QVERIFY(ZDTestSandbox::writeFile(unreadable, QByteArray(apport).replace("blender", "kdenlive")));
        QVERIFY(QFile::setPermissions(unreadable, QFileDevice::Permissions()));
        QVERIFY(QFile::link(listed, records + u"/_usr_bin_kdenlive.1000.crash"_s));
        // With its core dump after the text, as apport writes binary values last: far beyond what is read.
        const QString big = records + u"/_opt_studio_bin_blender.1000.crash"_s;
        QVERIFY(ZDTestSandbox::writeFile(big, QByteArray(apport).replace("/usr/bin/blender", "/opt/studio/bin/blender")
                                                  .replace("01:02:03", "01:09:09")
                                              + "CoreDump: base64\n " + QByteArray(40 * 1024 * 1024, 'A') + "\n"));
        QVERIFY(QFile::setPermissions(big, QFile::ReadOwner | QFile::ReadOther));
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app"_s, agent.root() + u"/opt/Quellar.app"_s));
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY2(agent.startAlone(port, "apport-bay"), qPrintable(agent.output()));
        QCOMPARE(zdtest::run(m_kestra, {u"add"_s, u"Apport Bay"_s, u"127.0.0.1"_s, QString::number(port)}), 0);

        const auto listing = [&](const QString &host, const QProcessEnvironment &env = {}) {
            const zdtest::Ran r = zdtest::runProgram(m_kestra, {u"crashlogs"_s, u"--json"_s, u"--no-browse"_s, u"--hosts"_s, host}, env);
            QMap<QString, QJsonObject> byFile;
            for (const QJsonValue &log : QJsonDocument::fromJson(r.out.toUtf8()).object().value(u"logs"_s).toArray())
                byFile.insert(log[u"filename"_s].toString(), log.toObject());
            return byFile;
        };
        QMap<QString, QJsonObject> logs = listing(u"Apport Bay"_s);
        QCOMPARE(logs.keys(), (QStringList{big, listed}));
        for (const QJsonObject &log : std::as_const(logs)) {
            QCOMPARE(log[u"app"_s].toString(), u"blender"_s);
            QCOMPARE(log[u"cause"_s].toString(), u"SIGSEGV (invalid memory access) in libcycles.so.3"_s);
        }
        const zdtest::Ran explain = zdtest::runProgram(m_kestra, {u"crashlogs"_s, u"explain"_s, u"Apport Bay"_s, listed, u"--no-browse"_s});
        QVERIFY2(explain.exit() == 0 && explain.out.contains(u"libcycles.so.3"_s), qPrintable(explain.out + explain.err));
        QCOMPARE(zdtest::run(m_kestra, {u"remove"_s, u"Apport Bay"_s}), 0);
        if (::geteuid() != 0)
            return; // the consolidation runs with rights

        // Consolidated, a record is listed once: as its converted report (a root agent's, as the helper gathers for root).
        ZDRealAgent own;
        const QString record = own.root() + u"/var/crash/_usr_bin_blender.0.crash"_s;
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app"_s, own.root() + u"/opt/Quellar.app"_s));
        QVERIFY(ZDTestSandbox::writeFile(record, apport));
        const quint16 rootPort = ZDRealAgent::freePort();
        QVERIFY2(own.startAlone(rootPort, "root-bay"), qPrintable(own.output()));
        QCOMPARE(zdtest::run(m_kestra, {u"add"_s, u"Root Bay"_s, u"127.0.0.1"_s, QString::number(rootPort)}), 0);
        QCOMPARE(listing(u"Root Bay"_s).keys(), QStringList{record});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"KESTRA_SYSTEM_ROOT"_s, own.root());
        env.insert(u"HOME"_s, own.root() + u"/home"_s);
        env.insert(u"XDG_STATE_HOME"_s, own.root() + u"/home/.local/state"_s);
        const zdtest::Ran gathered = zdtest::runProgram(
            qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app/Contents/Helpers/LogConsolidator"_s, {}, env);
        QVERIFY2(gathered.out.contains(u"1 report(s) gathered"_s), qPrintable(gathered.out + gathered.err));
        // What the agent lists now, not what this console's cache kept of its earlier answers.
        QTemporaryDir freshCache;
        QProcessEnvironment console = QProcessEnvironment::systemEnvironment();
        console.insert(u"XDG_CACHE_HOME"_s, freshCache.path());
        logs = listing(u"Root Bay"_s, console);
        QVERIFY2(logs.size() == 1 && !logs.contains(record), qPrintable(QStringList(logs.keys()).join(u'\n') + gathered.out));
        QVERIFY(QFileInfo(logs.firstKey()).fileName().startsWith(u"blender_2026-12-0"_s));
        QCOMPARE(logs.first()[u"cause"_s].toString(), u"SIGSEGV (invalid memory access) in libcycles.so.3"_s);
        QCOMPARE(zdtest::run(m_kestra, {u"remove"_s, u"Root Bay"_s}), 0);
    }
    // Periods around the turn of a year and of a month: weeks are ISO weeks of their week-year.
    void periods()
    {
        using namespace ZDCrashLogStats;
        const auto at = [](int y, int m, int d) { return QDateTime(QDate(y, m, d), QTime(12, 0)); };
        const struct { QDateTime now, log; int filter; bool kept; } cases[] = {
            {at(2027, 1, 1), at(2026, 12, 28), ThisWeek, true},  // both in week 53 of 2026
            {at(2027, 1, 4), at(2026, 12, 28), LastWeek, true},  // week 1 of 2027, then week 53 of 2026
            {at(2027, 1, 4), at(2027, 1, 1), ThisWeek, false},
            {at(2027, 3, 1), at(2027, 2, 28), Yesterday, true},
            {at(2027, 3, 1), at(2027, 3, 1), Yesterday, false},
            {at(2027, 1, 15), at(2026, 12, 31), LastMonth, true},
            {at(2027, 1, 15), at(2026, 6, 1), LastYear, true},
        };
        for (const auto &c : cases)
            QCOMPARE(filtered({QVariantMap{{u"date"_s, c.log}}}, c.filter, c.now).size(), c.kept ? 1 : 0);
        const QVariantMap day = statistics({QVariantMap{{u"date"_s, at(2027, 3, 1)}}}, Today, at(2027, 3, 1), 0);
        QCOMPARE(day.value(u"Average crashes per day"_s).toString(), u"1.00"_s);
        QCOMPARE(cutComment(QString(2048, u'x')).size(), 2048);
        QCOMPARE(cutComment(QString(2049, u'x')).size(), 2047);
        // The cache keeps every millisecond of the dates it compares with.
        for (qint64 ms = 1796655819000; ms < 1796655820000; ++ms) {
            const QDateTime date = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
            const QByteArray data = ZDPropertyList::toData(QVariantList{date}, ZDPropertyList::Format::Binary);
            QCOMPARE(ZDPropertyList::fromData(data).toList().value(0).toDateTime(), date);
        }
        // An explanation page from a computer as terminal text: no markup, no script, no control characters.
        QCOMPARE(explanationText(u"<html><head><title>t</title></head><h2>SIGSEGV &amp; co</h2>Line\none<br>two"
                                 "<script>alert(1)</script><ul><li>A &lt;b&gt;</li><li>B&#x1b;[31m&#233;</li></ul>"_s),
                 u"SIGSEGV & co\nLine one\ntwo\n\n- A <b>\n- B[31m\u00e9"_s);
        QCOMPARE(explanationText(unknownCauseExplanation()).section(u'\n', 0, 0), u"Unknown"_s);
        QCOMPARE(crashedThread(u"Thread 1:\na\nThread 2 Crashed:\nb\nc\nThread 3:\nd"_s), u"b\nc\n"_s);
    }
};

QTEST_GUILESS_MAIN(TestZDCrashLogs)
#include "tst_zdcrashlogs.moc"
