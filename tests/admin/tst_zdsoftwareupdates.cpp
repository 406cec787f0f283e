// Software updates end to end: a real agent with no update tool gets it from a feed
// on loopback only once the archive's signature checks, `kestra updates` lists what the
// tool reports and `kestra updates install` brings the application to the new version.
#include "files/ZDArchive.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDTestHttpServer.h"
#include "ZDTestSandbox.h"

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

        // The update tool's archive, signed with the development key by the signing tool.
        QVERIFY(zdtest::copyTree(apps + u"/Zendrel Nuvell.app"_s, m_sandbox.path(u"tool/Zendrel Nuvell.app"_s)));
        const QString zip = m_sandbox.path(u"nuvell.zip"_s);
        QVERIFY(ZDArchive::createZip(m_sandbox.path(u"tool/Zendrel Nuvell.app"_s), zip, true).ok);
        const QString signer = zdtest::buildPath(u"bin/kestra-sign-update"_s);
        QCOMPARE(zdtest::run(signer, {u"sign"_s, qEnvironmentVariable("KESTRA_SOURCE_DIR")
                                          + u"/tools/updatesign/development.seed"_s, zip}), 0);
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        m_server.files.insert("/rss/appcasts/com.zendrel.Nuvell.xml",
                              ZDPropertyList::toData(QVariantMap{{u"alternateURL"_s, u"/dl/nuvell.zip"_s}}));
        m_server.files.insert("/dl/nuvell.zip", readAll(zip) + "tampered");
        m_server.files.insert("/dl/nuvell.zip.sig", readAll(zip + u".sig"_s));

        const quint16 port = ZDRealAgent::freePort();
        // The update server is a setting of the agent.
        QDir().mkpath(m_agent.root() + u"/home/.config"_s);
        QVERIFY(ZDPropertyList::writeFile(m_agent.root() + u"/home/.config/com.zendrel.KestraClient.plist"_s,
            QVariantMap{{u"updateServerURL"_s, u"http://127.0.0.1:%1"_s.arg(m_server.serverPort())}}));
        QVERIFY(m_agent.startAlone(port, "update-bay"));
        int exit = -1;
        kestra({u"add"_s, u"Update Bay"_s, u"127.0.0.1"_s, QString::number(port)}, &exit);
        QCOMPARE(exit, 0);

        // A tampered archive: refused, nothing installed.
        QCOMPARE(updates().value(u"updates"_s).toArray().size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"its signature is missing or does not match"_s), 30000);
        QVERIFY(!QFileInfo::exists(opt + u"/Zendrel"_s) || QDir(opt + u"/Zendrel"_s).isEmpty());

        // The signed one: the tool is installed and lists the newer crash tool.
        m_server.sendLength = false;
        m_server.files.insert("/dl/nuvell.zip", readAll(zip));
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

        // A manual download from anywhere but the update server is refused.
        kestra({u"call"_s, u"nuvellManualInstall:"_s, u"http://127.0.0.1.evil.example/x.zip"_s}, &exit);
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"Unable to initiate manual download - invalid URL."_s), 30000);
    }
};

QTEST_GUILESS_MAIN(TestZDSoftwareUpdates)
#include "tst_zdsoftwareupdates.moc"
