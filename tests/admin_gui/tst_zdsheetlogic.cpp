// The logic behind the console's sheets and secondary windows, without widgets:
// troubleshooter advice, merged agent settings, bounded log texts, log gathering
// into the desktop archive, information texts and upload messages, clearing the
// caches and removing the stored passwords.
#include "ZDAdminSettings.h"
#include "ZDArchive.h"
#include "ZDCacheCleaner.h"
#include "ZDClientSettings.h"
#include "ZDComputerInfo.h"
#include "ZDCredentialStore.h"
#include "ZDKeychain.h"
#include "ZDLargeIconCache.h"
#include "ZDLogGathering.h"
#include "ZDRemoteLogText.h"
#include "ZDTestSandbox.h"
#include "ZDTroubleshooting.h"
#include "ZDUploadMessages.h"

#include <QImage>
#include <QtTest>

class TestSheetLogic : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each state its own advice (the windows' tests check the openings); what a person acts on, checked here.
    void troubleshooterTexts()
    {
        QStringList texts;
        for (const int code : {0, 2001, 2006, 2007, 2008, 1234})
            texts << ZDTroubleshooting::textForState({true, code});
        texts << ZDTroubleshooting::textForState({false, 2008}) << ZDTroubleshooting::textForNoService();
        QCOMPARE(QSet<QString>(texts.cbegin(), texts.cend()).size(), texts.size());
        for (int i = 0; i < 6; ++i) // connected: the missing-clients advice comes last
            QVERIFY(texts[i].endsWith(ZDTroubleshooting::missingClientsAdvice()));
        QVERIFY(texts[5].startsWith(QStringLiteral("Unknown error code 1234.")));
        QVERIFY(texts[6].contains(QStringLiteral("Also try opening 35011, which is the fallback port")));
        QVERIFY(texts[6].contains(QStringLiteral("\n\n10. Report the issue")) && !texts[6].contains(QStringLiteral("\n\n11.")));
        QVERIFY(texts[7].contains(QStringLiteral("\n\n11. Report the issue")));
        QVERIFY(ZDTroubleshooting::commonAdviceItem(0).isEmpty());
        QVERIFY(ZDTroubleshooting::commonAdviceItem(12).isEmpty());
    }
    // The advice speaks of this desktop only.
    void troubleshooterTextsInLinuxTerms()
    {
        QStringList texts{ZDTroubleshooting::textForState({false, 0}), ZDTroubleshooting::textForNoService()};
        for (const int code : {0, 2001, 2006, 2007, 2008, 77})
            texts << ZDTroubleshooting::textForState({true, code});
        for (const QString &text : std::as_const(texts))
            for (const char *word : {"System Preferences", "Finder", "Library/", "Airport", "ctrl-click", "Dock",
                                     "Command", "\u2318", "Mac", "Bonjour", "prefPane", ".app"})
                QVERIFY2(!text.contains(QString::fromUtf8(word)), word);
    }
    // Mixed values shown mixed, left alone unless clicked, a click turning them on: the settings panel's
    // test against a real and a fake agent. Here the answers no agent should give.
    void clientSettingsUntrustedAnswers()
    {
        const QVariantMap answers{
            {QStringLiteral("a."), QVariantMap{{QStringLiteral("autoUpdateCheck"), QStringLiteral("1")},
                                               {QStringLiteral("showMenuBarIcon"), 7},
                                               {QStringLiteral("globalUpdateCheck"), 0.5}}},
            {QStringLiteral("b."), QStringLiteral("not a dictionary")},
            {QStringLiteral("c."), QVariantMap{{QStringLiteral("enableMaintenanceRequests"), true}}}};
        const ZDClientSettings s = ZDClientSettings::merged(answers);
        QCOMPARE(s.state(QStringLiteral("autoUpdateCheck")), ZDClientSettings::kUnknown);
        QCOMPARE(s.state(QStringLiteral("showMenuBarIcon")), ZDClientSettings::kUnknown);
        QCOMPARE(s.state(QStringLiteral("globalUpdateCheck")), ZDClientSettings::kUnknown);
        QCOMPARE(s.state(QStringLiteral("enableMaintenanceRequests")), 1);
        // Unknown values are never written.
        const QVariantMap sent = s.settingsToSend();
        QCOMPARE(sent.value(QStringLiteral("autoUpdateCheck")).toInt(), -1);
        QCOMPARE(sent.value(QStringLiteral("enableMaintenanceRequests")).toInt(), 1);
        QCOMPARE(ZDClientSettings::merged({}).state(QStringLiteral("autoUpdateCheck")), ZDClientSettings::kUnknown);
    }
    void remoteLogTextBounds()
    {
        QCOMPARE(ZDRemoteLogText::textForAnswer(QStringLiteral("line\n\tmore\r\n")).text,
                 QStringLiteral("line\n\tmore\r\n"));
        QVERIFY(!ZDRemoteLogText::textForAnswer(QByteArray("\x00\x01", 2)).isText);
        QVERIFY(!ZDRemoteLogText::textForAnswer(QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b"))).isText);
        QVERIFY(!ZDRemoteLogText::textForAnswer(QString(QChar(0xfffd))).isText);
        QVERIFY(!ZDRemoteLogText::textForAnswer(QVariantMap()).isText);
        QVERIFY(!ZDRemoteLogText::textForAnswer(QVariant()).isText);
        QString huge(ZDRemoteLogText::kMaxShownCharacters + 5000, QLatin1Char('x'));
        huge += QStringLiteral("THE END");
        const ZDRemoteLogText::Shown shown = ZDRemoteLogText::textForAnswer(huge);
        QVERIFY(shown.isText);
        QVERIFY(shown.truncated);
        QVERIFY(shown.text.endsWith(QStringLiteral("THE END")));
        QVERIFY(shown.text.startsWith(ZDRemoteLogText::truncationNotice(ZDRemoteLogText::kMaxShownCharacters)));
        QCOMPARE(shown.text.size(),
                 ZDRemoteLogText::truncationNotice(ZDRemoteLogText::kMaxShownCharacters).size()
                     + ZDRemoteLogText::kMaxShownCharacters);
    }
    void remoteLogNames()
    {
        QVariantList answer{QStringLiteral("/home/u/.local/state/log/Zendrel/KestraClient.1.log"), 42, QString(),
                            QString(QStringLiteral("bad") + QChar(u'\n')), QString(5000, QLatin1Char('a'))};
        QCOMPARE(ZDRemoteLogText::namesForAnswer(answer),
                 QStringList{QStringLiteral("/home/u/.local/state/log/Zendrel/KestraClient.1.log")});
        QVERIFY(ZDRemoteLogText::namesForAnswer(QStringLiteral("x")).isEmpty());
        QVariantList many;
        for (int i = 0; i < 3000; ++i)
            many << QStringLiteral("log%1").arg(i);
        QCOMPARE(ZDRemoteLogText::namesForAnswer(many).size(), ZDRemoteLogText::kMaxNames);
    }
    void gatheringDestinations()
    {
        const QString f = QStringLiteral("/w");
        QCOMPARE(ZDLogGathering::destinationFor(f, QStringLiteral("h.local."), QStringLiteral("/var/log/x.log")),
                 QStringLiteral("/w/h.local./var/log/x.log"));
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral("h"), QStringLiteral("/../../etc/passwd")).isEmpty());
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral("h"), QStringLiteral("a/./b")).isEmpty());
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral(".."), QStringLiteral("x")).isEmpty());
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral("a/b"), QStringLiteral("x")).isEmpty());
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral("h"), QStringLiteral("/")).isEmpty());
    }
    void gatheringNetworkLogs()
    {
        ZDTestSandbox sandbox;
        const QString desktop = sandbox.path(QStringLiteral("Desktop"));
        const QString logs = sandbox.path(QStringLiteral("logs"));
        QDir().mkpath(desktop);
        QDir().mkpath(logs + QStringLiteral("/Zendrel"));
        QVERIFY(ZDTestSandbox::writeFile(logs + QStringLiteral("/Zendrel/Kestra Admin.1.log"), "admin log"));
        QVERIFY(ZDTestSandbox::writeFile(logs + QStringLiteral("/Zendrel/Other.1.log"), "not ours"));
        const QString outside = sandbox.path(QStringLiteral("escaped"));
        const QVariantMap files{
            {QStringLiteral("a.local."),
             QVariantMap{{QStringLiteral("/var/log/Zendrel/KestraClient.1.log"), QByteArray("client log")},
                         {QStringLiteral("/../../../escaped"), QByteArray("evil")},
                         {QStringLiteral("/not/data"), QVariantMap()}}},
            {QStringLiteral("../b"), QVariantMap{{QStringLiteral("/x.log"), QByteArray("evil")}}},
            {QStringLiteral("c.local."), QStringLiteral("not a dictionary")}};
        ZDLogGathering gathering(sandbox.path(QStringLiteral("tmp")), desktop, logs);
        const ZDLogGathering::Outcome outcome = gathering.gatherNetwork(files);
        QVERIFY(outcome.success);
        QCOMPARE(outcome.text, QStringLiteral("The gathered logs were placed on your desktop."));
        // The refused files are reported one by one; the good one is written.
        QCOMPARE(outcome.fileErrors.size(), 3);
        QVERIFY(outcome.fileErrors.first().startsWith(QStringLiteral("The file ")));
        QVERIFY(outcome.fileErrors.first().endsWith(QStringLiteral(" could not be created.")));
        QVERIFY(!QFile::exists(outside));
        QVERIFY(!QDir(gathering.workFolder()).exists());
        const QString out = sandbox.path(QStringLiteral("out"));
        QVERIFY(ZDArchive::extractZip(outcome.archivePath, out).ok);
        const QString dump = out + QStringLiteral("/ZD_Log_Dump/");
        QCOMPARE(ZDTestSandbox::readFile(dump + QStringLiteral("a.local./var/log/Zendrel/KestraClient.1.log")),
                 QByteArray("client log"));
        QVERIFY(!QFile::exists(out + QStringLiteral("/ZD_Log_Dump/Other.1.log")));
        QVERIFY(!QFile::exists(out + QStringLiteral("/escaped")));
    }
    void computerInfoTexts()
    {
        // A connected computer's title, address, versions and state: the panel's window test.
        QCOMPARE(ZDComputerInfo::addressText(QString(), 35011), QString());
        QCOMPARE(ZDComputerInfo::versionText({}),
                 QStringLiteral("Client version: Unknown\nKestra Maintenance Tools is not installed\n\n"));
        const QVariantMap specs{{QStringLiteral("zeta"), QStringLiteral("z")},
                                {QStringLiteral("Alpha"), QStringLiteral("a")},
                                {QStringLiteral("beta"), QString()},
                                {QStringLiteral("memory"), 16},
                                {QStringLiteral("nested"), QVariantMap()},
                                {QStringLiteral("long"), QString(5000, QLatin1Char('l'))}};
        const QString text = ZDComputerInfo::specsText(specs);
        QVERIFY(text.startsWith(QStringLiteral("Alpha: a\nlong: ")));
        QVERIFY(text.endsWith(QStringLiteral("memory: 16\nzeta: z\n")));
        QVERIFY(text.size() < 1200);
        QVERIFY(ZDComputerInfo::specsText(QStringLiteral("x")).isEmpty());
        QVERIFY(ZDComputerInfo::stateText(true, 2006).endsWith(
            QStringLiteral("Kestra Client is outdated on this machine. Please install a more recent version.")));
    }
    void largeIconCache()
    {
        ZDTestSandbox sandbox;
        const ZDLargeIconCache cache(sandbox.path(QStringLiteral("cache/icons.plist")));
        QVERIFY(cache.cachedIcon(QStringLiteral("a.local.")).isEmpty());
        QVERIFY(!cache.storeIcon(QStringLiteral("a.local."), QByteArray("not an image")));
        QVERIFY(!cache.storeIcon(QString(), QByteArray("x")));
        QImage image(300, 300, QImage::Format_ARGB32);
        image.fill(Qt::blue);
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG"));
        QVERIFY(cache.storeIcon(QStringLiteral("a.local."), png));
        const QImage cached = QImage::fromData(cache.cachedIcon(QStringLiteral("a.local.")));
        QCOMPARE(cached.size(), QSize(48, 48));
        QVERIFY(cache.cachedIcon(QStringLiteral("b.local.")).isEmpty());
    }
    void clearCachesMovesThemToTheTrash()
    {
        ZDTestSandbox sandbox;
        const ZDCacheCleaner cleaner;
        // The caches as the console writes them.
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && QImage(64, 64, QImage::Format_RGB32).save(&buffer, "PNG"));
        const ZDLargeIconCache icons;
        QVERIFY(icons.storeIcon(QStringLiteral("a.local."), png));
        const QString state = ZDAdminSettings::stateDirectory();
        const ZDCacheCleaner::Outcome outcome = cleaner.trashCaches();
        QCOMPARE(outcome.result, ZDCacheCleaner::Result::Cleaned);
        QCOMPARE(outcome.title, QStringLiteral("Caches successfully cleaned"));
        QVERIFY(!QFile::exists(icons.path()) && !QFile::exists(state)); // both are the console's caches
        const QString trash = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Trash/");
        const QString name = QFileInfo(icons.path()).dir().dirName();
        QVERIFY(QFile::exists(trash + QStringLiteral("files/") + name + u'/' + QFileInfo(icons.path()).fileName()));
        QVERIFY(QFileInfo(trash + QStringLiteral("files/") + QFileInfo(state).fileName()).isDir());
        const QByteArray info = ZDTestSandbox::readFile(trash + QStringLiteral("info/") + name + ".trashinfo");
        QVERIFY2(info.startsWith("[Trash Info]\nPath=") && info.contains("DeletionDate="), info.constData());
        QCOMPARE(cleaner.trashCaches().title, QStringLiteral("No caches to clean"));
    }
    void removeStoredPasswordsKeepsOthers()
    {
        QString reason;
        QVERIFY2(ZDKeychain::isAvailable(&reason), qPrintable(QStringLiteral("Secret Service needed: ") + reason));
        ZDTestSandbox sandbox;
        ZDCredentialStore store(sandbox.path(QStringLiteral("admin.ini")));
        const QString tag = QString::number(QCoreApplication::applicationPid()), user = QStringLiteral("admin");
        const QStringList hosts{QStringLiteral("pw-a-") + tag, QStringLiteral("pw-b-") + tag};
        const QString other = QStringLiteral("Other Program ") + tag, kind = QStringLiteral("Host password");
        for (const QString &host : hosts)
            QVERIFY(store.storeKeychainPassword(user, QStringLiteral("secret"), host));
        QVERIFY(ZDKeychain::addKeychainItem(other, kind, user, QStringLiteral("theirs"), hosts[0]));
        QVERIFY(store.removeAllStoredPasswords());
        for (const QString &host : hosts)
            QVERIFY(store.keychainPassword(user, host).isNull());
        QCOMPARE(ZDKeychain::getPasswordFromKeychainItem(other, kind, user, hosts[0]), QStringLiteral("theirs"));
        QVERIFY(ZDKeychain::deleteAllKeychainItems(other, QString()));
    }

};

QTEST_GUILESS_MAIN(TestSheetLogic)
#include "tst_zdsheetlogic.moc"
