// The updater, the real program offscreen: it replaces a sandbox application from a
// signed archive served on loopback (with and without a length), the old copy in the
// Trash and the new one opened, refuses a tampered archive with nothing changed, and
// refuses to start without an address. The console's own feed check finds a newer
// version and nothing for its own. KESTRA_SCREENSHOT_DIR set: the window is saved there.
#include "console/ZDAdminSettings.h"
#include "files/ZDArchive.h"
#include "log/ZDLog.h"
#include "plist/ZDPropertyList.h"
#include "ZDScreenshot.h"
#include "features/updates/ZDSelfUpdate.h"
#include "ZDTestHttpServer.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"
#include "files/ZDTrash.h"
#include "ZDUpdaterWindow.h"

#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestZDUpdater : public QObject
{
    Q_OBJECT

    ZDTestSandbox m_sandbox;
    ZDTestHttpServer m_server;
    const QString m_console = qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Kestra Admin.app"_s;

    // An application whose executable notes each start in the sandbox.
    void makeApp(const QString &bundle, const QString &version)
    {
        QVERIFY(QDir().mkpath(bundle + u"/Contents/MacOS"_s));
        const QVariantMap console = ZDPropertyList::readDictionary(m_console + u"/Contents/Info.plist"_s);
        QVERIFY(ZDPropertyList::writeFile(bundle + u"/Contents/Info.plist"_s,
            QVariantMap{{u"CFBundleIdentifier"_s, u"com.zendrel.Sample"_s}, {u"CFBundleExecutable"_s, u"Sample"_s},
                        {u"CFBundleVersion"_s, version}, {u"ZDUpdatePublicKey"_s, console.value(u"ZDUpdatePublicKey"_s)}}));
        const QString exe = bundle + u"/Contents/MacOS/Sample"_s;
        QVERIFY(ZDTestSandbox::writeFile(exe, "#!/bin/sh\necho " + version.toUtf8() + " >> \"$KESTRA_SYSTEM_ROOT/opened\"\n"));
        QVERIFY(QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner));
    }
    // A failure's alert waits for its reader: once its text is logged, the program is asked to quit.
    int runUpdater(const QStringList &args, const QString &alertText = {})
    {
        QProcess p;
        p.start(m_console + u"/Contents/Resources/ZDUpdater.app/Contents/MacOS/ZDUpdater"_s, args);
        if (!alertText.isEmpty()) {
            [&] { QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning || updaterLog().contains(alertText), 120000); }();
            p.terminate();
        }
        [&] { QVERIFY(QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 120000)); }();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    static QString updaterLog() { return QString::fromUtf8(ZDTestSandbox::readFile(ZDLog::logFolder() + u"/ZDUpdater.1.log"_s)); }
    QString version(const QString &bundle) const
    {
        return ZDPropertyList::readDictionary(bundle + u"/Contents/Info.plist"_s).value(u"CFBundleVersion"_s).toString();
    }

private Q_SLOTS:
    void replacesFromSignedArchiveOnly()
    {
        const QString app = m_sandbox.path(u"opt/Sample.app"_s);
        makeApp(app, u"100"_s);
        makeApp(m_sandbox.path(u"image/Sample.app"_s), u"200"_s);
        // Sorted first, never taken: whatever its letter case, an uninstaller is not the application.
        QVERIFY(QDir().mkpath(m_sandbox.path(u"image/Remove UNINSTALL.app/Contents"_s)));
        const QString zip = m_sandbox.path(u"sample.zip"_s);
        QVERIFY(ZDArchive::createZip(m_sandbox.path(u"image"_s), zip, false).ok);
        QCOMPARE(zdtest::run(zdtest::buildPath(u"bin/kestra-sign-update"_s),
                             {u"sign"_s, qEnvironmentVariable("KESTRA_SOURCE_DIR") + u"/tools/updatesign/development.seed"_s, zip}),
                 0);
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        const QString url = u"http://127.0.0.1:%1/dl/sample.zip"_s.arg(m_server.serverPort());
        m_server.files.insert("/dl/sample.zip.sig", ZDTestSandbox::readFile(zip + u".sig"_s));

        // Tampered: refused before anything is unpacked; the old copy stays and is opened again.
        m_server.files.insert("/dl/sample.zip", ZDTestSandbox::readFile(zip) + "x");
        QCOMPARE(runUpdater({u"-app"_s, app, u"-url"_s, url}, u"its signature is missing or does not match"_s), 1);
        QCOMPARE(version(app), u"100"_s);
        QVERIFY(QDir(m_sandbox.path(u"opt"_s)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                == QStringList{u"Sample.app"_s});
        QTRY_COMPARE_WITH_TIMEOUT(ZDTestSandbox::readFile(m_sandbox.path(u"opened"_s)), QByteArray("100\n"), 30000);

        m_server.files.insert("/dl/sample.zip", ZDTestSandbox::readFile(zip));
        for (const bool length : {false, true}) {
            m_server.sendLength = length;
            QCOMPARE(runUpdater({u"-app"_s, app, u"-url"_s, url}), 0);
            QCOMPARE(version(app), u"200"_s);
        }
        QTRY_COMPARE_WITH_TIMEOUT(ZDTestSandbox::readFile(m_sandbox.path(u"opened"_s)), QByteArray("100\n200\n200\n"), 30000);
        // Both old copies in the Trash, each recorded as coming from the application's place; no staging left.
        const QStringList trashed = QDir(ZDTrash::filesDirectory()).entryList({u"Sample*"_s}, QDir::Dirs);
        QCOMPARE(trashed.size(), 2);
        QCOMPARE(version(ZDTrash::filesDirectory() + u'/' + trashed.first()), u"100"_s);
        QVERIFY(ZDTestSandbox::readFile(ZDTrash::infoDirectory() + u'/' + trashed.first() + u".trashinfo"_s)
                    .contains("Path=" + QUrl::toPercentEncoding(app, "/")));
        QCOMPARE(QDir(m_sandbox.path(u"opt"_s)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{u"Sample.app"_s});

        // Without an address: "Invalid arguments." and the program ends when asked to.
        QCOMPARE(runUpdater({u"-app"_s, app}, u"Error - Invalid arguments."_s), 1);
    }

    void consoleFeedAndHandOver()
    {
        const QString settings = m_sandbox.path(u"admin.ini"_s);
        m_sandbox.setEnv("KESTRA_ADMIN_SETTINGS", settings.toUtf8());
        if (!m_server.isListening())
            QVERIFY(m_server.listen(QHostAddress::LocalHost));
        ZDAdminSettings::open()->setValue(QLatin1String(ZDSelfUpdate::kFeedSetting),
                                          u"http://127.0.0.1:%1/admin.xml"_s.arg(m_server.serverPort()));
        const auto check = [&](int newVersion) {
            m_server.files.insert("/admin.xml", QByteArray(
                "<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:sparkle=\"urn:kestra:appcast\"><channel><title>Feed</title>"
                "<item><title>Kestra Admin 1.1</title><link>https://www.zendrel.com/notes</link>"
                "<description><![CDATA[<p>Faster</p>]]></description><enclosure url=\"/dl/admin.zip\" sparkle:version=\"")
                + QByteArray::number(newVersion) + "\" sparkle:shortVersionString=\"1.1\" size=\"1234\"/></item></channel></rss>");
            auto future = QtConcurrent::run([this] { return ZDSelfUpdate::checkForUpdatesToSelf(m_console); });
            [&] { QTRY_VERIFY_WITH_TIMEOUT(future.isFinished(), 60000); }();
            return future.result();
        };
        const QVariantMap entry = check(101);
        QCOMPARE(entry.value(u"newVersion"_s).toInt(), 101);
        QCOMPARE(entry.value(u"oldVersion"_s).toInt(), 100);
        QCOMPARE(entry.value(u"url"_s).toString(), u"http://127.0.0.1:%1/dl/admin.zip"_s.arg(m_server.serverPort()));
        QCOMPARE(entry.value(u"changelist"_s).toString(), u"<p>Faster</p>"_s);
        QCOMPARE(entry.value(u"type"_s).toString(), u"admin"_s);
        QCOMPARE(entry.value(u"path"_s).toString(), m_console);
        QCOMPARE(ZDAdminSettings::open()->value(QLatin1String(ZDSelfUpdate::kAvailableVersionSetting)).toInt(), 101);
        QVERIFY(check(100).isEmpty());
        // Outside the console's folder there is no updater to hand over to.
        ZDSelfUpdate::Failure failure;
        QVERIFY(!ZDSelfUpdate::installSelfUpdate(entry.value(u"url"_s).toString(), &failure));
        QCOMPARE(failure.title, u"Unable to find software updater"_s);
    }

    void progressWindowScreenshot()
    {
        ZDUpdaterWindow window;
        window.setStatus(u"Downloading Kestra Admin..."_s);
        window.setProgress(3300000, 8400000);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(zdtest::saveScreenshot(window, "updater.png"));
    }
};

QTEST_MAIN(TestZDUpdater)
#include "tst_zdupdater.moc"
