#include "ZDFennick.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDPropertyList.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"

#include <QtTest>

#include <csignal>
#include <memory>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Run = zdtest::Ran;

Run run(const QStringList &arguments, const QString &program) { return zdtest::runProgram(program, arguments); }

void setModified(const QString &path, const QDateTime &when)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(when, QFileDevice::FileModificationTime));
}

QString reportLine(const QString &out)
{
    static const QRegularExpression line(QStringLiteral("^REPORT (.*)$"), QRegularExpression::MultilineOption);
    return line.match(out).captured(1);
}

} // namespace

class TestZDFennick : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_box;
    static QString helper() { return zdtest::helperPath(QStringLiteral("zdfennick_child")); }
    static QString standIn() { return qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/Fennick.app"); }
    QString standInLog() const { return m_box->path(QStringLiteral("standin.log")); }
    QString settings() const { return m_box->path(QStringLiteral("home/.config/com.zendrel.Test.plist")); }
    static QString userLogs() { return ZDLocalPaths::logDirectory(true); }
    static QString folder(int index) { return ZDFennick::reportFolders().at(index); }
    static QString logOf(const QString &name)
    {
        return QString::fromUtf8(
            ZDTestSandbox::readFile(ZDLog::logFolder() + QLatin1Char('/') + name + QStringLiteral(".1.log")));
    }
    static QStringList reportsIn(const QString &dir, const QString &name)
    {
        const QRegularExpression pattern(QStringLiteral("^%1_\\d{4}-\\d{2}-\\d{2}-\\d{6}\\.crash$").arg(name));
        QStringList found;
        for (const QString &entry : QDir(dir).entryList(QDir::Files))
            if (pattern.match(entry).hasMatch())
                found << QDir(dir).filePath(entry);
        return found;
    }
    static void setLaunch(const QString &path, const QDateTime &launch)
    {
        QVERIFY(ZDPropertyList::writeFile(path, QVariantMap{{QStringLiteral("launch"), launch}}));
    }
    static void setGlobal(const QVariant &disable)
    {
        QVERIFY(ZDPropertyList::writeFile(ZDLocalPaths::prefsDirectory(true) + QStringLiteral("/com.zendrel.global.plist"),
                                          QVariantMap{{QStringLiteral("disable-crash-reporter"), disable}}));
    }
    void installStandIn() const
    {
        const QString apps = ZDLocalPaths::applicationDirectory(true);
        QVERIFY(QDir().mkpath(apps));
        QVERIFY(QFile::link(standIn(), apps + QStringLiteral("/Fennick.app")));
    }
    // Waits for the stand-in, started without waiting, to record its opening.
    void expectStandInOpened(const QString &report) const
    {
        QTRY_VERIFY_WITH_TIMEOUT(ZDTestSandbox::readFile(standInLog()).contains(("Fennick\t" + report + '\n').toUtf8()),
                                 30000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(helper()).isExecutable(), qPrintable(helper()));
        QVERIFY2(QFileInfo(standIn() + QStringLiteral("/Contents/MacOS/Fennick")).isExecutable(), qPrintable(standIn()));
    }
    void init()
    {
        m_box = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_box->isValid());
        m_box->setEnv("KESTRA_STANDIN_LOG", standInLog().toUtf8());
        // In a sanitizer build the crashes must still end in their signal, not in a sanitizer report.
        QByteArray asan = qgetenv("ASAN_OPTIONS");
        asan += (asan.isEmpty() ? "" : ":") + QByteArray("handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0");
        m_box->setEnv("ASAN_OPTIONS", asan);
        installStandIn();
        ZDLog::createNewLog(QStringLiteral("tst_zdfennick"));
    }
    void cleanup() { m_box.reset(); }
    // Launch and exit dates decide whether the last run ended cleanly.
    void recordsRuns_data()
    {
        QTest::addColumn<bool>("givenFile");
        QTest::newRow("program's own settings") << false;
        QTest::newRow("given settings file") << true;
    }
    void recordsRuns()
    {
        QFETCH(bool, givenFile);
        const QString file = givenFile ? settings()
                                       : ZDLocalPaths::prefsDirectory(true) + QStringLiteral("/zdfennick_child.plist");
        const QStringList plist = givenFile ? QStringList{QStringLiteral("plist=") + file} : QStringList{};
        Run r = run(plist + QStringList{QStringLiteral("start")}, helper());
        QCOMPARE(r.status, QProcess::NormalExit);
        QVariantMap dates = ZDPropertyList::readDictionary(file);
        QCOMPARE(dates.value(QStringLiteral("launch")).typeId(), int(QMetaType::QDateTime));
        QVERIFY(!dates.contains(QStringLiteral("exit")));
        // Ended without recording its exit, but no report was written: no crash.
        QCOMPARE(reportLine(run(plist + QStringList{QStringLiteral("check")}, helper()).out), QStringLiteral("-"));
        r = run(plist + QStringList{QStringLiteral("start"), QStringLiteral("stop")}, helper());
        QCOMPARE(r.status, QProcess::NormalExit);
        dates = ZDPropertyList::readDictionary(file);
        QVERIFY(dates.value(QStringLiteral("exit")).toDateTime() >= dates.value(QStringLiteral("launch")).toDateTime());
        // A report newer than the launch does not matter after a clean exit.
        const QString report = folder(1) + QStringLiteral("/zdfennick_child_2099-01-01-000000.crash");
        QVERIFY(ZDTestSandbox::writeFile(report, "crash"));
        QCOMPARE(reportLine(run(plist + QStringList{QStringLiteral("check")}, helper()).out), QStringLiteral("-"));
    }
    // A real crash leaves a report that the next run finds, logs and opens with the tool.
    void crashReportFoundByNextRun_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("signalName");
        QTest::newRow("segmentation fault") << "segv" << SIGSEGV << "SIGSEGV";
        QTest::newRow("fault on another thread") << "segv-thread" << SIGSEGV << "SIGSEGV";
        QTest::newRow("stack overflow") << "overflow" << SIGSEGV << "SIGSEGV";
        QTest::newRow("abort") << "abort" << SIGABRT << "SIGABRT";
        QTest::newRow("uncaught exception") << "throw" << SIGABRT << "SIGABRT";
    }
    void crashReportFoundByNextRun()
    {
        QFETCH(QString, how);
        QFETCH(int, signal);
        QFETCH(QString, signalName);
        const QStringList common{QStringLiteral("name=Crashy"), QStringLiteral("plist=") + settings()};
        const Run crashed = run(common + QStringList{QStringLiteral("start"), how}, helper());
        QCOMPARE(crashed.status, QProcess::CrashExit);
        QCOMPARE(crashed.code, signal);
        QVERIFY2(crashed.err.contains(QStringLiteral("fatal signal ") + signalName), qPrintable(crashed.err));
        const QStringList reports = reportsIn(userLogs() + QStringLiteral("/DiagnosticReports"), QStringLiteral("Crashy"));
        QCOMPARE(reports.size(), 1);
        const QString report = reports.first();
        const QString text = QString::fromUtf8(ZDTestSandbox::readFile(report));
        QVERIFY2(text.startsWith(QStringLiteral("Process:         Crashy [")), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("\nVersion:         ")));
        QVERIFY(text.contains(QStringLiteral("\nPath:            ") + helper() + QLatin1Char('\n')));
        QVERIFY(text.contains(QStringLiteral("\nException Type:  ") + signalName));
        const QString backtrace = text.section(QStringLiteral("\nBacktrace:\n"), 1);
        QVERIFY2(backtrace.count(QStringLiteral("[0x")) >= 3, qPrintable(text));
        const Run next = run(QStringList{QStringLiteral("qapp")} + common
                                 + QStringList{QStringLiteral("create"), QStringLiteral("start"), QStringLiteral("events")},
                             helper());
        QCOMPARE(next.status, QProcess::NormalExit);
        QVERIFY2(next.out.contains(QStringLiteral("CRASHED ") + report + QLatin1Char('\n')), qPrintable(next.out));
        const QString log = logOf(QStringLiteral("Crashy"));
        QVERIFY2(log.contains(QStringLiteral(" - Application crashed on last launch\n")), qPrintable(log));
        QVERIFY(log.contains(QStringLiteral(" - Opening crash report ") + report));
        expectStandInOpened(report);
    }
    // Inside an application folder the program's name, identifier, version and the
    // tool among its resources come from the folder.
    void bundledProgram()
    {
        const QString bundle = m_box->path(QStringLiteral("opt/Crashy Tool.app"));
        const QString exe = bundle + QStringLiteral("/Contents/MacOS/crashy");
        QVERIFY(QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS")));
        QVERIFY(QDir().mkpath(bundle + QStringLiteral("/Contents/Resources")));
        QVERIFY(QFile::copy(helper(), exe));
        QVERIFY(QFile::setPermissions(exe, QFile::permissions(helper())));
        QVERIFY(QFile::link(standIn(), bundle + QStringLiteral("/Contents/Resources/Fennick.app")));
        QVERIFY(ZDPropertyList::writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
                                          QVariantMap{{QStringLiteral("CFBundleName"), QStringLiteral("Crashy")},
                                                      {QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.zendrel.Crashy")},
                                                      {QStringLiteral("CFBundleExecutable"), QStringLiteral("crashy")},
                                                      {QStringLiteral("CFBundleShortVersionString"), QStringLiteral("2.5")},
                                                      {QStringLiteral("CFBundleVersion"), QStringLiteral("250")}}));
        const Run crashed = run({QStringLiteral("start"), QStringLiteral("segv")}, exe);
        QCOMPARE(crashed.status, QProcess::CrashExit);
        const QString ownSettings = ZDLocalPaths::prefsDirectory(true) + QStringLiteral("/com.zendrel.Crashy.plist");
        QVERIFY(ZDPropertyList::readDictionary(ownSettings).contains(QStringLiteral("launch")));
        const QStringList reports = reportsIn(userLogs() + QStringLiteral("/DiagnosticReports"), QStringLiteral("Crashy"));
        QCOMPARE(reports.size(), 1);
        const QString text = QString::fromUtf8(ZDTestSandbox::readFile(reports.first()));
        QVERIFY2(text.contains(QStringLiteral("\nIdentifier:      com.zendrel.Crashy\n")), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("\nVersion:         2.5 (250)\n")));
        const Run next = run({QStringLiteral("create"), QStringLiteral("check")}, exe);
        QCOMPARE(reportLine(next.out), reports.first());
        QVERIFY(logOf(QStringLiteral("crashy")).contains(QStringLiteral(" - Opening crash report %1 with %2\n")
                                                            .arg(reports.first(), bundle + QStringLiteral("/Contents/Resources/Fennick.app"))));
        expectStandInOpened(reports.first());
    }
    // Which report counts: by prefix (ignoring case), the last by name in the first
    // folder that has one newer than the launch.
    void reportSelection_data()
    {
        QTest::addColumn<QStringList>("entries"); // "<folder index>:<kind>:<name>", kind fresh|stale|dir|dangling
        QTest::addColumn<QString>("expected");    // "<folder index>:<name>" or empty
        QTest::newRow("no reports") << QStringList{} << "";
        QTest::newRow("older than the launch") << QStringList{"1:stale:App_1.crash"} << "";
        QTest::newRow("other programs") << QStringList{"1:fresh:Other_1.crash", "1:fresh:App.crash", "1:fresh:Apple_1.crash"}
                                        << "";
        QTest::newRow("prefix ignores case") << QStringList{"1:fresh:aPP_1.crash"} << "1:aPP_1.crash";
        QTest::newRow("last by name") << QStringList{"1:fresh:App_2026-02-01.crash", "1:fresh:App_2026-01-01.crash"}
                                      << "1:App_2026-02-01.crash";
        QTest::newRow("only the last counts") << QStringList{"1:fresh:App_1.crash", "1:stale:App_2.crash"} << "";
        QTest::newRow("crash reporter folder first") << QStringList{"1:fresh:App_9.crash", "0:fresh:App_1.crash"}
                                                     << "0:App_1.crash";
        QTest::newRow("user before local") << QStringList{"3:fresh:App_9.crash", "1:fresh:App_1.crash"} << "1:App_1.crash";
        QTest::newRow("stale folder passes on") << QStringList{"0:stale:App_9.crash", "3:fresh:App_1.crash"}
                                                << "3:App_1.crash";
        QTest::newRow("local crash reporter folder") << QStringList{"2:fresh:App_1.crash"} << "2:App_1.crash";
        QTest::newRow("folders and dangling links ignored")
            << QStringList{"1:fresh:App_1.crash", "1:dir:App_8", "1:dangling:App_9.crash"} << "1:App_1.crash";
    }
    void reportSelection()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, expected);
        setGlobal(QStringLiteral("1"));
        const QDateTime launch = QDateTime::currentDateTimeUtc().addSecs(-3600);
        setLaunch(settings(), launch);
        for (const QString &entry : entries) {
            const QStringList parts = entry.split(QLatin1Char(':'));
            const QString path = folder(parts.at(0).toInt()) + QLatin1Char('/') + parts.at(2);
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            if (parts.at(1) == QLatin1String("dir")) {
                QVERIFY(QDir().mkpath(path));
            } else if (parts.at(1) == QLatin1String("dangling")) {
                QVERIFY(QFile::link(m_box->path(QStringLiteral("nowhere")), path));
            } else {
                QVERIFY(ZDTestSandbox::writeFile(path, "report"));
                setModified(path, launch.addSecs(parts.at(1) == QLatin1String("fresh") ? 1800 : -3600));
            }
        }
        const QString want = expected.isEmpty()
                                 ? QString()
                                 : folder(expected.section(QLatin1Char(':'), 0, 0).toInt()) + QLatin1Char('/')
                                       + expected.section(QLatin1Char(':'), 1);
        QCOMPARE(ZDFennick::checkForCrashes(QStringLiteral("App"), settings()), want);
    }
    // Settings and report folders are untrusted: anything reads as "no crash" or is ignored.
    void untrustedInput_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("found");
        const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
        QTest::newRow("garbage") << QByteArray("\x00\xff garbage <plist", 16) << false;
        QTest::newRow("truncated binary") << QByteArray("bplist00\xd1\x01\x02", 11) << false;
        QTest::newRow("not a dictionary") << head + "<array><date>2001-01-01T00:00:00Z</date></array></plist>" << false;
        QTest::newRow("launch not a date") << head + "<dict><key>launch</key><string>yesterday</string></dict></plist>"
                                           << false;
        QTest::newRow("exit not a date") << head + "<dict><key>launch</key><date>2001-01-01T00:00:00Z</date>"
                                                   "<key>exit</key><string>later</string></dict></plist>"
                                         << true;
    }
    void untrustedInput()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, found);
        setGlobal(QStringLiteral("1"));
        QVERIFY(ZDTestSandbox::writeFile(settings(), contents));
        // Report folders that are files, not folders, are simply empty.
        QVERIFY(ZDTestSandbox::writeFile(folder(0), "not a folder"));
        const QString report = folder(1) + QStringLiteral("/App_1.crash");
        QVERIFY(ZDTestSandbox::writeFile(report, "report"));
        QCOMPARE(ZDFennick::checkForCrashes(QStringLiteral("App"), settings()), found ? report : QString());
        // The next start replaces what it could not read.
        QCOMPARE(run({QStringLiteral("name=App"), QStringLiteral("plist=") + settings(), QStringLiteral("start")}, helper()).status,
                 QProcess::NormalExit);
        QCOMPARE(ZDPropertyList::readDictionary(settings()).value(QStringLiteral("launch")).typeId(),
                 int(QMetaType::QDateTime));
    }
    // "disable-crash-reporter": only the text "1" or true stops the tool; the report is still found.
    void disableSwitch_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("disabled");
        QTest::newRow("text 1") << QVariant(QStringLiteral("1")) << true;
        QTest::newRow("true") << QVariant(true) << true;
        QTest::newRow("text true") << QVariant(QStringLiteral("true")) << false;
        QTest::newRow("integer 1") << QVariant(qint64(1)) << false;
        QTest::newRow("false") << QVariant(false) << false;
    }
    void disableSwitch()
    {
        QFETCH(QVariant, value);
        QFETCH(bool, disabled);
        setGlobal(value);
        setLaunch(settings(), QDateTime::currentDateTimeUtc().addSecs(-3600));
        const QString report = folder(1) + QStringLiteral("/App_1.crash");
        QVERIFY(ZDTestSandbox::writeFile(report, "report"));
        const Run r = run({QStringLiteral("name=App"), QStringLiteral("plist=") + settings(), QStringLiteral("create"),
                           QStringLiteral("check")},
                          helper());
        QCOMPARE(reportLine(r.out), report);
        const QString log = logOf(QStringLiteral("App"));
        QVERIFY(log.contains(QStringLiteral(" - Application crashed on last launch\n")));
        QCOMPARE(log.contains(QStringLiteral(" - Crash reporter disabled\n")), disabled);
        QCOMPARE(log.contains(QStringLiteral(" - Opening crash report ")), !disabled);
        if (!disabled)
            expectStandInOpened(report);
    }
    // A file written by root into a home folder goes back to the folder's user.
    void chownPlist()
    {
        if (::geteuid() != 0)
            QSKIP("changing a file's owner needs root");
        const passwd *daemon = ::getpwnam("daemon");
        if (!daemon)
            QSKIP("no user \"daemon\" on this machine");
        const uid_t uid = daemon->pw_uid;
        const QStringList paths{m_box->path(QStringLiteral("Users/daemon/Library/a.plist")),
                                m_box->path(QStringLiteral("home/daemon/.config/b.plist")),
                                m_box->path(QStringLiteral("Users/no-such-user-here/c.plist")),
                                m_box->path(QStringLiteral("elsewhere/d.plist"))};
        for (const QString &path : paths) {
            QVERIFY(ZDTestSandbox::writeFile(path, "plist"));
            ZDFennick::chownPlist(path);
        }
        const auto owner = [](const QString &path) {
            struct stat st {};
            return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_uid : uid_t(-1);
        };
        QCOMPARE(owner(paths.at(0)), uid);
        QCOMPARE(owner(paths.at(1)), uid);
        QCOMPARE(owner(paths.at(2)), uid_t(0));
        QCOMPARE(owner(paths.at(3)), uid_t(0));
    }
};

QTEST_GUILESS_MAIN(TestZDFennick)
#include "tst_zdfennick.moc"
