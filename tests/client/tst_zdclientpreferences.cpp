// The agent's settings and identity in a sandboxed home: the preferences and
// global files as consoles read and write them, the configuration dictionary,
// the host name rule, the bundle's place and the computer icon; the agent's naming and
// listening rules, and agents in one process; the log operations; the callback registry.
#include "ZDEnrolledPeer.h"
#include "ZDRealAgent.h"
#include "agent/AppController.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientLogs.h"
#include "agent/ZDClientPreferences.h"
#include "link/ZDConnection.h"
#include "link/ZDConnectionServer.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "rpc/ZDNameRegistry.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "ZDRecordingConsole.h"
#include "session/ZDStatusItem.h"
#include "ZDTestSandbox.h"

#include <QImage>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace ZDOrv;

const QString kHost = QStringLiteral("Test-Host.local.");

// A console: its link to the agent and the callback object it registered.
// Calls to it run on the test's main thread (the link's owner thread).
struct Console : ZDRecordingConsole
{
    using ZDRecordingConsole::ZDRecordingConsole;
    std::shared_ptr<ZDConnection> link;
};

} // namespace

class TestZDClientPreferences : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_sandbox; // holds this program's own log
    QString m_logPath;
    std::optional<ZDTestSandbox> m_box; // each case's own
    QStringList m_posted;
    std::optional<ZDClientLogs> m_logs;
    std::unique_ptr<ZDCallbackRegistry> m_registry;
    std::unique_ptr<ZDConnectionServer> m_server;
    // Connects a console and registers its callback object, as a console does after connecting.
    std::unique_ptr<Console> connectConsole(const QStringList &ops = ZDRecordingConsole::allOperations())
    {
        auto console = std::make_unique<Console>(ops);
        console->link = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        console->link->rootProxy()->callOneway(QString::fromLatin1(kSetErrorCallback),
                                               {QVariant::fromValue(console->object)});
        return console;
    }
    // Everything sent before a marker has arrived once the marker has.
    bool drained(Console &console)
    {
        const int before = console.countOf(QString::fromLatin1(kIncrementProgress));
        m_registry->incrementRemoteProgress();
        return QTest::qWaitFor([&] { return console.countOf(QString::fromLatin1(kIncrementProgress)) > before; }, 20000);
    }
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
    QString makeBundle(const QString &path, const QVariantMap &info)
    {
        QDir().mkpath(path + QStringLiteral("/Contents/MacOS"));
        ZDTestSandbox::writeFile(path + QStringLiteral("/Contents/MacOS/KestraClient"), "#!/bin/sh\n");
        ZDPropertyList::writeFile(path + QStringLiteral("/Contents/Info.plist"), info);
        return path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        ZDLog::createNewLog(QStringLiteral("tst_zdclientpreferences"));
        ZDLog::appendLog(QStringLiteral("Start"));
        ZDLog::finishWriting();
        m_logPath = ZDLog::availableLogs().value(0);
        QVERIFY(!m_logPath.isEmpty());
    }
    void init()
    {
        m_box.emplace();
        m_posted.clear();
        m_logs.emplace([this](const QString &text) { m_posted << text; });
        m_registry = std::make_unique<ZDCallbackRegistry>([] { return kHost; });
        m_server = std::make_unique<ZDConnectionServer>();
        auto root = ZDRemoteObject::create();
        root->addOperation(QString::fromLatin1(kSetErrorCallback), [this](const QVariantList &args) {
            m_registry->setErrorCallback(ZDRemoteProxy::fromVariant(args.value(0)));
            return QVariant();
        }, ZDRemoteObject::Call::Oneway);
        m_server->setRootObject(root);
        QVERIFY(m_server->listen(QStringLiteral("127.0.0.1"), 0));
    }
    void cleanup()
    {
        QFile::remove(ZDClientPreferences().preferencesPath());
        QFile::remove(ZDClientPreferences().globalPreferencesPath());
        m_server.reset();
        m_registry.reset();
        m_logs.reset();
        m_box.reset();
    }
    void preferencesFileIsReadEveryTime()
    {
        const ZDClientPreferences prefs;
        QCOMPARE(prefs.preferencesPath(), ZDLocalPaths::prefsDirectory(true) + QStringLiteral("/com.zendrel.KestraClient.plist"));
        QVERIFY(!prefs.objectForPreferenceDictionaryKey(QStringLiteral("customPort")).isValid());
        QCOMPARE(prefs.integerPreference(QStringLiteral("showMenuBarIcon"), 1), 1);
        QVERIFY(!prefs.setObject(QVariant(), QStringLiteral("customPort")));
        QVERIFY(!prefs.setObject(qint64(4000), QString()));
        QVERIFY(!QFile::exists(prefs.preferencesPath()));
        QVERIFY(prefs.setObject(qint64(4000), QStringLiteral("customPort")));
        QCOMPARE(prefs.integerPreference(QStringLiteral("customPort"), 0), 4000);
        // The pane rewrites the file behind our back: the next lookup sees it.
        QVERIFY(ZDPropertyList::writeFile(prefs.preferencesPath(), QVariantMap({{QStringLiteral("customPort"), qint64(5000)}})));
        QCOMPARE(prefs.objectForPreferenceDictionaryKey(QStringLiteral("customPort")).toLongLong(), 5000);
        // A damaged file reads as empty and the next write starts afresh.
        QVERIFY(ZDTestSandbox::writeFile(prefs.preferencesPath(), "<plist><dict><key>x"));
        QCOMPARE(prefs.integerPreference(QStringLiteral("customPort"), -7), -7);
        QVERIFY(prefs.setObject(QStringLiteral("1.0"), QStringLiteral("lastRunVersion")));
        QCOMPARE(ZDPropertyList::readDictionary(prefs.preferencesPath()).size(), 1);
    }
    void settingsFromConsoles()
    {
        const ZDClientPreferences prefs;
        const QVariantMap defaults = prefs.networkClientSettings();
        QCOMPARE(defaults, QVariantMap({{QStringLiteral("autoUpdateCheck"), qint64(1)}, {QStringLiteral("showMenuBarIcon"), qint64(1)},
                                {QStringLiteral("enableMaintenanceRequests"), qint64(1)}, {QStringLiteral("globalUpdateCheck"), qint64(1)}}));
        // Every value -1: nothing written, the global file untouched, the menu-bar item left alone.
        QVERIFY(prefs.setObject(qint64(0), QStringLiteral("showMenuBarIcon")));
        QVERIFY(ZDPropertyList::writeFile(prefs.globalPreferencesPath(), QVariantMap({{QStringLiteral("SUCheckAtStartup"), qint64(1)}})));
        const QByteArray prefsBefore = ZDTestSandbox::readFile(prefs.preferencesPath());
        const QByteArray globalBefore = ZDTestSandbox::readFile(prefs.globalPreferencesPath());
        QVariantMap unchanged;
        for (const QString &key : defaults.keys())
            unchanged.insert(key, qint64(-1));
        QVERIFY(prefs.setNetworkClientSettings(unchanged) == ZDClientPreferences::MenuBarAction::Leave);
        QCOMPARE(ZDTestSandbox::readFile(prefs.preferencesPath()), prefsBefore);
        QCOMPARE(ZDTestSandbox::readFile(prefs.globalPreferencesPath()), globalBefore);
        // Values are stored, unknown keys are not; the global file only when it exists.
        QVERIFY(prefs.setNetworkClientSettings(QVariantMap({{QStringLiteral("autoUpdateCheck"), qint64(0)},
                                                    {QStringLiteral("showMenuBarIcon"), qint64(1)},
                                                    {QStringLiteral("futureSetting"), QStringLiteral("on")},
                                                    {QStringLiteral("globalUpdateCheck"), qint64(0)}}))
                == ZDClientPreferences::MenuBarAction::Show);
        QCOMPARE(prefs.networkClientSettings().value(QStringLiteral("autoUpdateCheck")).toLongLong(), 0);
        QCOMPARE(prefs.networkClientSettings().value(QStringLiteral("globalUpdateCheck")).toLongLong(), 0);
        QVERIFY(!prefs.objectForPreferenceDictionaryKey(QStringLiteral("futureSetting")).isValid());
        QVERIFY(!prefs.objectForPreferenceDictionaryKey(QStringLiteral("globalUpdateCheck")).isValid());
        QVERIFY(prefs.setNetworkClientSettings(QVariantMap({{QStringLiteral("showMenuBarIcon"), qint64(0)}}))
                == ZDClientPreferences::MenuBarAction::Hide);
        QFile::remove(prefs.globalPreferencesPath());
        prefs.setNetworkClientSettings(QVariantMap({{QStringLiteral("globalUpdateCheck"), qint64(1)}}));
        QVERIFY(!QFile::exists(prefs.globalPreferencesPath()));
        // A global file we cannot read is not replaced by one holding only our key.
        QVERIFY(ZDTestSandbox::writeFile(prefs.globalPreferencesPath(), "not a plist"));
        prefs.setNetworkClientSettings(QVariantMap({{QStringLiteral("globalUpdateCheck"), qint64(1)}}));
        QCOMPARE(ZDTestSandbox::readFile(prefs.globalPreferencesPath()), QByteArray("not a plist"));
    }
    void configurationInFixedOrder()
    {
        const QString bundle = makeBundle(m_sandbox.path(QStringLiteral("apps/KestraClient.app")),
                                          QVariantMap({{QStringLiteral("CFBundleVersion"), QStringLiteral("120")},
                                               {QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.2")}}));
        const ZDClientPreferences prefs(QString(), bundle);
        // No tool suite: the dictionary ends before "orvVersion".
        QCOMPARE(prefs.configuration(true, {}, true),
                 QVariantMap({{QStringLiteral("version"), QStringLiteral("120")}, {QStringLiteral("versionString"), QStringLiteral("1.2")},
                      {QStringLiteral("maintenanceRequested"), true}}));
        const QVariantMap orv = QVariantMap({{QStringLiteral("version"), QStringLiteral("300")}, {QStringLiteral("versionString"), QStringLiteral("3.0")}});
        QVariantMap config = prefs.configuration(false, orv, false);
        QCOMPARE(config.value(QStringLiteral("minAdminVersion")), QVariant(QStringLiteral("0")));
        QCOMPARE(config.value(QStringLiteral("orvVersionString")), QVariant(QStringLiteral("3.0")));
        QCOMPARE(config.size(), 6);
        config = prefs.configuration(false, orv, true);
        QCOMPARE(config.size(), 8);
        QCOMPARE(config.value(QStringLiteral("preferredHostName")).toString(), ZDClientPreferences::hostName());
        QVERIFY(config.value(QStringLiteral("hostNames")).toList().contains(ZDClientPreferences::primaryHostName()));
        makeBundle(bundle, QVariantMap({{QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.2")},
                                {QStringLiteral("ZDMinAdminVersion"), QStringLiteral("110")}}));
        QVERIFY(prefs.configuration(false, orv, true).isEmpty());
        makeBundle(bundle, QVariantMap({{QStringLiteral("CFBundleVersion"), QStringLiteral("121")},
                                {QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.2.1")},
                                {QStringLiteral("ZDMinAdminVersion"), QStringLiteral("110")}}));
        QCOMPARE(prefs.configuration(false, orv, false).value(QStringLiteral("minAdminVersion")), QVariant(QStringLiteral("110")));
    }
    void hostNameRule()
    {
        // As typed, all lower case, the final dot kept, not a local name.
        const struct { QStringList names; const char *primary, *expected; } cases[] = {
            {{QStringLiteral("edit-suite-3.local"), QStringLiteral("Edit-Suite-3.local"), QStringLiteral("Other.local")},
             "edit-suite-3.local", "Edit-Suite-3.local."},
            {{QStringLiteral("edit-suite-3.local"), QStringLiteral("edit-suite-3")}, "edit-suite-3.local", "edit-suite-3.local."},
            {{QStringLiteral("Suite.local.")}, "suite.local", "Suite.local."},
            {{QStringLiteral("Suite.example.com")}, "suite.local", "suite.local."}};
        for (const auto &c : cases)
            QCOMPARE(ZDClientPreferences::chooseHostName(c.names, QString::fromLatin1(c.primary)), QString::fromLatin1(c.expected));
        QVERIFY(ZDClientPreferences::hostName().endsWith(QLatin1Char('.')));
        QVERIFY(!ZDClientPreferences::hostName().endsWith(QLatin1String("..")));
    }
    void identity()
    {
        const QString a = ZDClientPreferences::generateUUID();
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")).match(a).hasMatch());
        QVERIFY(a != ZDClientPreferences::generateUUID());
        // Not installed, not started from a bundle: the preference pane's copy.
        QCOMPARE(ZDClientPreferences::bundlePath(),
                 ZDLocalPaths::libraryDirectory(false) + QStringLiteral("/PreferencePanes/Kestra Client.prefPane"));
        const QString installed = makeBundle(ZDLocalPaths::applicationDirectory(false) + QStringLiteral("/Zendrel/KestraClient.app"),
                                             QVariantMap({{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.zendrel.KestraClient")}}));
        QCOMPARE(ZDClientPreferences::bundlePath(), installed);
        // Started by the service manager inside "Contents/MacOS" of a copy that is not installed.
        QFile::remove(installed + QStringLiteral("/Contents/MacOS/KestraClient"));
        const QString copy = makeBundle(m_sandbox.path(QStringLiteral("copy/KestraClient.app")), {});
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(copy + QStringLiteral("/Contents/MacOS")));
        const QString found = ZDClientPreferences::bundlePath();
        QDir::setCurrent(cwd);
        QCOMPARE(QFileInfo(found).canonicalFilePath(), QFileInfo(copy).canonicalFilePath());
    }
    void computerIcon()
    {
        QImage icon;
        QVERIFY(icon.loadFromData(ZDClientPreferences::computerIcon(), "PNG"));
        QCOMPARE(icon.size(), QSize(16, 16));
        // Asked sizes are bounded.
        QVERIFY(icon.loadFromData(ZDClientPreferences::computerIcon(QSize(100000, 0)), "PNG"));
        QCOMPARE(icon.size(), QSize(ZDClientPreferences::kMaxIconSide, 1));
        QVERIFY(ZDClientPreferences::scaleImageData("not an image", QSize(16, 16)).isEmpty());
        QVERIFY(ZDClientPreferences::scaleImageData(ZDClientPreferences::computerIcon(), QSize(-1, 16)).isEmpty());
    }
    // The log operations on real files: which files are listed and in what order, the guard on paths from
    // the network (outside files, "..", links), size bounds, cancellation and the empty case.
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
        const QString secret = put(m_box->path(QStringLiteral("secret.txt")), "secret\n");
        const QString secretLog = put(m_box->path(QStringLiteral("elsewhere/private.log")), "secret\n");
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
        const QString hidden = put(m_box->path(QStringLiteral("hidden/KestraClient_1.crash")), "secret\n");
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
        QVERIFY(QFile::link(m_box->path(QStringLiteral("secret.txt")), userLogs() + QStringLiteral("/Zendrel/x.log")));
        put(m_box->path(QStringLiteral("secret.txt")), "secret");
        cancelled = true;
        QVERIFY(!m_logs->gatherLogs(cancelled).isValid());
        // The next request starts afresh.
        cancelled = false;
        const QVariant gathered = m_logs->gatherLogs(cancelled);
        QCOMPARE(gathered.toMap(), (QVariantMap{{a, QByteArray("client\n")}, {b, QByteArray("\0\x01", 2)}}));
        QVERIFY(logText().contains("Gathering logs..."));
    }
    // The callback registry against real consoles on loopback links: fan-out, pruning of gone consoles, the
    // finish notice, tools' notices, and the worker-thread accounting with several waiters.
    void goneConsoleIsDroppedOthersStillServed()
    {
        auto a = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        auto b = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 2, 20000);
        // Registering again keeps one entry; the probe pinged the others.
        a->link->rootProxy()->callOneway(QString::fromLatin1(kSetErrorCallback), {QVariant::fromValue(a->object)});
        QTRY_VERIFY_WITH_TIMEOUT(a->countOf(QString::fromLatin1(kPing)) >= 1 && b->countOf(QString::fromLatin1(kPing)) >= 1, 20000);
        QCOMPARE(m_registry->count(), 2);
        // A quits without a word: its link closes under the agent.
        const ZDRemoteProxyPtr gone = m_registry->callbacks().value(0);
        a->link->invalidate();
        QTRY_VERIFY_WITH_TIMEOUT(!gone->isValid(), 20000);
        m_registry->postErrorString(QStringLiteral("Disk full"));
        QTRY_COMPARE_WITH_TIMEOUT(b->countOf(QString::fromLatin1(kAddStringToQueueHostname)), 1, 20000);
        QCOMPARE(b->last(QString::fromLatin1(kAddStringToQueueHostname)), (QVariantList{QStringLiteral("Disk full"), kHost}));
        QCOMPARE(m_registry->count(), 1);
        QVERIFY(m_registry->callbacks().value(0) != gone);
        // The probe of a new registration also prunes: b goes, c comes.
        const ZDRemoteProxyPtr bProxy = m_registry->callbacks().value(0);
        b->link->invalidate();
        QTRY_VERIFY_WITH_TIMEOUT(!bProxy->isValid(), 20000);
        auto c = connectConsole();
        QTRY_VERIFY_WITH_TIMEOUT(m_registry->count() == 1 && m_registry->callbacks().value(0) != bProxy, 20000);
        // An entry that cannot answer the probe counts as dead too.
        QStringList noPing = ZDRecordingConsole::allOperations();
        noPing.removeAll(QString::fromLatin1(kPing));
        auto mute = connectConsole(noPing);
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 2, 20000);
        const ZDRemoteProxyPtr muteProxy = m_registry->callbacks().value(1);
        auto d = connectConsole();
        QTRY_VERIFY_WITH_TIMEOUT(m_registry->count() == 2 && !m_registry->callbacks().contains(muteProxy), 20000);
    }
    void consoleLackingAnOperationEndsThatDelivery()
    {
        auto partial = connectConsole({QString::fromLatin1(kPing), QString::fromLatin1(kTaskFinished)});
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        auto full = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 2, 20000);
        m_registry->performErrorCallbackSelector(QString::fromLatin1(kUpdateConfig), {kHost});
        m_registry->shouldPostFinishedTaskWithTimeout(3600);
        m_registry->postFinishedTask();
        // Both got taskFinished; the later entry got nothing of the event the first could not take.
        QTRY_COMPARE_WITH_TIMEOUT(full->countOf(QString::fromLatin1(kTaskFinished)), 1, 20000);
        QCOMPARE(partial->countOf(QString::fromLatin1(kTaskFinished)), 1);
        QCOMPARE(full->countOf(QString::fromLatin1(kUpdateConfig)), 0);
        QCOMPARE(m_registry->count(), 2);
        QVERIFY(logText().contains("Error: error callback object does not respond to selector updateConfig:."));
    }
    void errorsCarryTheHostName()
    {
        auto console = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        const ZDRemoteError diskError(QStringLiteral("NSPOSIXErrorDomain"), 28);
        m_registry->postError(diskError);
        m_registry->postErrorUserInfo(diskError, {{QStringLiteral("path"), QStringLiteral("/x")}});
        m_registry->postErrorWithCode(1003, QStringLiteral("no tool"));
        m_registry->postErrorStringUserInfo(QString(), {});
        QVERIFY(drained(*console));
        QCOMPARE(console->last(QString::fromLatin1(kAddErrorToQueueHostname)),
                 (QVariantList{QVariant::fromValue(diskError), kHost}));
        const auto userInfoCalls = console->of(QString::fromLatin1(kAddErrorToQueueUserInfo));
        QCOMPARE(userInfoCalls.size(), 2);
        QCOMPARE(userInfoCalls[0][1].toMap(),
                 (QVariantMap{{QStringLiteral("path"), QStringLiteral("/x")}, {QStringLiteral("hostname"), kHost}}));
        const auto coded = userInfoCalls[1][0].value<ZDRemoteError>();
        QCOMPARE(coded, ZDRemoteError(QStringLiteral("orvDomain"), 1003, {{QStringLiteral("info"), QStringLiteral("no tool")}}));
        QCOMPARE(userInfoCalls[1][1].toMap(), (QVariantMap{{QStringLiteral("hostname"), kHost}}));
        const QVariantList text = console->last(QString::fromLatin1(kAddStringToQueueUserInfo));
        QVERIFY(!text.value(0).isValid() || text.value(0).isNull());
        QCOMPARE(text.value(1).toMap(), (QVariantMap{{QStringLiteral("hostname"), kHost}}));
    }
    void oneFinishNoticePerArmedTask()
    {
        auto console = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        const QString finished = QString::fromLatin1(kTaskFinished);
        // Not armed: nothing owed.
        m_registry->postFinishedTask();
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(finished), 0);
        // A tool reporting twice: one taskFinished, an updateConfig: per notice.
        m_registry->shouldPostFinishedTaskWithTimeout(3600);
        std::thread tool([this] {
            m_registry->taskFinished();
            m_registry->taskFinished();
        });
        tool.join();
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(finished), 1);
        QCOMPARE(console->countOf(QString::fromLatin1(kUpdateConfig)), 2);
        QCOMPARE(console->last(QString::fromLatin1(kUpdateConfig)), QVariantList{kHost});
        QVERIFY(!m_registry->shouldPostFinishedTask());
        // Armed from a worker thread, the deadline sends it; a late tool notice adds none.
        std::thread worker([this] { m_registry->shouldPostFinishedTaskWithTimeout(0.05); });
        worker.join();
        QTRY_COMPARE_WITH_TIMEOUT(console->countOf(finished), 2, 20000);
        m_registry->postFinishedTask();
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(finished), 2);
        QVERIFY(logText().contains("Task timed out. Finishing..."));
        // Re-arming replaces the deadline; cancelling leaves the notice to the tool.
        m_registry->shouldPostFinishedTaskWithTimeout(0.05);
        m_registry->shouldPostFinishedTaskWithTimeout(3600);
        m_registry->invalidateTaskFinishTimeoutTimer();
        QTest::qWait(300);
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(finished), 2);
        m_registry->postFinishedTask();
        QTRY_COMPARE_WITH_TIMEOUT(console->countOf(finished), 3, 20000);
    }
    void toolErrorNotices()
    {
        auto console = connectConsole();
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 20000);
        m_registry->taskError({{QStringLiteral("errorCode"), qint64(1002)}});
        QVERIFY(drained(*console));
        QCOMPARE(console->last(QString::fromLatin1(kAddErrorToQueueUserInfo)).value(0).value<ZDRemoteError>(),
                 ZDRemoteError(QStringLiteral("orvDomain"), 1002));
        // A tool's error text reaching the consoles is the agent scenario's statusAndMaintenanceNotifications.
        // Neither key (or a code that is no number): logged, and an error text of none.
        m_registry->taskError({{QStringLiteral("errorCode"), QStringLiteral("x")}, {QStringLiteral("pid"), qint64(42)}});
        QVERIFY(drained(*console));
        QCOMPARE(console->countOf(QString::fromLatin1(kAddStringToQueueUserInfo)), 1);
        const QVariant none = console->last(QString::fromLatin1(kAddStringToQueueUserInfo)).value(0);
        QVERIFY(!none.isValid() || none.isNull());
        QVERIFY(logText().contains("Task error returned but no error data was found. User info:"));
        QCOMPARE(console->countOf(QString::fromLatin1(kAddErrorToQueueUserInfo)), 1);
    }
    void workerAccounting()
    {
        // The main thread is refused at once, even while processing.
        m_registry->setProcessing(true);
        m_registry->waitOnProcessing();
        QVERIFY(logText().contains("Error: trying to wait on main thread. Aborting..."));
        // The last worker ends before anybody waits: the wait returns at once.
        m_registry->incrementTaskThreadCount();
        m_registry->decrementTaskThreadCount();
        QVERIFY(!m_registry->isProcessing());
        std::atomic<bool> returned{false};
        std::thread early([&] {
            m_registry->waitOnProcessing();
            returned = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(returned, 20000);
        early.join();
        // Several waiters, workers storing results as they end: every waiter wakes.
        for (int round = 0; round < 20; ++round) {
            m_registry->setProcessing(true);
            m_registry->resetThreadedObjectDict();
            constexpr int kWorkers = 6;
            for (int i = 0; i < kWorkers; ++i)
                m_registry->incrementTaskThreadCount();
            std::atomic<int> woken{0};
            std::vector<std::thread> threads;
            for (int i = 0; i < 3; ++i)
                threads.emplace_back([&] {
                    m_registry->waitOnProcessing();
                    ++woken;
                });
            for (int i = 0; i < kWorkers; ++i)
                threads.emplace_back([this, i] {
                    m_registry->threadedObjectDictSetObject(i, QStringLiteral("host%1").arg(i));
                    m_registry->threadedObjectDictSetObject(QVariant(), QStringLiteral("ignored"));
                    m_registry->decrementTaskThreadCount();
                });
            QTRY_COMPARE_WITH_TIMEOUT(woken.load(), 3, 20000);
            for (auto &t : threads)
                t.join();
            QCOMPARE(m_registry->taskThreadCount(), 0);
            QCOMPARE(m_registry->threadedObjectDict().size(), kWorkers);
        }
        // More decrements than workers never go below zero.
        m_registry->decrementTaskThreadCount();
        QCOMPARE(m_registry->taskThreadCount(), 0);
    }
    // The agent's naming and listening rules, without starting the program.
    void pdoNameIsCutAt63()
    {
        QCOMPARE(AppController::makePdoName(QStringLiteral("Edit-Suite-3.local.")),
                 QStringLiteral("KestraClient - Edit-Suite-3.local."));
        const QString host = QString(48, QLatin1Char('h')) + QStringLiteral(".local.");
        const QString name = AppController::makePdoName(host);
        QCOMPARE(name.size(), 63);
        QVERIFY(name.startsWith(QStringLiteral("KestraClient - hhh")));
        const QString exact = QString(48, QLatin1Char('h')); // 15 + 48 = 63: kept whole
        QCOMPARE(AppController::makePdoName(exact).size(), 63);
        const QString uuid = QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E");
        const QString fallback = AppController::makePdoName(QStringLiteral("Edit-Suite-3.local."), uuid);
        QCOMPARE(fallback.size(), 63);
        QVERIFY(fallback.startsWith(uuid + QStringLiteral("KestraClient - Edit")));
    }
    void customPortRules()
    {
        // The port's bounds (1025 to 65535) and the flag that must be exactly 1.
        const struct { QVariant set, port; int expected; } rules[] = {
            {1, 1024, 0}, {1, 1025, 1025}, {1, 65535, 65535}, {1, 65536, 0}, {2, 2000, 0}, {QVariant(), 2000, 0},
            {1, QStringLiteral("x"), 0}, {1, -5, 0}};
        for (const auto &r : rules)
            QVERIFY2(AppController::customPort(r.set, r.port) == r.expected, qPrintable(r.port.toString()));
    }
    void interfaceByMACAddress()
    {
        // A known MAC (loopback's) is the agent scenario's listensOnTheChosenInterface.
        // Unknown or missing MAC: no record, so the agent listens on any address.
        QVERIFY(AppController::networkInterfaceWithMACAddress(QStringLiteral("02:de:ad:be:ef:01")).isEmpty());
        QVERIFY(AppController::networkInterfaceWithMACAddress(QStringLiteral("garbage")).isEmpty());
    }
    void aFleetInOneProcess()
    {
        // Benchmarks run many agents in one process: nothing machine-wide, each its own name and port.
        ZDTestSandbox sandbox;
        QVERIFY(ZDRealAgent::enrollConsole(sandbox.root()));
        ZDLog::createNewLog(QStringLiteral("tst_zdclientpreferences-fleet"));
        AppControllerOptions options{.notifications = false, .publish = false, .statusItem = false,
                                     .callbackServer = false, .systemEvents = false, .tasks = false,
                                     .quitOnDisconnect = false, .nameSuffix = {}, .port = 0, .listenAddress = QStringLiteral("127.0.0.1"),
                                     .preferencesFolder = sandbox.path(QStringLiteral("prefs")),
                                     .bundlePath = qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/KestraClient.app")};
        std::vector<std::unique_ptr<AppController>> fleet;
        for (int i = 0; i < 3; ++i) {
            options.nameSuffix = QStringLiteral("-fleet-%1-%2").arg(QCoreApplication::applicationPid()).arg(i);
            fleet.push_back(std::make_unique<AppController>(options));
            fleet.back()->start();
        }
        QSet<int> ports;
        for (const auto &agent : fleet) {
            QVERIFY(agent->isConnected());
            QVERIFY(agent->pdoName().startsWith(QStringLiteral("KestraClient - ")));
            QCOMPARE(agent->statusString(), QStringLiteral("Listening on 127.0.0.1:%1").arg(agent->listenPortNumber()));
            auto link = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), quint16(agent->listenPortNumber()),
                                                   agent->pdoName(), zdtest::enrolledOptions());
            QVERIFY(link->rootProxy()->call(QStringLiteral("initialConfiguration")).toMap().contains(
                QStringLiteral("version")));
            link->invalidate();
            ports.insert(agent->listenPortNumber());
        }
        QCOMPARE(ports.size(), 3);
        // A disconnect stops one agent and leaves the others serving.
        QSignalSpy gone(fleet.front().get(), &AppController::disconnected);
        fleet.front()->rootObject()->invoke(QStringLiteral("disconnect"), {});
        QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 30000);
        QVERIFY(!fleet.front()->isConnected());
        QCOMPARE(fleet.front()->statusString(), QStringLiteral("Disconnected"));
        QVERIFY(fleet.back()->isConnected());
        // A tray request still under way when its agent goes: the agent waits for it.
        fleet.back()->requestMaintenance();
        fleet.pop_back();
    }
    void noTrayWithoutADisplay()
    {
        // A core application (no display): nothing to show, silently.
        QVERIFY(!ZDStatusItem::create({{QStringLiteral("normal"), ZDClientPreferences::computerIcon()}}));
        const QString module = qEnvironmentVariable("KESTRA_APPS_DIR") +
                               QStringLiteral("/KestraClient.app/Contents/PlugIns/libKestraClientTray.so");
        QVERIFY2(QFile::exists(module), qPrintable(module));
    }
    void namesAreClaimedOnce()
    {
        const QString name = QStringLiteral("KestraClient - test-%1.local.").arg(QCoreApplication::applicationPid());
        ZDNameRegistry first;
        QVERIFY(first.registerName(name));
        QVERIFY(ZDNameRegistry::isNameTaken(name));
        ZDNameRegistry second;
        QVERIFY(!second.registerName(name));
        QVERIFY(!second.isRegistered());
        first.withdraw();
        QVERIFY(second.registerName(name));
        QVERIFY(!ZDNameRegistry().registerName(QString()));
        // Names longer than an abstract socket address still claim one slot each.
        const QString longName = name + QString(200, QLatin1Char('x'));
        ZDNameRegistry a, b;
        QVERIFY(a.registerName(longName));
        QVERIFY(!b.registerName(longName));
        QVERIFY(b.registerName(longName + QLatin1Char('y')));
    }
};

QTEST_GUILESS_MAIN(TestZDClientPreferences)
#include "tst_zdclientpreferences.moc"
