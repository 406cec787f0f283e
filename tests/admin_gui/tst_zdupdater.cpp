// The updater, the real program offscreen: it replaces a sandbox application from an
// archive with a signed manifest served on loopback (with and without a length), the old
// copy in the Trash and the new one opened; it refuses, with nothing changed, a tampered
// archive, an older version (also the same one again), another key, another bundle, an
// expired manifest and one that needs a newer installed copy, even beside a valid bare
// signature; and it refuses to start without an address. The console's own feed check finds a newer
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
#include "trust/ZDUpdateSignature.h"
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

    static QString signer() { return zdtest::buildPath(u"bin/kestra-sign-update"_s); }
    static QString developmentSeed() { return qEnvironmentVariable("KESTRA_SOURCE_DIR") + u"/tools/updatesign/development.seed"_s; }
    // An archive of image/ as <name>.zip, its manifest made by the signing tool with these options.
    QString signedZip(const QString &name, const QString &image, const QStringList &options,
                      const QString &seed = developmentSeed())
    {
        const QString zip = m_sandbox.path(name + u".zip"_s);
        [&] { QVERIFY(ZDArchive::createZip(image, zip, false).ok); }();
        [&] { QCOMPARE(zdtest::run(signer(), QStringList{u"sign"_s, seed, zip} + options), 0); }();
        return zip;
    }
    // Served under /dl/<name>.zip with its manifest and, for the earlier scheme, a bare signature
    // of the archive with the development key: that alone must never be enough.
    QString serve(const QString &zip, const QByteArray &archive = {})
    {
        const QByteArray name = QFileInfo(zip).fileName().toUtf8();
        const QByteArray data = archive.isEmpty() ? ZDTestSandbox::readFile(zip) : archive;
        m_server.files.insert("/dl/" + name, data);
        m_server.files.insert("/dl/" + name + ".manifest", ZDTestSandbox::readFile(zip + u".manifest"_s));
        const QByteArray seed = QByteArray::fromBase64(ZDTestSandbox::readFile(developmentSeed()).trimmed());
        m_server.files.insert("/dl/" + name + ".sig", ZDUpdateSignature::sign(data, seed).toBase64());
        return u"http://127.0.0.1:%1/dl/"_s.arg(m_server.serverPort()) + QString::fromUtf8(name);
    }
    QStringList optEntries() const
    {
        return QDir(m_sandbox.path(u"opt"_s)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

private Q_SLOTS:
    void replacesFromSignedArchiveOnly()
    {
        const QString app = m_sandbox.path(u"opt/Sample.app"_s);
        makeApp(app, u"100"_s);
        makeApp(m_sandbox.path(u"image/Sample.app"_s), u"200"_s);
        makeApp(m_sandbox.path(u"old/Sample.app"_s), u"1"_s);
        // Sorted first, never taken: whatever its letter case, an uninstaller is not the application.
        QVERIFY(QDir().mkpath(m_sandbox.path(u"image/Remove UNINSTALL.app/Contents"_s)));
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        const QStringList sample{u"--bundle"_s, u"com.zendrel.Sample"_s};
        const QString zip = signedZip(u"sample"_s, m_sandbox.path(u"image"_s), sample + QStringList{u"--version"_s, u"200"_s});
        const QString otherSeed = m_sandbox.path(u"other.seed"_s);
        QCOMPARE(zdtest::run(signer(), {u"generate"_s, otherSeed}), 0);

        // Each refused before anything is unpacked; the old copy stays and is opened again.
        const QList<std::pair<QString, QString>> refused{
            {serve(signedZip(u"older"_s, m_sandbox.path(u"old"_s), sample + QStringList{u"--version"_s, u"1"_s})),
             u"version 1 is not newer than the installed version 100"_s},
            {serve(zip, ZDTestSandbox::readFile(zip) + "x"), u"does not match the SHA-256 in its manifest"_s},
            {serve(signedZip(u"otherkey"_s, m_sandbox.path(u"image"_s), sample + QStringList{u"--version"_s, u"200"_s},
                             otherSeed)),
             u"not signed with the key the installed application trusts"_s},
            {serve(signedZip(u"otherbundle"_s, m_sandbox.path(u"image"_s),
                             {u"--bundle"_s, u"com.zendrel.Other"_s, u"--version"_s, u"200"_s})),
             u"is for com.zendrel.Other, not com.zendrel.Sample"_s},
            {serve(signedZip(u"expired"_s, m_sandbox.path(u"image"_s),
                             sample + QStringList{u"--version"_s, u"200"_s, u"--expires"_s, u"2020-01-01T00:00:00Z"_s})),
             u"manifest expired on 2020-01-01"_s},
            {serve(signedZip(u"needsnewer"_s, m_sandbox.path(u"image"_s),
                             sample + QStringList{u"--version"_s, u"200"_s, u"--minimum"_s, u"150"_s})),
             u"needs version 150 or later installed"_s},
        };
        QByteArray opened;
        for (const auto &[url, why] : refused) {
            QCOMPARE(runUpdater({u"-app"_s, app, u"-url"_s, url}, why), 1);
            QVERIFY2(updaterLog().contains(why), qPrintable(why));
            QCOMPARE(version(app), u"100"_s);
            QCOMPARE(optEntries(), QStringList{u"Sample.app"_s});
            opened += "100\n";
            QTRY_COMPARE_WITH_TIMEOUT(ZDTestSandbox::readFile(m_sandbox.path(u"opened"_s)), opened, 30000);
        }

        const QString url = serve(zip);
        for (const bool length : {false, true}) {
            m_server.sendLength = length;
            // The second run installs 200 over 200: refused as not newer, left in place.
            QCOMPARE(runUpdater({u"-app"_s, app, u"-url"_s, url}, length ? u"not newer"_s : QString()), length ? 1 : 0);
            QCOMPARE(version(app), u"200"_s);
        }
        QTRY_COMPARE_WITH_TIMEOUT(ZDTestSandbox::readFile(m_sandbox.path(u"opened"_s)), opened + "200\n200\n", 30000);
        // The old copy in the Trash, recorded as coming from the application's place; no staging left.
        const QStringList trashed = QDir(ZDTrash::filesDirectory()).entryList({u"Sample*"_s}, QDir::Dirs);
        QCOMPARE(trashed.size(), 1);
        QCOMPARE(version(ZDTrash::filesDirectory() + u'/' + trashed.first()), u"100"_s);
        QVERIFY(ZDTestSandbox::readFile(ZDTrash::infoDirectory() + u'/' + trashed.first() + u".trashinfo"_s)
                    .contains("Path=" + QUrl::toPercentEncoding(app, "/")));
        QCOMPARE(optEntries(), QStringList{u"Sample.app"_s});

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
