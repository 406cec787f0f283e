#include "ZDException.h"
#include "ZDLog.h"
#include "ZDLocalPaths.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"

#include <QtTest>

#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

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
    static const QRegularExpression record(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} [+-]\\d{4} - (.+)$"));
    Records r;
    const QString text = QString::fromUtf8(ZDTestSandbox::readFile(path));
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        r.malformed << QStringLiteral("<no final newline>");
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

} // namespace

class TestZDLog : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_box;
    static QString helper() { return zdtest::helperPath(QStringLiteral("zdlog_child")); }
    QString logPath(const QString &name, int n) const
    {
        return ZDLog::logFolder() + QStringLiteral("/%1.%2.log").arg(name).arg(n);
    }
    QString globalPrefs() const
    {
        return ZDLocalPaths::prefsDirectory(true) + QStringLiteral("/com.zendrel.global.plist");
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
        const QString contents = m_box->path(QStringLiteral("apps/Tool.app/Contents"));
        const QString exe = contents + QStringLiteral("/MacOS/zdlog_child");
        QVERIFY(QDir().mkpath(contents + QStringLiteral("/MacOS")));
        QVERIFY(QFile::copy(helper(), exe));
        QVERIFY(ZDTestSandbox::writeFile(contents + QStringLiteral("/Info.plist"),
                                         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                         "<key>CFBundleVersion</key><string>4711</string></dict></plist>\n"));
        const Child c = run({QStringLiteral("create"), QStringLiteral("say=  \n padded\t \n"),
                             QStringLiteral("log=2:caf\u00e9")},
                            exe);
        QCOMPARE(c.code, 0);
        QCOMPARE(c.out, QString());
        // Unnamed, the log takes the executable's name.
        const Records r = readRecords(logPath(QStringLiteral("zdlog_child"), 1));
        QCOMPARE(r.malformed, QStringList());
        QCOMPARE(r.messages.size(), 8);
        QVERIFY(r.messages.at(0).contains(QRegularExpression(
            QStringLiteral("^Log started: \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} [+-]\\d{4}$"))));
        QCOMPARE(r.messages.at(1), QStringLiteral("Version: 4711"));
        QCOMPARE(r.messages.at(2), QStringLiteral("Path: ") + exe);
        QVERIFY2(r.messages.at(3).contains(
                     QRegularExpression(QStringLiteral("^System: \\S.*, [1-9]\\d* CPU\\(s\\), \\d+\\.\\d\\d GB RAM$"))),
                 qPrintable(r.messages.at(3)));
        QCOMPARE(r.messages.at(4), QStringLiteral("Running in 64-bit mode"));
        QCOMPARE(r.messages.mid(5), (QStringList{QStringLiteral("padded"), QStringLiteral("caf\u00e9 1"),
                                                 QStringLiteral("caf\u00e9 2")}));
        // A process of root keeps its log with the computer's.
        if (ZDLocalPaths::isRoot())
            QCOMPARE(ZDLog::logFolder(), m_box->root() + QStringLiteral("/var/log/Zendrel"));
    }
    void startupRotationKeepsFiveGenerations()
    {
        for (int n = 1; n <= 5; ++n)
            QVERIFY(ZDTestSandbox::writeFile(logPath(QStringLiteral("Gen"), n), "gen " + QByteArray::number(n) + "\n"));
        const Child c = run({QStringLiteral("create=Gen"), QStringLiteral("finish"), QStringLiteral("create=Ignored"),
                             QStringLiteral("available")});
        QCOMPARE(c.code, 0);
        // The second start rotated once more, under the name taken first.
        QStringList expected;
        for (int n = 1; n <= 5; ++n)
            expected << QStringLiteral("LOG ") + logPath(QStringLiteral("Gen"), n);
        QCOMPARE(c.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
        QCOMPARE(QDir(ZDLog::logFolder()).entryList(QDir::Files).size(), 5);
        QCOMPARE(ZDTestSandbox::readFile(logPath(QStringLiteral("Gen"), 3)), QByteArray("gen 1\n"));
        QCOMPARE(ZDTestSandbox::readFile(logPath(QStringLiteral("Gen"), 4)), QByteArray("gen 2\n"));
        QCOMPARE(ZDTestSandbox::readFile(logPath(QStringLiteral("Gen"), 5)), QByteArray("gen 3\n"));
        for (int n : {1, 2}) {
            const Records r = readRecords(logPath(QStringLiteral("Gen"), n));
            QCOMPARE(r.malformed, QStringList());
            QVERIFY(!r.messages.isEmpty());
            QVERIFY(r.messages.first().startsWith(QStringLiteral("Log started: ")));
        }
    }
    void rotationAfter500000Bytes()
    {
        const Child c = run({QStringLiteral("create=Big"), QStringLiteral("fill=600:1000"), QStringLiteral("finish")});
        QCOMPARE(c.code, 0);
        QCOMPARE(QDir(ZDLog::logFolder()).entryList(QDir::Files).size(), 2);
        const QByteArray older = ZDTestSandbox::readFile(logPath(QStringLiteral("Big"), 2));
        const qsizetype lastStart = older.lastIndexOf('\n', older.size() - 2) + 1;
        QVERIFY(older.size() >= 500000);
        QVERIFY(lastStart < 500000);
        const Records before = readRecords(logPath(QStringLiteral("Big"), 2));
        const Records after = readRecords(logPath(QStringLiteral("Big"), 1));
        QCOMPARE(before.malformed, QStringList());
        QCOMPARE(after.malformed, QStringList());
        QVERIFY(before.messages.last().startsWith(QLatin1Char('m')));
        // A fresh header (its lines are checked above), then the notice.
        QVERIFY(after.messages.value(0).startsWith(QStringLiteral("Log started: ")));
        QCOMPARE(after.messages.value(4), QStringLiteral("Log truncated at 500KB"));
        // Nothing lost or reordered across the two files.
        const QStringList all = withPrefix(before.messages + after.messages, QStringLiteral("m"));
        QCOMPARE(all.size(), 600);
        for (int n = 0; n < all.size(); ++n)
            QVERIFY(all.at(n).startsWith(QStringLiteral("m%1 ").arg(n + 1, 5, 10, QLatin1Char('0'))));
    }
    void disableSwitch_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("disabled");
        QTest::newRow("string 1") << QByteArray("<string>1</string>") << true;
        QTest::newRow("boolean true") << QByteArray("<true/>") << true;
        QTest::newRow("string true") << QByteArray("<string>true</string>") << false;
        QTest::newRow("integer 1") << QByteArray("<integer>1</integer>") << false;
        QTest::newRow("boolean false") << QByteArray("<false/>") << false;
        QTest::newRow("malformed file") << QByteArray("<dict><key>") << false;
    }
    void disableSwitch()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, disabled);
        QVERIFY(ZDTestSandbox::writeFile(globalPrefs(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                                                        "version=\"1.0\"><dict><key>disable-logging</key>"
                                                        + value + "</dict></plist>\n"));
        const Child c = run({QStringLiteral("create=Quiet"), QStringLiteral("log=3:hello"), QStringLiteral("finish")});
        QCOMPARE(c.code, 0);
        if (disabled) {
            QCOMPARE(c.out, QStringLiteral("Logging is disabled\n"));
            QVERIFY(!QFileInfo::exists(ZDLog::logFolder()));
        } else {
            QCOMPARE(c.out, QString());
            const Records r = readRecords(logPath(QStringLiteral("Quiet"), 1));
            QCOMPARE(r.malformed, QStringList());
            QCOMPARE(withPrefix(r.messages, QStringLiteral("hello")).join(QLatin1Char('|')), sequence(QStringLiteral("hello"), 3));
        }
    }
    void writingWithoutCreating()
    {
        // No current file: every message is given up with the two lines, nothing is created.
        Child c = run({QStringLiteral("log=2:lost")});
        QCOMPARE(c.code, 0);
        QCOMPARE(c.out, QStringLiteral("Unable to log the following information: lost 1\nUnable to open log for output\n"
                                       "Unable to log the following information: lost 2\nUnable to open log for output\n"));
        QVERIFY(!QFileInfo::exists(ZDLog::logFolder()));
        // A file left by an earlier run is appended to, not rotated.
        QCOMPARE(run({QStringLiteral("create"), QStringLiteral("log=1:first")}).code, 0);
        c = run({QStringLiteral("log=2:later"), QStringLiteral("available")});
        QCOMPARE(c.code, 0);
        QCOMPARE(c.out, QStringLiteral("LOG ") + logPath(QStringLiteral("zdlog_child"), 1) + QLatin1Char('\n'));
        const Records r = readRecords(logPath(QStringLiteral("zdlog_child"), 1));
        QCOMPARE(r.malformed, QStringList());
        QCOMPARE(withPrefix(r.messages, QStringLiteral("first")).size(), 1);
        QCOMPARE(r.messages.mid(r.messages.size() - 2), (QStringList{QStringLiteral("later 1"), QStringLiteral("later 2")}));
    }
    void printedTextIsFormattedOnce()
    {
        const Child c = run({QStringLiteral("create=Talk"), QStringLiteral("print=  50%% of %@ done  ")});
        QCOMPARE(c.code, 0);
        QCOMPARE(c.out, QStringLiteral("Said:   50%% of %@ done\n"));
        const Records r = readRecords(logPath(QStringLiteral("Talk"), 1));
        QCOMPARE(r.messages.last(), QStringLiteral("Said:   50%% of %@ done"));
    }
    void queuedRecordsSurviveTheEnd_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("after");
        QTest::newRow("return from main") << QStringList{QStringLiteral("create=End"), QStringLiteral("fast=15:e")} << 0;
        QTest::newRow("exit on another thread")
            << QStringList{QStringLiteral("create=End"), QStringLiteral("fast=15:e"), QStringLiteral("exit-thread")} << 0;
        // _exit skips every exit handler: only the application's quit wrote them.
        QTest::newRow("application quits")
            << QStringList{QStringLiteral("qapp"), QStringLiteral("create=End"), QStringLiteral("fast=15:e"),
                           QStringLiteral("quit"), QStringLiteral("_exit")}
            << 0;
        QTest::newRow("logging after quit")
            << QStringList{QStringLiteral("qapp"), QStringLiteral("create=End"), QStringLiteral("fast=15:e"),
                           QStringLiteral("quit"), QStringLiteral("fast=3:after")}
            << 3;
    }
    void queuedRecordsSurviveTheEnd()
    {
        QFETCH(QStringList, args);
        QFETCH(int, after);
        const Child c = run(args);
        QCOMPARE(c.status, QProcess::NormalExit);
        QCOMPARE(c.code, 0);
        const Records r = readRecords(logPath(QStringLiteral("End"), 1));
        QCOMPARE(r.malformed, QStringList());
        QCOMPARE(withPrefix(r.messages, QStringLiteral("e ")).join(QLatin1Char('|')), sequence(QStringLiteral("e"), 15));
        QCOMPARE(withPrefix(r.messages, QStringLiteral("after ")).size(), after);
    }
    void uncaughtExceptionIsLogged()
    {
        const Child c = run({QStringLiteral("create=Crash"), QStringLiteral("throw-thread=the disk caught fire")});
        QCOMPARE(c.status, QProcess::CrashExit);
        QVERIFY(c.out.split(QLatin1Char('\n')).contains(QStringLiteral("the disk caught fire")));
        QCOMPARE(readRecords(logPath(QStringLiteral("Crash"), 1)).messages.last(), QStringLiteral("the disk caught fire"));
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
        ZDLog::fastAppendLog(QStringLiteral("  \n\t \n"));
        ZDLog::appendLog(QStringLiteral("\n"));
        ZDLog::finishWriting();
        QCOMPARE(ZDLog::bytesWritten(), written);
        QCOMPARE(QFileInfo(path).size(), qint64(written));
        constexpr int kThreads = 4;
        constexpr int kEach = 300;
        const auto message = [](int t, int n) {
            // Short and long records, multi-byte characters.
            return QStringLiteral("T%1 %2 %3").arg(t).arg(n).arg(QString(n % 7 == 0 ? 300 : 3, QChar(0x00e9)));
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
            const QStringList mine = withPrefix(r.messages, QStringLiteral("T%1 ").arg(t));
            QCOMPARE(mine.size(), kEach);
            for (int n = 0; n < kEach; ++n)
                QCOMPARE(mine.at(n), message(t, n));
        }
    }
    void exceptionReports()
    {
        ZDLog::createNewLog();
        const ZDNamedException timeout(QString::fromLatin1(ZDException::kTimeoutName), QStringLiteral("no answer"));
        const std::runtime_error plain("disk full");
        QCOMPARE(ZDException::logException(timeout, "-[AppController initialConfiguration]"),
                 QStringLiteral("Exception in -[AppController initialConfiguration]. NSPortTimeoutException - no answer."));
        QCOMPARE(ZDException::logException(plain, "save"), QStringLiteral("Exception in save. std::runtime_error - disk full."));
        QVERIFY(ZDException::didTimeout(timeout));
        QVERIFY(!ZDException::didTimeout(ZDNamedException(QStringLiteral("nsporttimeoutexception"), QString())));
        ZDLog::finishWriting();
        const QStringList messages = readRecords(logPath(ZDLog::appName(), 1)).messages;
        QCOMPARE(messages.mid(messages.size() - 2),
                 (QStringList{QStringLiteral("Exception in -[AppController initialConfiguration]. NSPortTimeoutException - no answer."),
                              QStringLiteral("Exception in save. std::runtime_error - disk full.")}));
    }
};

QTEST_GUILESS_MAIN(TestZDLog)
#include "tst_zdlog.moc"
