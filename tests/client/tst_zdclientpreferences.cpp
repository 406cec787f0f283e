// The agent's settings and identity in a sandboxed home: the preferences and
// global files as consoles read and write them, the configuration dictionary,
// the host name rule, the bundle's place and the computer icon.
#include "ZDClientPreferences.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDPropertyList.h"
#include "ZDTestSandbox.h"

#include <QImage>
#include <QtTest>

class TestZDClientPreferences : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_sandbox;
    QString makeBundle(const QString &path, const QVariantMap &info)
    {
        QDir().mkpath(path + QStringLiteral("/Contents/MacOS"));
        ZDTestSandbox::writeFile(path + QStringLiteral("/Contents/MacOS/KestraClient"), "#!/bin/sh\n");
        ZDPropertyList::writeFile(path + QStringLiteral("/Contents/Info.plist"), info);
        return path;
    }

private Q_SLOTS:
    void initTestCase() { ZDLog::createNewLog(QStringLiteral("tst_zdclientpreferences")); }
    void cleanup()
    {
        QFile::remove(ZDClientPreferences().preferencesPath());
        QFile::remove(ZDClientPreferences().globalPreferencesPath());
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
};

QTEST_GUILESS_MAIN(TestZDClientPreferences)
#include "tst_zdclientpreferences.moc"
