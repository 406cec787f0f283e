#include "log/ZDException.h"
#include "log/ZDLog.h"
#include "platform/ZDLocalPaths.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include <QTimer>
#include <QtTest>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

using Child = zdtest::Ran;

struct Records
{
    QStringList messages;
    QStringList malformed;
};

// Splits a log into its messages; any line not in the record format lands in malformed.
Records readRecords(const QString &path)
{
    static const QRegularExpression record(u"^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} [+-]\\d{4} - (.+)$"_s);
    Records r;
    const QString text = QString::fromUtf8(ZDTestSandbox::readFile(path));
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        r.malformed << u"<no final newline>"_s;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const auto m = record.match(line);
        if (m.hasMatch())
            r.messages << m.captured(1);
        else
            r.malformed << line;
    }
    return r;
}

QStringList withPrefix(const QStringList &messages, const QString &prefix)
{
    QStringList out;
    for (const QString &m : messages)
        if (m.startsWith(prefix))
            out << m;
    return out;
}

QString sequence(const QString &prefix, int count)
{
    QStringList out;
    for (int n = 1; n <= count; ++n)
        out << prefix + QLatin1Char(' ') + QString::number(n);
    return out.join(QLatin1Char('|'));
}

// The child, a copy of this program under another name: a fresh process for the log, whose state is
// process-wide and several behaviours (start-up rotation, exit flushing, the terminate handler) only show
// in a new one.
// Arguments are commands run in order: "name" or "name=value".
//   qapp (first only)  run with a QCoreApplication; "quit" then runs and leaves its event loop
//   create[=NAME]      createNewLog
//   log=N:TEXT         N x appendLog("TEXT i")
//   fast=N:TEXT        N x fastAppendLog("TEXT i")
//   fill=N:SIZE        N x appendLog("m<i> " + SIZE x 'x')
//   say=TEXT           appendLog(TEXT)
//   print=TEXT         appendLogAndPrint("Said: %@", TEXT)
//   available          prints "LOG <path>" for each available log
//   finish             finishWriting
//   exit-thread        exit(0) from another thread
//   _exit              leave without any exit handler
//   throw-thread=TEXT  an uncaught exception with that reason on another thread
int runChild(int argc, char **argv)
{
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    return zdtest::runCommands(argc, argv, [](const QString &cmd, const QString &value, QCoreApplication *app) {
        const qsizetype colon = value.indexOf(QLatin1Char(':'));
        const qint64 count = value.left(colon).toLongLong();
        const QString rest = value.mid(colon + 1);
        if (cmd == QLatin1String("create")) {
            ZDLog::createNewLog(value);
        } else if (cmd == QLatin1String("log") || cmd == QLatin1String("fast")) {
            for (qint64 n = 1; n <= count; ++n) {
                if (cmd == QLatin1String("log"))
                    ZDLog::appendLog(QStringLiteral("%@ %li"), rest, n);
                else
                    ZDLog::fastAppendLog(QStringLiteral("%@ %li"), rest, n);
            }
        } else if (cmd == QLatin1String("fill")) {
            const QString padding(rest.toInt(), QLatin1Char('x'));
            for (qint64 n = 1; n <= count; ++n)
                ZDLog::appendLog(QStringLiteral("m%05li %@"), n, padding);
        } else if (cmd == QLatin1String("say")) {
            ZDLog::appendLog(value);
        } else if (cmd == QLatin1String("print")) {
            ZDLog::appendLogAndPrint(QStringLiteral("Said: %@"), value);
        } else if (cmd == QLatin1String("available")) {
            ZDLog::finishWriting();
            for (const QString &path : ZDLog::availableLogs())
                std::printf("LOG %s\n", path.toLocal8Bit().constData());
            std::fflush(stdout);
        } else if (cmd == QLatin1String("finish")) {
            ZDLog::finishWriting();
        } else if (cmd == QLatin1String("quit") && app) {
            QTimer::singleShot(0, app, &QCoreApplication::quit);
            app->exec();
        } else if (cmd == QLatin1String("exit-thread")) {
            std::thread([] { std::exit(0); }).join();
        } else if (cmd == QLatin1String("_exit")) {
            ::_exit(0);
        } else if (cmd == QLatin1String("throw-thread")) {
            std::thread([value] { throw ZDNamedException(QStringLiteral("Boom"), value); }).join();
        } else {
            return false;
        }
        return true;
    });
}

} // namespace

class TestZDLog : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_box;
    static QString helper()
    {
        static const QTemporaryDir bin;
        const QString path = bin.filePath(u"zdlog_child"_s);
        if (!QFile::exists(path))
            QFile::copy(QCoreApplication::applicationFilePath(), path);
        return path;
    }
    QString logPath(const QString &name, int n) const
    {
        return ZDLog::logFolder() + u"/%1.%2.log"_s.arg(name).arg(n);
    }
    QString globalPrefs() const
    {
        return ZDLocalPaths::prefsDirectory(true) + u"/com.zendrel.global.plist"_s;
    }
    static Child run(const QStringList &args, const QString &program = helper()) { return zdtest::runProgram(program, args); }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(QFileInfo(helper()).isExecutable(), qPrintable(helper())); }
    void init()
    {
        m_box = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_box->isValid());
    }
    void cleanup() { m_box.reset(); }
    void headerAndRecords()
    {
        // A program inside an application folder reports that folder's version.
        const QString contents = m_box->path(u"apps/Tool.app/Contents"_s);
        const QString exe = contents + u"/MacOS/zdlog_child"_s;
        QVERIFY(QDir().mkpath(contents + u"/MacOS"_s));
        QVERIFY(QFile::copy(helper(), exe));
        QVERIFY(ZDTestSandbox::writeFile(contents + u"/Info.plist"_s,
                                         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                         "<key>CFBundleVersion</key><string>4711</string></dict></plist>\n"));
        const Child c = run({u"create"_s, u"say=  \n padded\t \n"_s, u"log=2:caf\u00e9"_s}, exe);
        QCOMPARE(c.code, 0);
        QCOMPARE(c.out, QString());
        // Unnamed, the log takes the executable's name.
        const Records r = readRecords(logPath(u"zdlog_child"_s, 1));
        QCOMPARE(r.malformed, QStringList());
        QCOMPARE(r.messages.size(), 8);
        QVERIFY(r.messages.at(0).contains(QRegularExpression(
            u"^Log started: \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} [+-]\\d{4}$"_s)));
        QCOMPARE(r.messages.at(1), u"Version: 4711"_s);
        QCOMPARE(r.messages.at(2), u"Path: "_s + exe);
        QVERIFY2(r.messages.at(3).contains(
                     QRegularExpression(u"^System: \\S.*, [1-9]\\d* CPU\\(s\\), \\d+\\.\\d\\d GB RAM$"_s)),
                 qPrintable(r.messages.at(3)));
        QCOMPARE(r.messages.at(4), u"Running in 64-bit mode"_s);
        QCOMPARE(r.messages.mid(5), (QStringList{u"padded"_s, u"caf\u00e9 1"_s, u"caf\u00e9 2"_s}));
        // A process of root keeps its log with the computer's.
        if (ZDLocalPaths::isRoot())
            QCOMPARE(ZDLog::logFolder(), m_box->root() + u"/var/log/Zendrel"_s);
    }
    void startupRotationKeepsFiveGenerations()
    {
        for (int n = 1; n <= 5; ++n)
            QVERIFY(ZDTestSandbox::writeFile(logPath(u"Gen"_s, n), "gen " + QByteArray::number(n) + "\n"));
        const Child c = run({u"create=Gen"_s, u"finish"_s, u"create=Ignored"_s, u"available"_s});
        QCOMPARE(c.code, 0);
        // The second start rotated once more, under the name taken first.
        QStringList expected;
        for (int n = 1; n <= 5; ++n)
            expected << u"LOG "_s + logPath(u"Gen"_s, n);
        QCOMPARE(c.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
        QCOMPARE(QDir(ZDLog::logFolder()).entryList(QDir::Files).size(), 5);
        QCOMPARE(ZDTestSandbox::readFile(logPath(u"Gen"_s, 3)), QByteArray("gen 1\n"));
        QCOMPARE(ZDTestSandbox::readFile(logPath(u"Gen"_s, 4)), QByteArray("gen 2\n"));
        QCOMPARE(ZDTestSandbox::readFile(logPath(u"Gen"_s, 5)), QByteArray("gen 3\n"));
        for (int n : {1, 2}) {
            const Records r = readRecords(logPath(u"Gen"_s, n));
            QCOMPARE(r.malformed, QStringList());
            QVERIFY(!r.messages.isEmpty());
            QVERIFY(r.messages.first().startsWith(u"Log started: "_s));
        }
    }
    void rotationAfter500000Bytes()
    {
        const Child c = run({u"create=Big"_s, u"fill=600:1000"_s, u"finish"_s});
        QCOMPARE(c.code, 0);
        QCOMPARE(QDir(ZDLog::logFolder()).entryList(QDir::Files).size(), 2);
        const QByteArray older = ZDTestSandbox::readFile(logPath(u"Big"_s, 2));
        const qsizetype lastStart = older.lastIndexOf('\n', older.size() - 2) + 1;
        QVERIFY(older.size() >= 500000);
        QVERIFY(lastStart < 500000);
        const Records before = readRecords(logPath(u"Big"_s, 2));
        const Records after = readRecords(logPath(u"Big"_s, 1));
        QCOMPARE(before.malformed, QStringList());
        QCOMPARE(after.malformed, QStringList());
        QVERIFY(before.messages.last().startsWith(QLatin1Char('m')));
        // A fresh header (its lines are checked above), then the notice.
        QVERIFY(after.messages.value(0).startsWith(u"Log started: "_s));
        QCOMPARE(after.messages.value(4), u"Log truncated at 500KB"_s);
        // Nothing lost or reordered across the two files.
        const QStringList all = withPrefix(before.messages + after.messages, u"m"_s);
        QCOMPARE(all.size(), 600);
        for (int n = 0; n < all.size(); ++n)
            QVERIFY(all.at(n).startsWith(u"m%1 "_s.arg(n + 1, 5, 10, QLatin1Char('0'))));
    }
    void disableSwitch()
    {
        // Only the text 1 and true switch logging off; the switched-off runs come first, before any log folder.
        for (const auto &[value, disabled] : {std::pair {"<string>1</string>", true}, {"<true/>", true},
                                              {"<string>true</string>", false}, {"<integer>1</integer>", false},
                                              {"<false/>", false}, {"<dict><key>", false}}) {
            QVERIFY(ZDTestSandbox::writeFile(globalPrefs(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                                                            "version=\"1.0\"><dict><key>disable-logging</key>"
                                                            + QByteArray(value) + "</dict></plist>\n"));
            const Child c = run({u"create=Quiet"_s, u"log=3:hello"_s, u"finish"_s});
            QCOMPARE(c.code, 0);
            QCOMPARE(c.out, disabled ? u"Logging is disabled\n"_s : QString());
            QCOMPARE(QFileInfo::exists(ZDLog::logFolder()), !disabled);
            if (!disabled) {
                const Records r = readRecords(logPath(u"Quiet"_s, 1));
                QCOMPARE(r.malformed, QStringList());
                QCOMPARE(withPrefix(r.messages, u"hello"_s).join(u'|'), sequence(u"hello"_s, 3));
            }
        }
    }
    void writingWithoutCreating()
    {
        // No current file: every message is given up with the two lines, nothing is created.
        Child c = run({u"log=2:lost"_s});
        QCOMPARE(c.code, 0);
        QCOMPARE(c.out, QStringLiteral("Unable to log the following information: lost 1\nUnable to open log for output\n"
                                       "Unable to log the following information: lost 2\nUnable to open log for output\n"));
        QVERIFY(!QFileInfo::exists(ZDLog::logFolder()));
        // A file left by an earlier run is appended to, not rotated.
        QCOMPARE(run({u"create"_s, u"log=1:first"_s}).code, 0);
        c = run({u"log=2:later"_s, u"available"_s});
        QCOMPARE(c.code, 0);
        QCOMPARE(c.out, u"LOG "_s + logPath(u"zdlog_child"_s, 1) + QLatin1Char('\n'));
        const Records r = readRecords(logPath(u"zdlog_child"_s, 1));
        QCOMPARE(r.malformed, QStringList());
        QCOMPARE(withPrefix(r.messages, u"first"_s).size(), 1);
        QCOMPARE(r.messages.mid(r.messages.size() - 2), (QStringList{u"later 1"_s, u"later 2"_s}));
    }
    void printedTextIsFormattedOnce()
    {
        const Child c = run({u"create=Talk"_s, u"print=  50%% of %@ done  "_s});
        QCOMPARE(c.code, 0);
        QCOMPARE(c.out, u"Said:   50%% of %@ done\n"_s);
        const Records r = readRecords(logPath(u"Talk"_s, 1));
        QCOMPARE(r.messages.last(), u"Said:   50%% of %@ done"_s);
    }
    void queuedRecordsSurviveTheEnd()
    {
        // Returning from main, exit on another thread, the application's quit before _exit (which skips every
        // exit handler), and records logged after the quit.
        const QStringList base{u"create=End"_s, u"fast=15:e"_s}, app = QStringList{u"qapp"_s} + base;
        for (const auto &[args, after] : {std::pair {base, 0}, {base + QStringList{u"exit-thread"_s}, 0},
                                          {app + QStringList{u"quit"_s, u"_exit"_s}, 0},
                                          {app + QStringList{u"quit"_s, u"fast=3:after"_s}, 3}}) {
            const Child c = run(args);
            QCOMPARE(c.status, QProcess::NormalExit);
            QCOMPARE(c.code, 0);
            const Records r = readRecords(logPath(u"End"_s, 1));
            QCOMPARE(r.malformed, QStringList());
            QCOMPARE(withPrefix(r.messages, u"e "_s).join(u'|'), sequence(u"e"_s, 15));
            QCOMPARE(withPrefix(r.messages, u"after "_s).size(), after);
        }
    }
    void uncaughtExceptionIsLogged()
    {
        const Child c = run({u"create=Crash"_s, u"throw-thread=the disk caught fire"_s});
        QCOMPARE(c.status, QProcess::CrashExit);
        QVERIFY(c.out.split(QLatin1Char('\n')).contains(u"the disk caught fire"_s));
        QCOMPARE(readRecords(logPath(u"Crash"_s, 1)).messages.last(), u"the disk caught fire"_s);
    }
    // In this process from here on: the singleton follows each new sandbox through createNewLog.
    void concurrentWritersKeepRecordsWhole()
    {
        ZDLog::createNewLog();
        ZDLog::finishWriting();
        const QString path = logPath(ZDLog::appName(), 1);
        QCOMPARE(ZDLog::availableLogs(), QStringList{path});
        // Blank messages neither reach the file nor touch a counter.
        const quint32 written = ZDLog::bytesWritten();
        ZDLog::fastAppendLog(u"  \n\t \n"_s);
        ZDLog::appendLog(u"\n"_s);
        ZDLog::finishWriting();
        QCOMPARE(ZDLog::bytesWritten(), written);
        QCOMPARE(QFileInfo(path).size(), qint64(written));
        constexpr int kThreads = 4;
        constexpr int kEach = 300;
        const auto message = [](int t, int n) {
            // Short and long records, multi-byte characters.
            return u"T%1 %2 %3"_s.arg(t).arg(n).arg(QString(n % 7 == 0 ? 300 : 3, QChar(0x00e9)));
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, message] {
                for (int n = 0; n < kEach; ++n) {
                    if (t % 2) // the entry that may wait, and the one that never does
                        ZDLog::appendLog(message(t, n));
                    else
                        ZDLog::fastAppendLog(message(t, n));
                }
            });
        }
        for (auto &th : threads)
            th.join();
        ZDLog::finishWriting();
        const Records r = readRecords(path);
        QCOMPARE(r.malformed, QStringList());
        QCOMPARE(qint64(ZDLog::bytesWritten()), QFileInfo(path).size());
        QCOMPARE(ZDLog::bytesInQueue(), 0u);
        for (int t = 0; t < kThreads; ++t) {
            const QStringList mine = withPrefix(r.messages, u"T%1 "_s.arg(t));
            QCOMPARE(mine.size(), kEach);
            for (int n = 0; n < kEach; ++n)
                QCOMPARE(mine.at(n), message(t, n));
        }
    }
    void exceptionReports()
    {
        ZDLog::createNewLog();
        const ZDNamedException timeout(QString::fromLatin1(ZDException::kTimeoutName), u"no answer"_s);
        const std::runtime_error plain("disk full");
        QCOMPARE(ZDException::logException(timeout, "-[AppController initialConfiguration]"),
                 u"Exception in -[AppController initialConfiguration]. NSPortTimeoutException - no answer."_s);
        QCOMPARE(ZDException::logException(plain, "save"), u"Exception in save. std::runtime_error - disk full."_s);
        QVERIFY(ZDException::didTimeout(timeout));
        QVERIFY(!ZDException::didTimeout(ZDNamedException(u"nsporttimeoutexception"_s, QString())));
        ZDLog::finishWriting();
        const QStringList messages = readRecords(logPath(ZDLog::appName(), 1)).messages;
        QCOMPARE(messages.mid(messages.size() - 2),
                 (QStringList{u"Exception in -[AppController initialConfiguration]. NSPortTimeoutException - no answer."_s,
                              u"Exception in save. std::runtime_error - disk full."_s}));
    }
};

int main(int argc, char **argv)
{
    if (QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() != u"shared_tst_zdlog"_s) // a copy: the child
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestZDLog test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_zdlog.moc"
