#include "log/ZDCrashHandler.h"
#include "log/ZDException.h"
#include "log/ZDFennick.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "plist/ZDPropertyList.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "ZDTestTransfer.h"
#include <QtTest>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;

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
    static const QRegularExpression line(u"^REPORT (.*)$"_s, QRegularExpression::MultilineOption);
    return line.match(out).captured(1);
}

// The child, a copy of this program under another name: records its runs for the crash check and then
// ends the way it is told, dying of a real fatal signal where asked.
// Arguments are commands run in order: "name" or "name=value".
//   qapp (first only)  run with a QCoreApplication (the crash notice needs its event loop)
//   name=NAME          application name for later commands (default: the program's own)
//   plist=PATH         settings file for later commands (default: the program's own settings)
//   create             ZDLog::createNewLog(name)
//   install            ZDCrashHandler::install(name)
//   start              startFennick; the notice prints "CRASHED <path>"
//   stop               stopFennick
//   check              prints "REPORT <path>", or "REPORT -" when none
//   events             delivers what was queued for the main thread
//   segv | segv-thread | abort | throw | overflow   die

void say(const QString &text) { zdtest::say(text.toUtf8()); }

[[noreturn]] void segfault()
{
    // Opaque to the compiler, so the store really happens.
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int *>(address) = 1;
    std::abort();
}

volatile bool g_bottomless = true;

int recurse(int depth)
{
    volatile char frame[1024];
    frame[0] = char(depth);
    if (!g_bottomless)
        return frame[0];
    return recurse(depth + 1) + frame[0];
}

int runChild(int argc, char **argv)
{
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    QString name;
    QString plist;
    const int rc = zdtest::runCommands(argc, argv, [&](const QString &cmd, const QString &value, QCoreApplication *app) {
        if (cmd == QLatin1String("name")) {
            name = value;
        } else if (cmd == QLatin1String("plist")) {
            plist = value;
        } else if (cmd == QLatin1String("create")) {
            ZDLog::createNewLog(name);
        } else if (cmd == QLatin1String("install")) {
            say(QStringLiteral("INSTALLED %1").arg(ZDCrashHandler::install(name)));
        } else if (cmd == QLatin1String("start")) {
            ZDFennick::startFennick(name, plist, [](const QString &report) { say(QStringLiteral("CRASHED ") + report); });
        } else if (cmd == QLatin1String("stop")) {
            ZDFennick::stopFennick(plist);
        } else if (cmd == QLatin1String("check")) {
            const QString report = ZDFennick::checkForCrashes(name, plist);
            say(QStringLiteral("REPORT ") + (report.isEmpty() ? QStringLiteral("-") : report));
        } else if (cmd == QLatin1String("events") && app) {
            QCoreApplication::processEvents();
        } else if (cmd == QLatin1String("segv")) {
            segfault();
        } else if (cmd == QLatin1String("segv-thread")) {
            std::thread(segfault).join();
        } else if (cmd == QLatin1String("abort")) {
            std::abort();
        } else if (cmd == QLatin1String("throw")) {
            throw ZDNamedException(QStringLiteral("Boom"), QStringLiteral("thrown on purpose"));
        } else if (cmd == QLatin1String("overflow")) {
            std::exit(recurse(0));
        } else {
            return false;
        }
        return true;
    });
    ZDLog::finishWriting();
    return rc;
}

} // namespace

class TestZDFennick : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_box;
    QTemporaryDir m_bin;
    QString helper() const { return m_bin.filePath(u"zdfennick_child"_s); }
    static QString standIn() { return qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Fennick.app"_s; }
    QString standInLog() const { return m_box->path(u"standin.log"_s); }
    QString settings() const { return m_box->path(u"home/.config/com.zendrel.Test.plist"_s); }
    static QString userLogs() { return ZDLocalPaths::logDirectory(true); }
    // A root process's reports are the computer's.
    static QString ownReports() { return ZDLocalPaths::logDirectory(!ZDLocalPaths::isRoot()) + u"/DiagnosticReports"_s; }
    static QString folder(int index) { return ZDFennick::reportFolders().at(index); }
    static QString logOf(const QString &name)
    {
        return QString::fromUtf8(ZDTestSandbox::readFile(ZDLog::logFolder() + QLatin1Char('/') + name + u".1.log"_s));
    }
    static QStringList reportsIn(const QString &dir, const QString &name)
    {
        const QRegularExpression pattern(u"^%1_\\d{4}-\\d{2}-\\d{2}-\\d{6}\\.crash$"_s.arg(name));
        QStringList found;
        for (const QString &entry : QDir(dir).entryList(QDir::Files))
            if (pattern.match(entry).hasMatch())
                found << QDir(dir).filePath(entry);
        return found;
    }
    static void setLaunch(const QString &path, const QDateTime &launch)
    {
        QVERIFY(ZDPropertyList::writeFile(path, QVariantMap{{u"launch"_s, launch}}));
    }
    static void setGlobal(const QVariant &disable)
    {
        QVERIFY(ZDPropertyList::writeFile(ZDLocalPaths::prefsDirectory(true) + u"/com.zendrel.global.plist"_s,
                                          QVariantMap{{u"disable-crash-reporter"_s, disable}}));
    }
    void installStandIn() const
    {
        const QString apps = ZDLocalPaths::applicationDirectory(true);
        QVERIFY(QDir().mkpath(apps));
        QVERIFY(QFile::link(standIn(), apps + u"/Fennick.app"_s));
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
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), helper()));
        QVERIFY2(QFileInfo(standIn() + u"/Contents/MacOS/Fennick"_s).isExecutable(), qPrintable(standIn()));
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
        ZDLog::createNewLog(u"tst_zdfennick"_s);
    }
    void cleanup() { m_box.reset(); }
    // Launch and exit dates decide whether the last run ended cleanly.
    void recordsRuns()
    {
        // The program's own settings, or a given file.
        for (const bool givenFile : {false, true}) {
            const QString file = givenFile ? settings()
                                           : ZDLocalPaths::prefsDirectory(true) + u"/zdfennick_child.plist"_s;
            const QStringList plist = givenFile ? QStringList{u"plist="_s + file} : QStringList{};
            Run r = run(plist + QStringList{u"start"_s}, helper());
            QCOMPARE(r.status, QProcess::NormalExit);
            QVariantMap dates = ZDPropertyList::readDictionary(file);
            QCOMPARE(dates.value(u"launch"_s).typeId(), int(QMetaType::QDateTime));
            QVERIFY(!dates.contains(u"exit"_s));
            // Ended without recording its exit, but no report was written: no crash.
            QCOMPARE(reportLine(run(plist + QStringList{u"check"_s}, helper()).out), u"-"_s);
            r = run(plist + QStringList{u"start"_s, u"stop"_s}, helper());
            QCOMPARE(r.status, QProcess::NormalExit);
            dates = ZDPropertyList::readDictionary(file);
            QVERIFY(dates.value(u"exit"_s).toDateTime() >= dates.value(u"launch"_s).toDateTime());
            // A report newer than the launch does not matter after a clean exit.
            const QString report = folder(1) + u"/zdfennick_child_2099-01-01-000000.crash"_s;
            QVERIFY(ZDTestSandbox::writeFile(report, "crash"));
            QCOMPARE(reportLine(run(plist + QStringList{u"check"_s}, helper()).out), u"-"_s);
            QVERIFY(QFile::remove(report));
        }
    }
    // A real crash leaves a report that the next run finds, logs and opens with the tool.
    void crashReportFoundByNextRun()
    {
        // A fault, one on another thread, a stack overflow, an abort, an uncaught exception.
        for (const auto &[how, signal, signalName] :
             {std::tuple {"segv", SIGSEGV, "SIGSEGV"}, {"segv-thread", SIGSEGV, "SIGSEGV"}, {"overflow", SIGSEGV, "SIGSEGV"},
              {"abort", SIGABRT, "SIGABRT"}, {"throw", SIGABRT, "SIGABRT"}}) {
            const QString name = u"Crashy"_s + QString::fromLatin1(how).remove(u'-');
            const QStringList common{u"name="_s + name, u"plist="_s + settings()};
            const Run crashed = run(common + QStringList{u"start"_s, QString::fromLatin1(how)}, helper());
            QCOMPARE(crashed.status, QProcess::CrashExit);
            QCOMPARE(crashed.code, signal);
            QVERIFY2(crashed.err.contains(u"fatal signal "_s + QLatin1String(signalName)), qPrintable(crashed.err));
            const QStringList reports = reportsIn(ownReports(), name);
            QCOMPARE(reports.size(), 1);
            const QString report = reports.first();
            const QString text = QString::fromUtf8(ZDTestSandbox::readFile(report));
            QVERIFY2(text.startsWith(u"Process:         "_s + name + u" ["_s), qPrintable(text));
            QVERIFY(text.contains(u"\nVersion:         "_s));
            QVERIFY(text.contains(u"\nPath:            "_s + helper() + QLatin1Char('\n')));
            QVERIFY(text.contains(u"\nException Type:  "_s + QLatin1String(signalName)));
            const QString backtrace = text.section(u"\nBacktrace:\n"_s, 1);
            QVERIFY2(backtrace.count(u"[0x"_s) >= 3, qPrintable(text));
            const Run next = run(QStringList{u"qapp"_s} + common + QStringList{u"create"_s, u"start"_s, u"events"_s},
                                 helper());
            QCOMPARE(next.status, QProcess::NormalExit);
            QVERIFY2(next.out.contains(u"CRASHED "_s + report + QLatin1Char('\n')), qPrintable(next.out));
            const QString log = logOf(name);
            QVERIFY2(log.contains(u" - Application crashed on last launch\n"_s), qPrintable(log));
            QVERIFY(log.contains(u" - Opening crash report "_s + report));
            expectStandInOpened(report);
        }
    }
    // Inside an application folder the program's name, identifier, version and the
    // tool among its resources come from the folder.
    void bundledProgram()
    {
        const QString bundle = m_box->path(u"opt/Crashy Tool.app"_s);
        const QString exe = bundle + u"/Contents/MacOS/crashy"_s;
        QVERIFY(QDir().mkpath(bundle + u"/Contents/MacOS"_s));
        QVERIFY(QDir().mkpath(bundle + u"/Contents/Resources"_s));
        QVERIFY(QFile::copy(helper(), exe));
        QVERIFY(QFile::setPermissions(exe, QFile::permissions(helper())));
        QVERIFY(QFile::link(standIn(), bundle + u"/Contents/Resources/Fennick.app"_s));
        QVERIFY(ZDPropertyList::writeFile(bundle + u"/Contents/Info.plist"_s,
                                          QVariantMap{{u"CFBundleName"_s, u"Crashy"_s},
                                                      {u"CFBundleIdentifier"_s, u"com.zendrel.Crashy"_s},
                                                      {u"CFBundleExecutable"_s, u"crashy"_s},
                                                      {u"CFBundleShortVersionString"_s, u"2.5"_s},
                                                      {u"CFBundleVersion"_s, u"250"_s}}));
        const Run crashed = run({u"start"_s, u"segv"_s}, exe);
        QCOMPARE(crashed.status, QProcess::CrashExit);
        const QString ownSettings = ZDLocalPaths::prefsDirectory(true) + u"/com.zendrel.Crashy.plist"_s;
        QVERIFY(ZDPropertyList::readDictionary(ownSettings).contains(u"launch"_s));
        const QStringList reports = reportsIn(ownReports(), u"Crashy"_s);
        QCOMPARE(reports.size(), 1);
        const QString text = QString::fromUtf8(ZDTestSandbox::readFile(reports.first()));
        QVERIFY2(text.contains(u"\nIdentifier:      com.zendrel.Crashy\n"_s), qPrintable(text));
        QVERIFY(text.contains(u"\nVersion:         2.5 (250)\n"_s));
        const Run next = run({u"create"_s, u"check"_s}, exe);
        QCOMPARE(reportLine(next.out), reports.first());
        QVERIFY(logOf(u"crashy"_s).contains(u" - Opening crash report %1 with %2\n"_s
                                                            .arg(reports.first(), bundle + u"/Contents/Resources/Fennick.app"_s)));
        expectStandInOpened(reports.first());
    }
    // Which report counts: by prefix (ignoring case), the last by name in the first
    // folder that has one newer than the launch.
    void reportSelection()
    {
        // Entries "<folder index>:<kind>:<name>" (kind fresh|stale|dir|dangling), the report "<folder index>:<name>".
        const struct { QStringList entries; QString expected; } rows[] = {
            {{}, {}}, {{"1:stale:App_1.crash"}, {}}, // none, or older than the launch
            {{"1:fresh:Other_1.crash", "1:fresh:App.crash", "1:fresh:Apple_1.crash"}, {}}, // other programs
            {{"1:fresh:aPP_1.crash"}, "1:aPP_1.crash"}, // the prefix ignores case
            {{"1:fresh:App_2026-02-01.crash", "1:fresh:App_2026-01-01.crash"}, "1:App_2026-02-01.crash"},
            {{"1:fresh:App_1.crash", "1:stale:App_2.crash"}, {}}, // only the last counts
            {{"1:fresh:App_9.crash", "0:fresh:App_1.crash"}, "0:App_1.crash"}, // crash reporter folder first
            {{"3:fresh:App_9.crash", "1:fresh:App_1.crash"}, "1:App_1.crash"}, // the user's before the computer's
            {{"0:stale:App_9.crash", "3:fresh:App_1.crash"}, "3:App_1.crash"}, // a stale folder passes on
            {{"2:fresh:App_1.crash"}, "2:App_1.crash"},
            {{"1:fresh:App_1.crash", "1:dir:App_8", "1:dangling:App_9.crash"}, "1:App_1.crash"}};
        for (const auto &[entries, expected] : rows) {
            m_box.reset(); // each row in a sandbox of its own
            m_box = std::make_unique<ZDTestSandbox>();
            setGlobal(u"1"_s);
            const QDateTime launch = QDateTime::currentDateTimeUtc().addSecs(-3600);
            setLaunch(settings(), launch);
            for (const QString &entry : entries) {
                const QStringList parts = entry.split(QLatin1Char(':'));
                const QString path = folder(parts.at(0).toInt()) + QLatin1Char('/') + parts.at(2);
                QVERIFY(QDir().mkpath(QFileInfo(path).path()));
                if (parts.at(1) == "dir"_L1) {
                    QVERIFY(QDir().mkpath(path));
                } else if (parts.at(1) == "dangling"_L1) {
                    QVERIFY(QFile::link(m_box->path(u"nowhere"_s), path));
                } else {
                    QVERIFY(ZDTestSandbox::writeFile(path, "report"));
                    setModified(path, launch.addSecs(parts.at(1) == "fresh"_L1 ? 1800 : -3600));
                }
            }
            const QString want = expected.isEmpty() ? QString()
                : folder(expected.section(u':', 0, 0).toInt()) + u'/' + expected.section(u':', 1);
            QVERIFY2(ZDFennick::checkForCrashes(u"App"_s, settings()) == want, qPrintable(entries.join(u' ')));
        }
    }
    // Settings and report folders are untrusted: anything reads as "no crash" or is ignored.
    void untrustedInput()
    {
        // Garbage, truncated binary, not a dictionary, a launch or an exit that is no date.
        const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
        for (const auto &[contents, found] :
             {std::pair {QByteArray("\x00\xff garbage <plist", 16), false}, {QByteArray("bplist00\xd1\x01\x02", 11), false},
              {head + "<array><date>2001-01-01T00:00:00Z</date></array></plist>", false},
              {head + "<dict><key>launch</key><string>yesterday</string></dict></plist>", false},
              {head + "<dict><key>launch</key><date>2001-01-01T00:00:00Z</date><key>exit</key><string>later</string></dict></plist>",
               true}}) {
            setGlobal(u"1"_s);
            QVERIFY(ZDTestSandbox::writeFile(settings(), contents));
            // Report folders that are files, not folders, are simply empty.
            QVERIFY(ZDTestSandbox::writeFile(folder(0), "not a folder"));
            const QString report = folder(1) + u"/App_1.crash"_s;
            QVERIFY(ZDTestSandbox::writeFile(report, "report"));
            QCOMPARE(ZDFennick::checkForCrashes(u"App"_s, settings()), found ? report : QString());
            // The next start replaces what it could not read.
            QCOMPARE(run({u"name=App"_s, u"plist="_s + settings(), u"start"_s}, helper()).status, QProcess::NormalExit);
            QCOMPARE(ZDPropertyList::readDictionary(settings()).value(u"launch"_s).typeId(), int(QMetaType::QDateTime));
        }
    }
    // "disable-crash-reporter": only the text "1" or true stops the tool; the report is still found.
    void disableSwitch()
    {
        for (const auto &[value, disabled] : {std::pair {QVariant(u"1"_s), true}, {QVariant(true), true},
                                              {QVariant(u"true"_s), false}, {QVariant(qint64(1)), false},
                                              {QVariant(false), false}}) {
            QFile::remove(standInLog());
            setGlobal(value);
            setLaunch(settings(), QDateTime::currentDateTimeUtc().addSecs(-3600));
            const QString report = folder(1) + u"/App_1.crash"_s;
            QVERIFY(ZDTestSandbox::writeFile(report, "report"));
            const Run r = run({u"name=App"_s, u"plist="_s + settings(), u"create"_s, u"check"_s}, helper());
            QCOMPARE(reportLine(r.out), report);
            const QString log = logOf(u"App"_s);
            QVERIFY(log.contains(u" - Application crashed on last launch\n"_s));
            QCOMPARE(log.contains(u" - Crash reporter disabled\n"_s), disabled);
            QCOMPARE(log.contains(u" - Opening crash report "_s), !disabled);
            if (!disabled)
                expectStandInOpened(report);
        }
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
        const QStringList paths{m_box->path(u"Users/daemon/Library/a.plist"_s),
                                m_box->path(u"home/daemon/.config/b.plist"_s),
                                m_box->path(u"Users/no-such-user-here/c.plist"_s), m_box->path(u"elsewhere/d.plist"_s)};
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

int main(int argc, char **argv)
{
    if (QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() != u"shared_tst_zdfennick"_s) // a copy: the child
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestZDFennick test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_zdfennick.moc"
