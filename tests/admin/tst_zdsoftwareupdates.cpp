// Software updates end to end: a real agent with no update tool gets it from a feed
// on loopback only once the archive matches a manifest signed with the key it trusts,
// for the tool, unexpired (a tampered archive, another key, another bundle and an expired
// manifest are refused), `kestra updates` lists what the tool reports and `kestra updates
// install` brings the application to the new version; a tool too old to keep is never
// replaced by an older signed one.
#include "files/ZDArchive.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDTestHttpServer.h"
#include "ZDTestSandbox.h"
#include "trust/ZDUpdateSignature.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestZDSoftwareUpdates : public QObject
{
    Q_OBJECT

    ZDTestSandbox m_sandbox;
    ZDRealAgent m_agent;
    ZDTestHttpServer m_server;

    // Started, not run to its end: the feed server answers on this thread meanwhile.
    QString kestra(QStringList args, int *exit = nullptr)
    {
        QProcess p;
        p.start(zdtest::buildPath(u"bin/kestra"_s),
                args << u"--no-browse"_s << u"--hosts"_s << u"Update Bay"_s);
        [&] { QVERIFY(QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 240000)); }();
        if (exit)
            *exit = p.exitCode();
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    QJsonObject updates(const QStringList &args = {})
    {
        return QJsonDocument::fromJson(kestra(QStringList{u"updates"_s} + args + QStringList{u"--json"_s}).toUtf8()).object();
    }
    // Where the agent logs: the user's log folder, or the computer's when it runs as root.
    QString agentLog() const
    {
        QString text;
        for (const char *folder : {"/home/.local/state/log", "/var/log"})
            text += QString::fromUtf8(readAll(m_agent.root() + QLatin1String(folder) + u"/Zendrel/KestraClient.1.log"_s));
        return text;
    }
    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private Q_SLOTS:
    void signedToolListingAndInstall()
    {
        const QString apps = qEnvironmentVariable("KESTRA_APPS_DIR");
        const QString opt = m_agent.root() + u"/opt"_s;
        QVERIFY(zdtest::copyTree(apps + u"/Quellar.app"_s, opt + u"/Quellar.app"_s));
        // The catalogue's newer copy of the crash tool.
        const QString newer = m_sandbox.path(u"catalog/Quellar.app"_s);
        QVERIFY(zdtest::copyTree(apps + u"/Quellar.app"_s, newer));
        QVariantMap info = ZDPropertyList::readDictionary(newer + u"/Contents/Info.plist"_s);
        info.insert(u"CFBundleVersion"_s, u"160"_s);
        QVERIFY(ZDPropertyList::writeFile(newer + u"/Contents/Info.plist"_s, info));
        const QVariantMap entry{{u"title"_s, u"Quellar 1.6"_s}, {u"type"_s, u"app"_s}, {u"size"_s, u"2 MB"_s},
                                {u"bundleid"_s, u"com.zendrel.Quellar"_s}, {u"version"_s, u"160"_s},
                                {u"changelist"_s, u"<p>Fixes</p>"_s}, {u"source"_s, newer}};
        QDir().mkpath(m_agent.root() + u"/var/lib/standins/Nuvell"_s);
        QVERIFY(ZDPropertyList::writeFile(m_agent.root() + u"/var/lib/standins/Nuvell/catalog.plist"_s,
                                          QVariantMap{{u"updates"_s, QVariantList{entry}}}));

        // The update tool's archive with its manifest, signed with the development key by the signing tool;
        // beside it, refused versions of it: each served in turn under the same address.
        const QString tool = m_sandbox.path(u"tool/Zendrel Nuvell.app"_s);
        QVERIFY(zdtest::copyTree(apps + u"/Zendrel Nuvell.app"_s, tool));
        const QString toolVersion = ZDPropertyList::readDictionary(tool + u"/Contents/Info.plist"_s)
                                        .value(u"CFBundleVersion"_s).toString();
        const QString signer = zdtest::buildPath(u"bin/kestra-sign-update"_s);
        const QString seed = qEnvironmentVariable("KESTRA_SOURCE_DIR") + u"/tools/updatesign/development.seed"_s;
        const QString otherSeed = m_sandbox.path(u"other.seed"_s);
        QCOMPARE(zdtest::run(signer, {u"generate"_s, otherSeed}), 0);
        const auto signedZip = [&](const QString &name, const QStringList &options, const QString &withSeed) {
            const QString zip = m_sandbox.path(name + u".zip"_s);
            [&] { QVERIFY(ZDArchive::createZip(tool, zip, true).ok); }();
            [&] { QCOMPARE(zdtest::run(signer, QStringList{u"sign"_s, withSeed, zip} + options), 0); }();
            return zip;
        };
        const QStringList toolID{u"--bundle"_s, u"com.zendrel.Nuvell"_s};
        const QString zip = signedZip(u"nuvell"_s, toolID + QStringList{u"--version"_s, toolVersion}, seed);
        // With a bare signature of the served bytes by the development key, as archives were signed
        // before manifests: never enough on its own.
        const QByteArray seedBytes = QByteArray::fromBase64(readAll(seed).trimmed());
        const auto serve = [&](const QString &signedArchive, const QByteArray &extra = {}) {
            const QByteArray data = readAll(signedArchive) + extra;
            m_server.files.insert("/dl/nuvell.zip", data);
            m_server.files.insert("/dl/nuvell.zip.manifest", readAll(signedArchive + u".manifest"_s));
            m_server.files.insert("/dl/nuvell.zip.sig", ZDUpdateSignature::sign(data, seedBytes).toBase64());
        };
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        m_server.files.insert("/rss/appcasts/com.zendrel.Nuvell.xml",
                              ZDPropertyList::toData(QVariantMap{{u"alternateURL"_s, u"/dl/nuvell.zip"_s}}));

        const quint16 port = ZDRealAgent::freePort();
        // The update server is a setting of the agent.
        QDir().mkpath(m_agent.root() + u"/home/.config"_s);
        QVERIFY(ZDPropertyList::writeFile(m_agent.root() + u"/home/.config/com.zendrel.KestraClient.plist"_s,
            QVariantMap{{u"updateServerURL"_s, u"http://127.0.0.1:%1"_s.arg(m_server.serverPort())}}));
        QVERIFY(m_agent.startAlone(port, "update-bay"));
        int exit = -1;
        kestra({u"add"_s, u"Update Bay"_s, u"127.0.0.1"_s, QString::number(port)}, &exit);
        QCOMPARE(exit, 0);

        // A tampered archive, another key, another bundle, an expired manifest: refused, nothing installed.
        const QList<std::pair<QString, QString>> refused{
            {zip, u"does not match the SHA-256 in its manifest"_s},
            {signedZip(u"otherkey"_s, toolID + QStringList{u"--version"_s, toolVersion}, otherSeed),
             u"not signed with the key the installed application trusts"_s},
            {signedZip(u"otherbundle"_s, {u"--bundle"_s, u"com.zendrel.KestraClient"_s, u"--version"_s, toolVersion}, seed),
             u"is for com.zendrel.KestraClient, not com.zendrel.Nuvell"_s},
            {signedZip(u"expired"_s, toolID + QStringList{u"--version"_s, toolVersion, u"--expires"_s, u"2020-01-01T00:00:00Z"_s}, seed),
             u"manifest expired on 2020-01-01"_s},
        };
        for (const auto &[archive, why] : refused) {
            serve(archive, archive == zip ? QByteArray("tampered") : QByteArray());
            QCOMPARE(updates().value(u"updates"_s).toArray().size(), 0);
            QTRY_VERIFY2_WITH_TIMEOUT(agentLog().contains(why), qPrintable(why), 30000);
            QVERIFY(!QFileInfo::exists(opt + u"/Zendrel"_s) || QDir(opt + u"/Zendrel"_s).isEmpty());
        }

        // The signed one: the tool is installed and lists the newer crash tool.
        m_server.sendLength = false;
        serve(zip);
        const QJsonArray rows = updates().value(u"updates"_s).toArray();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().toObject().value(u"bundleID"_s).toString(), u"com.zendrel.Quellar"_s);
        QCOMPARE(rows.first().toObject().value(u"children"_s).toArray().size(), 1);
        QVERIFY(QFileInfo(opt + u"/Zendrel/Zendrel Nuvell.app/Contents/MacOS/Zendrel Nuvell"_s).isExecutable());

        const QJsonObject installed = updates({u"install"_s});
        QCOMPARE(installed.value(u"handed"_s).toInt(), 1);
        QCOMPARE(installed.value(u"finished"_s).toInt(), 1);
        QCOMPARE(installed.value(u"updates"_s).toArray().size(), 0);
        QCOMPARE(ZDPropertyList::readDictionary(opt + u"/Quellar.app/Contents/Info.plist"_s).value(u"CFBundleVersion"_s).toString(),
                 u"160"_s);

        // A tool too old to keep is replaced only by a newer one: an older signed archive is refused, the copy kept.
        const QString installedInfo = opt + u"/Zendrel/Zendrel Nuvell.app/Contents/Info.plist"_s;
        QVariantMap toolInfo = ZDPropertyList::readDictionary(installedInfo);
        toolInfo.insert(u"CFBundleVersion"_s, u"1269"_s);
        QVERIFY(ZDPropertyList::writeFile(installedInfo, toolInfo));
        QVariantMap olderInfo = ZDPropertyList::readDictionary(tool + u"/Contents/Info.plist"_s);
        olderInfo.insert(u"CFBundleVersion"_s, u"1200"_s);
        QVERIFY(ZDPropertyList::writeFile(tool + u"/Contents/Info.plist"_s, olderInfo));
        serve(signedZip(u"older"_s, toolID + QStringList{u"--version"_s, u"1200"_s}, seed));
        QCOMPARE(updates().value(u"updates"_s).toArray().size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"version 1200 is not newer than the installed version 1269"_s), 30000);
        QCOMPARE(ZDPropertyList::readDictionary(installedInfo).value(u"CFBundleVersion"_s).toString(), u"1269"_s);

        // A manual download from anywhere but the update server is refused.
        kestra({u"call"_s, u"nuvellManualInstall:"_s, u"http://127.0.0.1.evil.example/x.zip"_s}, &exit);
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"Unable to initiate manual download - invalid URL."_s), 30000);
    }
};

QTEST_GUILESS_MAIN(TestZDSoftwareUpdates)
#include "tst_zdsoftwareupdates.moc"
