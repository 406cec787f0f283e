// The log operations on real files in a sandbox: which files are listed and in
// what order, the guard on paths from the network (outside files, "..", links),
// size bounds, cancellation and the empty case.
#include "ZDClientLogs.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"

#include <QtTest>

#include <optional>

class TestZDClientLogs : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_outer; // holds this program's own log
    QString m_logPath;
    std::optional<ZDTestSandbox> m_sandbox;
    QStringList m_posted;
    std::optional<ZDClientLogs> m_logs;
    QString userLogs() const { return ZDLocalPaths::logDirectory(true); }
    QString localLogs() const { return ZDLocalPaths::logDirectory(false); }
    static QString put(const QString &path, const QByteArray &contents)
    {
        QDir().mkpath(QFileInfo(path).path());
        return ZDTestSandbox::writeFile(path, contents) ? path : QString();
    }
    QByteArray logText()
    {
        ZDLog::finishWriting();
        QFile file(m_logPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void initTestCase()
    {
        ZDLog::createNewLog(QStringLiteral("tst_zdclientlogs"));
        ZDLog::appendLog(QStringLiteral("Start"));
        ZDLog::finishWriting();
        m_logPath = ZDLog::availableLogs().value(0);
        QVERIFY(!m_logPath.isEmpty());
    }
    void init()
    {
        m_sandbox.emplace();
        m_posted.clear();
        m_logs.emplace([this](const QString &text) { m_posted << text; });
    }
    void cleanup()
    {
        m_logs.reset();
        m_sandbox.reset();
    }
    void listingOrder()
    {
        const QStringList expected{
            put(userLogs() + QStringLiteral("/Zendrel/KestraAdmin.1.log"), "admin\n"),
            put(userLogs() + QStringLiteral("/Zendrel/KestraClient.1.log"), "client\n"),
            put(userLogs() + QStringLiteral("/CrashReporter/KestraClient_2026-12-01.crash"), "crash\n"),
            put(userLogs() + QStringLiteral("/DiagnosticReports/KestraClient_2026-12-03-101500.crash"), "handler\n"),
            put(localLogs() + QStringLiteral("/Zendrel/KestraClient.1.log"), "root client\n"),
            put(localLogs() + QStringLiteral("/CrashReporter/KestraClient_2026-12-02.crash"), "root crash\n"),
            put(localLogs() + QStringLiteral("/DiagnosticReports/KestraClient_2026-12-04-101500.crash"), "root handler\n"),
        };
        put(userLogs() + QStringLiteral("/DiagnosticReports/Kestra Admin_2026-12-01-101500.crash"), "no");
        put(userLogs() + QStringLiteral("/Zendrel/notes.txt"), "no");
        put(userLogs() + QStringLiteral("/CrashReporter/KestraAdmin_2026-12-01.crash"), "no");
        put(userLogs() + QStringLiteral("/CrashReporter/KestraClient_x.log"), "no");
        QDir().mkpath(userLogs() + QStringLiteral("/Zendrel/folder.log"));
        QCOMPARE(m_logs->populateZDLogFilenames(), expected);
        QCOMPARE(m_logs->logWithFilename(expected[1]), QVariant(QStringLiteral("client\n")));
        QCOMPARE(m_logs->fcsCrashLog(expected[5]), QVariant(QStringLiteral("root crash\n")));
        QVERIFY(m_posted.isEmpty());
    }
    void pathsFromTheNetworkAreGuarded()
    {
        const QString listed = put(userLogs() + QStringLiteral("/Zendrel/KestraClient.1.log"), "client\n");
        const QString secret = put(m_sandbox->path(QStringLiteral("secret.txt")), "secret\n");
        const QString secretLog = put(m_sandbox->path(QStringLiteral("elsewhere/private.log")), "secret\n");
        const QString unlisted = put(userLogs() + QStringLiteral("/Zendrel/notes.txt"), "notes\n");
        const QString link = userLogs() + QStringLiteral("/Zendrel/escape.log");
        QVERIFY(QFile::link(secretLog, link));
        const QString linkedCrash = userLogs() + QStringLiteral("/CrashReporter/KestraClient_evil.crash");
        QDir().mkpath(QFileInfo(linkedCrash).path());
        QVERIFY(QFile::link(secret, linkedCrash));
        QVERIFY(!m_logs->populateZDLogFilenames().contains(link));
        const QStringList refused{secret, unlisted, link,
                                  userLogs() + QStringLiteral("/Zendrel/../../../../secret.txt"),
                                  userLogs() + QStringLiteral("/DiagnosticReports/../../../../secret.txt"),
                                  QStringLiteral("relative.log"), QString(), QString(5000, QLatin1Char('a'))};
        for (const QString &path : refused) {
            m_posted.clear();
            QVERIFY2(!m_logs->logWithFilename(path).isValid(), qPrintable(path));
            QCOMPARE(m_posted, QStringList{QStringLiteral("Unable to get log %1 - file doesn't exist.").arg(path.left(4096))});
        }
        m_posted.clear();
        QVERIFY(!m_logs->fcsCrashLog(linkedCrash).isValid());
        QCOMPARE(m_posted, QStringList{QStringLiteral("Unable to load crash log for file %1 - file doesn't exist").arg(linkedCrash)});
        // A crash folder that is itself a link is not looked into.
        const QString hidden = put(m_sandbox->path(QStringLiteral("hidden/KestraClient_1.crash")), "secret\n");
        QDir().mkpath(localLogs());
        QVERIFY(QFile::link(QFileInfo(hidden).path(), localLogs() + QStringLiteral("/CrashReporter")));
        const QString viaLink = localLogs() + QStringLiteral("/CrashReporter/KestraClient_1.crash");
        QVERIFY(!m_logs->populateZDLogFilenames().contains(viaLink));
        m_posted.clear();
        QVERIFY(!m_logs->fcsCrashLog(viaLink).isValid());
        QCOMPARE(m_posted.size(), 1);
        // A roundabout way to a listed file is still that file.
        QCOMPARE(m_logs->logWithFilename(userLogs() + QStringLiteral("/Zendrel/../Zendrel/KestraClient.1.log")),
                 QVariant(QStringLiteral("client\n")));
        // Deleted since listing.
        QFile::remove(listed);
        m_posted.clear();
        QVERIFY(!m_logs->logWithFilename(listed).isValid());
        QCOMPARE(m_posted.size(), 1);
        QVERIFY(m_posted[0].contains(listed));
    }
    void bigFilesGiveTheirNewestPart()
    {
        QByteArray big;
        const QByteArray line(1023, 'x');
        const int lines = int(ZDClientLogs::kMaxFileBytes / 1024) + 1024;
        big.reserve(qsizetype(lines) * 1024 + 16);
        for (int i = 0; i < lines; ++i)
            big += line + '\n';
        big += "last line\n";
        const QString path = put(userLogs() + QStringLiteral("/Zendrel/KestraClient.1.log"), big);
        big.clear();
        const QString text = m_logs->logWithFilename(path).toString();
        QVERIFY(text.size() <= ZDClientLogs::kMaxFileBytes);
        QVERIFY(text.size() > ZDClientLogs::kMaxFileBytes / 2);
        QVERIFY(text.endsWith(QLatin1String("last line\n")));
        QVERIFY(text.startsWith(QString(1023, QLatin1Char('x')) + QLatin1Char('\n')));
    }
    void gatherAllCancelledAndEmpty()
    {
        // Only an empty log folder: none.
        QDir().mkpath(userLogs() + QStringLiteral("/Zendrel"));
        std::atomic<bool> cancelled{false};
        QVERIFY(!m_logs->gatherLogs(cancelled).isValid());
        QVERIFY(logText().contains("No logs found."));
        const QString a = put(userLogs() + QStringLiteral("/Zendrel/KestraClient.1.log"), "client\n");
        const QString b = put(localLogs() + QStringLiteral("/CrashReporter/KestraClient_1.crash"), QByteArray("\0\x01", 2));
        QVERIFY(QFile::link(m_sandbox->path(QStringLiteral("secret.txt")), userLogs() + QStringLiteral("/Zendrel/x.log")));
        put(m_sandbox->path(QStringLiteral("secret.txt")), "secret");
        cancelled = true;
        QVERIFY(!m_logs->gatherLogs(cancelled).isValid());
        // The next request starts afresh.
        cancelled = false;
        const QVariant gathered = m_logs->gatherLogs(cancelled);
        QCOMPARE(gathered.toMap(), (QVariantMap{{a, QByteArray("client\n")}, {b, QByteArray("\0\x01", 2)}}));
        QVERIFY(logText().contains("Gathering logs..."));
    }
};

QTEST_GUILESS_MAIN(TestZDClientLogs)
#include "tst_zdclientlogs.moc"
