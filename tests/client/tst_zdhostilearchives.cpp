// Hostile archives against the real agent, both ways along the link chain: a plug-in
// holding a link, an absolute or climbing name or a gigabyte bomb, a backup holding a
// link, and a backup whose files lie below a link already planted in the home.
// Nothing is written outside its place, and the console hears each refusal.
#include "link/ZDConnection.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDOrvProtocol.h"
#include "ZDEnrolledPeer.h"
#include "ZDRealAgent.h"
#include "ZDRecordingConsole.h"
#include "ZDTestSandbox.h"
#include "ZDTestZip.h"

#include <QCryptographicHash>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestZDHostileArchives : public QObject
{
    Q_OBJECT
    ZDRealAgent m_agent;
    std::shared_ptr<ZDConnection> m_link; // serves the console's callback object
    ZDRemoteProxyPtr m_proxy;
    ZDRecordingConsole m_console;

    QString home(const QString &relative = {}) const { return m_agent.root() + u"/home/"_s + relative; }
    // The console heard an error holding every part.
    bool heard(const QStringList &parts)
    {
        return QTest::qWaitFor([&] {
            for (const QVariantList &args : m_console.of(QString::fromLatin1(ZDOrv::kAddStringToQueueHostname))) {
                const QString text = args.value(0).toString();
                if (std::all_of(parts.cbegin(), parts.cend(), [&](const QString &p) { return text.contains(p); }))
                    return true;
            }
            return false;
        }, 30000);
    }
    QVariant install(const QByteArray &zip, const QString &sha256 = {})
    {
        QVariantMap record{{u"filename"_s, u"Evil.lv2"_s}, {u"type"_s, u"Audio Unit"_s}};
        if (!sha256.isEmpty())
            record.insert(u"sha256"_s, sha256);
        return m_proxy->call(u"brindelInstallPlugin:withData:"_s, {record, zip});
    }
    // Nothing in the home but what the agent and the test put there themselves.
    QStringList strays() const
    {
        QStringList found;
        for (const QString &path : {home(u"Applications"_s), home(u".lv2/Evil.lv2"_s), m_agent.root() + u"/escaped"_s})
            if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
                found << path;
        return found + QDir(home(u".lv2"_s)).entryList({u".kestra-plugin-*"_s}, QDir::AllEntries | QDir::Hidden);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Stowel.app"_s, m_agent.root() + u"/opt/Stowel.app"_s));
        QVERIFY(QDir().mkpath(home(u".lv2"_s)));
        QVERIFY(m_agent.start(ZDRealAgent::freePort()));
        m_link = ZDConnection::connectToHost(u"127.0.0.1"_s, m_agent.port(), {}, zdtest::enrolledOptions());
        m_proxy = m_link->rootProxy();
        m_proxy->call(QString::fromLatin1(ZDOrv::kSetErrorCallback), {QVariant::fromValue(m_console.object)});
    }

    void pluginsThatReachOutAreRefused()
    {
        const QByteArray escape = QFile::encodeName(m_agent.root() + u"/escaped"_s);
        const QList<std::pair<QList<zdtest::ZipEntry>, QString>> cases{
            {{{"Evil.lv2/home", QFile::encodeName(home()), S_IFLNK | 0777}}, u"is a link"_s},
            {{{"Evil.lv2/manifest.ttl", "x"}, {escape + "/x", "x"}}, u"absolute name"_s},
            {{{"Evil.lv2/../../Applications/Evil.app/run", "x", S_IFREG | 0755}}, u"climbs out"_s},
        };
        for (const auto &[entries, why] : cases) {
            QCOMPARE(install(zdtest::makeZip(entries)), QVariant(false));
            QVERIFY2(heard({u"Refused the plug-in"_s, why}), qPrintable(why));
        }
        // A gigabyte of zeros in about a megabyte: refused while counting, nothing unpacked.
        QCOMPARE(install(zdtest::zipBomb("Evil.lv2/zeros", 1LL << 30)), QVariant(false));
        QVERIFY(heard({u"Refused the plug-in"_s, u"unpacks to more than"_s}));
        QCOMPARE(strays(), QStringList());

        // A sound plug-in arrives only as the console was shown it.
        const QByteArray good = zdtest::makeZip({{"Evil.lv2/manifest.ttl", "@prefix lv2: <urn:lv2#> ."}});
        const QString sum = QString::fromLatin1(QCryptographicHash::hash(good, QCryptographicHash::Sha256).toHex());
        QCOMPARE(install(good, QString(64, u'0')), QVariant(false));
        QVERIFY(heard({u"Refused the plug-in"_s, sum, u"is not the"_s}));
        QVERIFY(!QFileInfo::exists(home(u".lv2/Evil.lv2"_s)));
        QCOMPARE(install(good, sum), QVariant(true));
        QVERIFY(QFileInfo::exists(home(u".lv2/Evil.lv2/manifest.ttl"_s)));
    }

    void backupsNeverWriteThroughLinks()
    {
        const QString restore = u"stowelRestoreRemoteBackup:"_s;
        const QByteArray info = ZDPropertyList::toData(QVariantMap{{u"name"_s, u"x"_s}}, ZDPropertyList::Format::Xml);
        QVERIFY(!info.isEmpty());
        // A backup that brings its own link is refused whole.
        m_proxy->call(restore, {zdtest::makeZip({{"Info.plist", info},
                                                 {"Files/.config/Color", QFile::encodeName(home(u"Applications"_s)), S_IFLNK | 0777},
                                                 {"Files/.config/Color/Preferences.prf", "evil"}})});
        QVERIFY(heard({u"Refused the preference backup"_s, u"is a link"_s}));
        QVERIFY(!QFileInfo(home(u".config/Color"_s)).isSymLink());
        // A link already in the home where a preference folder goes: the restore stops at it,
        // and still writes the files whose way is clear.
        QVERIFY(QDir().mkpath(home(u"Applications/Evil.app"_s)));
        QVERIFY(QFile::link(home(u"Applications/Evil.app"_s), home(u".config/Color"_s)));
        m_proxy->call(restore, {zdtest::makeZip({{"Info.plist", info},
                                                 {"Files/.config/Color/Preferences.prf", "evil"},
                                                 {"Files/.config/com.apple.color.plist", "restored"}})});
        QCOMPARE(ZDTestSandbox::readFile(home(u".config/com.apple.color.plist"_s)), QByteArray("restored"));
        QCOMPARE(QDir(home(u"Applications/Evil.app"_s)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(QFileInfo(home(u".config/Color"_s)).isSymLink());
    }
};

QTEST_MAIN(TestZDHostileArchives)
#include "tst_zdhostilearchives.moc"
