// kestra's command line as a table of what is typed and what must come of it: the
// exit status (0 done, 1 a computer failed, 2 usage) and the first line of standard
// error. The real program runs, in a sandbox with no computers, so that a line
// accepted by the parser is really accepted. Then the help, manual page and
// completion made from the same table agree with the parser.
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestZDCliParsing : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_console;

    static zdtest::Ran kestra(const QStringList &args)
    {
        return zdtest::runProgram(zdtest::buildPath(u"bin/kestra"_s), args);
    }

private Q_SLOTS:
    void table_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("error"); // the first line of standard error ("" for none)
        const auto row = [](const char *name, QStringList args, int exit, const QString &error) {
            QTest::newRow(name) << args << exit << error;
        };
        const QStringList quick{u"--no-browse"_s, u"--wait"_s, u"0"_s};
        row("accepted", QStringList{u"list"_s} + quick, 0, QString());
        row("value after =", {u"list"_s, u"--no-browse"_s, u"--wait=0"_s}, 0, QString());
        row("no verb", {}, 2, u"kestra: no verb"_s);
        row("unknown verb", {u"lst"_s}, 2, u"kestra: unknown verb lst"_s);
        row("unknown option", QStringList{u"list"_s, u"--frobnicate"_s} + quick, 2, u"kestra: unknown option --frobnicate"_s);
        row("stray word", QStringList{u"list"_s, u"extra"_s} + quick, 2,
            u"kestra: list takes at most 0 word(s) after it; extra is one too many"_s);
        row("value swallows no option", {u"list"_s, u"--hosts"_s, u"--no-browse"_s}, 2, u"kestra: --hosts needs a value (H,...)"_s);
        row("value missing at the end", {u"list"_s, u"--wait"_s}, 2, u"kestra: --wait needs a value (SECONDS)"_s);
        row("switch with a value", {u"list"_s, u"--json=yes"_s}, 2, u"kestra: --json takes no value"_s);
        row("option of another verb", QStringList{u"list"_s, u"--from"_s, u"x"_s} + quick, 2, u"kestra: list does not take --from"_s);
        row("unknown sub-verb", QStringList{u"schedules"_s, u"wipe"_s} + quick, 2,
            u"kestra: schedules has no wipe; it takes add, remove, enable, disable, sync"_s);
        row("bad wait", {u"list"_s, u"--wait"_s, u"soon"_s}, 2, u"kestra: --wait takes a number of seconds from 0 to 600"_s);
        row("address out of range", {u"add"_s, u"x"_s, u"999.1.1.1"_s, u"4000"_s}, 2,
            u"kestra: 999.1.1.1 is not an IPv4 or IPv6 address"_s);
        row("port out of range", {u"add"_s, u"x"_s, u"10.0.0.1"_s, u"70000"_s}, 2, u"kestra: 70000 is not a port from 1 to 65535"_s);
        row("plug-ins without a target", QStringList{u"plugins"_s, u"disable"_s} + quick, 2,
            u"kestra: plugins disable needs a NAME, or --all for every plug-in"_s);
        row("host of none", QStringList{u"tasks"_s, u"--hosts"_s, u"nowhere"_s} + quick, 1, u"kestra: nowhere: not found"_s);
        row("help of a verb", {u"help"_s, u"plugins"_s}, 0, QString());
        row("verb --help", {u"schedules"_s, u"--help"_s}, 0, QString());
        row("help of no verb", {u"help"_s, u"lst"_s}, 2, u"kestra: no verb lst"_s);
        // A single dash is a word for the tool, never an option of kestra's.
        row("tool's own option", QStringList{u"run"_s, u"Quellar"_s, u"succeed"_s, u"-verbose"_s} + quick, 1, u"kestra: no computers"_s);
    }
    void table()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(QString, error);
        const zdtest::Ran r = kestra(args);
        QVERIFY2(r.exit() == exit, qPrintable(u"exit %1: %2"_s.arg(r.exit()).arg(r.err)));
        QCOMPARE(r.err.section(u'\n', 0, 0), error);
        // A usage error is short: the reason, then where to read more.
        if (exit == 2) {
            QCOMPARE(r.err.count(u'\n'), 2);
            QVERIFY2(r.err.section(u'\n', 1, 1).startsWith(u"see kestra help"_s), qPrintable(r.err));
        }
    }
    // Every verb and option the parser knows is in the manual page, the completion and the help.
    void oneTableForAll()
    {
        const zdtest::Ran usage = kestra({u"help"_s});
        const zdtest::Ran man = kestra({u"help"_s, u"--man"_s});
        const zdtest::Ran completion = kestra({u"help"_s, u"--bash-completion"_s});
        QVERIFY(usage.exit() == 0 && man.exit() == 0 && completion.exit() == 0);
        QVERIFY(man.out.contains(u".SH EXIT STATUS"_s) && man.out.contains(u".SH FILES"_s) && man.out.contains(u".SH ENVIRONMENT"_s));
        QStringList verbs;
        for (const QString &line : usage.out.split(u'\n'))
            if (line.startsWith(u"  "_s) && line.size() > 2 && line.at(2).isLower())
                verbs << line.mid(2).section(u' ', 0, 0);
        QVERIFY2(verbs.contains(u"schedules"_s) && verbs.contains(u"help"_s), qPrintable(usage.out));
        for (const QString &verb : std::as_const(verbs)) {
            QVERIFY2(man.out.contains(u".B "_s + QString(verb).replace(u'-', u"\\-"_s)), qPrintable(verb));
            QVERIFY2(completion.out.contains(verb), qPrintable(verb));
            const zdtest::Ran help = kestra({verb, u"--help"_s});
            QVERIFY2(help.exit() == 0 && help.out.startsWith(u"usage: kestra "_s + verb), qPrintable(help.out + help.err));
        }
        if (!QStandardPaths::findExecutable(u"bash"_s).isEmpty())
            QCOMPARE(zdtest::runProgram(u"bash"_s, {u"-n"_s}, {}, completion.out.toUtf8()).exit(), 0);
    }
    // The agent asked what it is answers and exits: no port, no log, no agent.
    void agentHelpStartsNoAgent()
    {
        const QString agent = qEnvironmentVariable("KESTRA_APPS_DIR") + u"/KestraClient.app/Contents/MacOS/KestraClient"_s;
        for (const QString &arg : {u"--help"_s, u"--version"_s}) {
            const zdtest::Ran r = zdtest::runProgram(agent, {arg});
            QCOMPARE(r.exit(), 0);
            QVERIFY2(r.out.startsWith(arg == "--help"_L1 ? u"usage: KestraClient"_s : u"KestraClient "_s), qPrintable(r.out));
            QVERIFY2(!r.out.contains(u"Listening"_s) && !r.out.contains(u"Starting up"_s), qPrintable(r.out));
        }
    }
    // No avahi-daemon to reach: said plainly, once, and no thread warning of Qt's.
    void withoutDnssd()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, u"unix:path="_s + m_console.path(u"no-bus"_s));
        const zdtest::Ran r = zdtest::runProgram(zdtest::buildPath(u"bin/kestra"_s), {u"list"_s, u"--wait"_s, u"1"_s}, env);
        QCOMPARE(r.exit(), 0);
        QCOMPARE(r.err, u"kestra: DNS-SD unavailable (the avahi daemon is not running); only computers entered by hand are reached\n"_s);
    }
};

QTEST_GUILESS_MAIN(TestZDCliParsing)
#include "tst_zdcliparsing.moc"
