// Plug-ins and system information from `kestra` against a real agent on a fake
// computer (its system root in a folder): the summary read from that computer's
// files, the plug-in list, the real plug-in tool moving a plug-in, and paths or
// data the agent must refuse without dropping the link.
#include "files/ZDArchive.h"
#include "link/ZDConnection.h"
#include "files/ZDFileTree.h"
#include "plist/ZDPropertyList.h"
#include "ZDEnrolledPeer.h"
#include "ZDRealAgent.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"

#include <QDirIterator>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;

class TestZDPlugins : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_console;
    ZDRealAgent m_agent;

    zdtest::Ran kestra(QStringList args)
    {
        args << u"--no-browse"_s << u"--hosts"_s << u"bay"_s << u"--json"_s;
        return zdtest::runProgram(zdtest::buildPath(u"bin/kestra"_s), args);
    }
    static QJsonValue answer(const zdtest::Ran &r) { return QJsonDocument::fromJson(r.out.toUtf8()).object().value(u"bay-host.local"_s); }
    QString at(const QString &relative) const { return m_agent.root() + u'/' + relative; }
    bool put(const QString &relative, const QByteArray &text) { return ZDTestSandbox::writeFile(at(relative), text); }
    QJsonObject glow()
    {
        const zdtest::Ran r = kestra({u"plugins"_s});
        for (const QJsonValue &row : QJsonDocument::fromJson(r.out.toUtf8()).array())
            if (row[u"name"_s] == u"Glow"_s)
                return row[u"children"_s][0].toObject();
        return {};
    }

private Q_SLOTS:
    void fakeComputerThroughTheCommandLine()
    {
        // The computer: processor, memory, system, one library, one module, two plug-ins and the tool.
        QVERIFY(put(u"proc/cpuinfo"_s, "processor\t: 0\nvendor_id\t: GenuineIntel\nprocessor\t: 1\n"));
        QVERIFY(put(u"sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"_s, "2660000\n"));
        QVERIFY(put(u"proc/meminfo"_s, "MemTotal:        4194304 kB\n"));
        QVERIFY(put(u"proc/sys/kernel/osrelease"_s, "6.1.0-test\n"));
        QVERIFY(put(u"etc/os-release"_s, "PRETTY_NAME=\"Test OS 12\"\n"));
        QVERIFY(put(u"usr/lib/libglowfx.so.2.4.1"_s, "x"));
        QVERIFY(put(u"proc/modules"_s, "glowdrv 16384 0 - Live 0x0\n"));
        QVERIFY(put(u"sys/module/glowdrv/version"_s, "1.3\n"));
        QVERIFY(ZDPropertyList::writeFile(at(u"usr/OFX/Plugins/Glow.ofx.bundle/Contents/Info.plist"_s),
                                          QVariantMap{{u"CFBundleName"_s, u"Glow"_s}, {u"CFBundleShortVersionString"_s, u"9.0"_s}}));
        QVERIFY(put(u"home/.lv2/Echo.lv2/manifest.ttl"_s, "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"));
        QVERIFY(QDir().mkpath(at(u"opt"_s)));
        QVERIFY(ZDFileTree::copy(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Brindel.app"_s, at(u"opt/Brindel.app"_s)).ok);
        QVERIFY2(m_agent.startAlone(ZDRealAgent::freePort(), "bay-host"), qPrintable(m_agent.output()));
        QCOMPARE(kestra({u"add"_s, u"bay"_s, u"127.0.0.1"_s, QString::number(m_agent.port())}).exit(), 0);

        zdtest::Ran r = kestra({u"sysinfo"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        const QJsonObject specs = answer(r).toObject();
        QCOMPARE(specs[u"CPU Speed"_s].toString(), u"2.66 GHz"_s);
        QCOMPARE(specs[u"Memory Size"_s].toString(), u"4.00 GB"_s);
        QCOMPARE(specs[u"Number of CPUs"_s].toString(), u"2"_s);
        QCOMPARE(specs[u"OS Build"_s].toString(), u"6.1.0-test"_s);
        QCOMPARE(specs[u"Serial Number"_s].toString(), u"Unknown"_s);
        QCOMPARE(specs[u"Final Cut Pro Version"_s].toString(), QString()); // not installed, still there
        // As a table: the computer on every row, what could not be read as "Unknown".
        r = zdtest::runProgram(zdtest::buildPath(u"bin/kestra"_s), {u"sysinfo"_s, u"--no-browse"_s, u"--hosts"_s, u"bay"_s});
        for (const QString &line : r.out.split(u'\n', Qt::SkipEmptyParts).mid(1))
            QVERIFY2(line.startsWith(u"bay-host.local "_s), qPrintable(r.out));
        QVERIFY2(QRegularExpression(u"\nbay-host.local +Serial Number +Unknown\n"_s).match(r.out).hasMatch(), qPrintable(r.out));
        r = kestra({u"call"_s, u"diffFinderSystemInfo"_s});
        const QJsonObject profile = answer(r).toObject();
        QCOMPARE(profile[u"Frameworks"_s][u"libglowfx"_s][u"version"_s].toString(), u"2.4.1"_s);
        QCOMPARE(profile[u"Kexts"_s][u"glowdrv"_s][u"version"_s].toString(), u"1.3"_s);
        QCOMPARE(profile[u"OS X Version"_s].toString(), u"Test OS 12"_s);

        // The list: a computer-wide OpenFX bundle with its version, a user LV2 bundle, and a media-core
        // plug-in of the newest Premiere, whose version 10.0 names the folder CS10 (its whole major number).
        const QString premiere = u"opt/Adobe Premiere Pro/Adobe Premiere Pro.app/Contents/Info.plist"_s;
        QVERIFY(ZDPropertyList::writeFile(at(premiere), QVariantMap{{u"CFBundleVersion"_s, u"10.0"_s}}));
        QVERIFY(put(u"usr/local/share/Adobe/Common/Plug-ins/CS10/MediaCore/Grade.plugin"_s, "x"));
        r = kestra({u"plugins"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QVERIFY2(r.out.contains(u"\"Echo\""_s) && r.out.contains(u"\"Audio Unit\""_s), qPrintable(r.out));
        QVERIFY2(r.out.contains(u"\"Grade\""_s) && r.out.contains(u"\"Adobe Plugin\""_s), qPrintable(r.out));
        QCOMPARE(glow()[u"version"_s].toString(), u"9.0"_s);
        QCOMPARE(glow()[u"accessType"_s].toInt(), 0);
        // The tool moves it: into the mirror, back, then to the user's folder; as the agent's user.
        QVERIFY2(kestra({u"plugins"_s, u"disable"_s, u"Glow"_s}).exit() == 0, qPrintable(m_agent.output()));
        QCOMPARE(glow()[u"disabled"_s].toBool(), true);
        const QString mirror = u"usr/local/share/Zendrel/Kestra Maintenance Tools/Brindel Disabled Plugins"_s;
        QVERIFY(QFileInfo::exists(at(mirror + at(u"usr/OFX/Plugins/Glow.ofx.bundle"_s))));
        QVERIFY(ZDTestSandbox::readFile(at(u"var/lib/standins/Brindel/disable.result"_s))
                    .contains("uid=" + QByteArray::number(::getuid()) + '\n'));
        // Every plug-in only when said so; a name that matches none is an error.
        r = kestra({u"plugins"_s, u"enable"_s});
        QVERIFY2(r.exit() == 2 && r.err.contains(u"needs a NAME, or --all"_s), qPrintable(r.err));
        QCOMPARE(glow()[u"disabled"_s].toBool(), true);
        r = kestra({u"plugins"_s, u"disable"_s, u"NoSuchPlugin"_s});
        QVERIFY2(r.exit() == 1 && r.err.contains(u"no plug-in NoSuchPlugin"_s), qPrintable(r.err));
        QCOMPARE(kestra({u"plugins"_s, u"enable"_s, u"--all"_s}).exit(), 0);
        QCOMPARE(glow()[u"disabled"_s].toBool(), false);
        QCOMPARE(kestra({u"plugins"_s, u"access"_s, u"user"_s, u"Glow"_s}).exit(), 0);
        QCOMPARE(glow()[u"accessType"_s].toInt(), 1);
        QVERIFY(QFileInfo::exists(at(u"home/.local/share/OFX/Plugins/Glow.ofx.bundle/Contents/Info.plist"_s)));

        // Refused: paths outside the plug-in folders (a way out by "..", a file of the system),
        // and a plug-in too large for one message; the link stays up for the next call.
        for (const QString &path : {at(u"home/.local/share/OFX/Plugins/../../../../../etc/os-release"_s), at(u"etc/os-release"_s)}) {
            const QString settings = u"{\"obj1\":\"%1\",\"obj2\":1}"_s.arg(path);
            QCOMPARE(answer(kestra({u"call"_s, u"brindelEnablePlugin:settings:"_s, u"{}"_s, settings})), QJsonValue(false));
            QVERIFY(QFileInfo::exists(path));
        }
        QByteArray noise(16 * 1024 * 1024, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        QVERIFY(put(u"home/.lv2/Huge.lv2/huge.so"_s, noise));
        r = kestra({u"call"_s, u"brindelPluginData:"_s, u"{\"fullPath\":\"%1\"}"_s.arg(at(u"home/.lv2/Huge.lv2"_s))});
        QCOMPARE(answer(r), QJsonValue(QJsonValue::Null));
        r = kestra({u"call"_s, u"brindelPluginData:"_s, u"{\"fullPath\":\"%1\"}"_s.arg(at(u"home/.lv2/Echo.lv2"_s))});
        QVERIFY2(r.exit() == 0 && r.out.size() > 100, qPrintable(r.err));
        // A replacement that does not unpack to one plug-in leaves the old copy as it was, and no staging behind.
        QVERIFY(put(u"loose/a.ttl"_s, "a") && put(u"loose/b.ttl"_s, "b"));
        QVERIFY(ZDArchive::createZip(at(u"loose"_s), m_console.path(u"loose.zip"_s), false).ok);
        const auto link = ZDConnection::connectToHost(u"127.0.0.1"_s, m_agent.port(), {}, zdtest::enrolledOptions());
        const QVariantMap update{{u"obj1"_s, QVariantMap{{u"fullPath"_s, at(u"home/.lv2/Echo.lv2"_s)}}},
                                 {u"obj2"_s, ZDTestSandbox::readFile(m_console.path(u"loose.zip"_s))}};
        QCOMPARE(link->rootProxy()->call(u"brindelUpdatePlugin:settings:"_s, {QVariant(), update}), QVariant(false));
        QCOMPARE(QDir(at(u"home/.lv2"_s)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({u"Echo.lv2"_s, u"Huge.lv2"_s}));
        QVERIFY(QFileInfo::exists(at(u"home/.lv2/Echo.lv2/manifest.ttl"_s)));
        // The tool itself refuses what lies outside the plug-in folders.
        QCOMPARE(zdtest::runProgram(at(u"opt/Brindel.app/Contents/MacOS/Brindel"_s), {u"-disable"_s, at(u"etc/os-release"_s)}).exit(), 2);
    }

    // A rogue agent claims version 99 of a plug-in: sync copies nothing until the administrator
    // names the source, then that computer's copy goes out with its SHA-256, checked on arrival.
    void syncCopiesOnlyFromTheChosenComputer()
    {
        const auto verb = [](const QString &root, const char *version, const QByteArray &body) {
            return ZDPropertyList::writeFile(root + u"/home/.lv2/Verb.lv2/Contents/Info.plist"_s,
                                             QVariantMap{{u"CFBundleName"_s, u"Verb"_s}, {u"CFBundleShortVersionString"_s, QLatin1String(version)}})
                && ZDTestSandbox::writeFile(root + u"/home/.lv2/Verb.lv2/verb.ttl"_s, body);
        };
        // Only what can travel and has a folder to go to on the rogue's computer.
        QVERIFY(ZDFileTree::remove(at(u"home/.lv2/Huge.lv2"_s)).ok);
        QVERIFY(ZDFileTree::remove(at(u"usr/local/share/Adobe"_s)).ok);
        ZDRealAgent rogue;
        QVERIFY(verb(m_agent.root(), "1.0", "good") && verb(rogue.root(), "99.0", "evil"));
        QVERIFY2(rogue.startAlone(ZDRealAgent::freePort(), "rogue-host"), qPrintable(rogue.output()));
        QCOMPARE(kestra({u"add"_s, u"rogue"_s, u"127.0.0.1"_s, QString::number(rogue.port())}).exit(), 0);
        const auto sync = [](const QStringList &more) {
            return zdtest::runProgram(zdtest::buildPath(u"bin/kestra"_s),
                                      QStringList{u"plugins"_s, u"sync"_s, u"--no-browse"_s, u"--hosts"_s, u"bay,rogue"_s} + more);
        };
        zdtest::Ran r = sync({});
        QVERIFY2(r.out.contains(u"Verb: the computers' copies differ; not copied without a chosen source computer"_s), qPrintable(r.out));
        QCOMPARE(ZDTestSandbox::readFile(at(u"home/.lv2/Verb.lv2/verb.ttl"_s)), QByteArray("good"));
        r = sync({u"--from"_s, u"bay"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.out + r.err));
        const QString hash = QRegularExpression(u"Verb 1.0 from \\S+: SHA-256 ([0-9a-f]{64})"_s).match(r.out).captured(1);
        QVERIFY2(!hash.isEmpty(), qPrintable(r.out));
        QCOMPARE(ZDTestSandbox::readFile(rogue.root() + u"/home/.lv2/Verb.lv2/verb.ttl"_s), QByteArray("good"));
        // A plug-in the rogue never had stays off it unless asked.
        QVERIFY2(r.out.contains(u"Echo: missing on rogue"_s) && r.out.contains(u"; not copied there unless asked"_s), qPrintable(r.out));
        QVERIFY(!QFileInfo::exists(rogue.root() + u"/home/.lv2/Echo.lv2"_s));
        // A bundle without a version that only the failing computer has is a difference.
        r = zdtest::runProgram(zdtest::buildPath(u"bin/kestra"_s), {u"diff"_s, u"--working"_s, u"rogue"_s, u"--failing"_s, u"bay"_s,
                                                                     u"--no-browse"_s, u"--json"_s});
        QVERIFY2(r.exit() == 0 && r.out.contains(u"Plugin Echo"_s) && r.out.contains(u"(no version)"_s), qPrintable(r.out + r.err));
        // The rogue's own log says which hash it checked the copy against.
        const auto rogueLog = [&] {
            QDirIterator logs(rogue.root(), {u"KestraClient.1.log"_s}, QDir::Files, QDirIterator::Subdirectories);
            return logs.hasNext() ? ZDTestSandbox::readFile(logs.next()) : QByteArray();
        };
        QTRY_VERIFY_WITH_TIMEOUT(rogueLog().contains("has the SHA-256 the console was shown: " + hash.toLatin1()), 30000);
        QCOMPARE(ZDTestSandbox::readFile(at(u"home/.lv2/Verb.lv2/verb.ttl"_s)), QByteArray("good"));
        // Chosen or not, a copy holding a link goes nowhere: the console refuses it before sending.
        QVERIFY(verb(rogue.root(), "2.0", "evil") && QFile::link(at(u"home"_s), rogue.root() + u"/home/.lv2/Verb.lv2/home"_s));
        r = sync({u"--from"_s, u"rogue"_s});
        QVERIFY2(r.exit() != 0 && (r.out + r.err).contains(u"refused its copy of Verb"_s) && (r.out + r.err).contains(u"is a link"_s),
                 qPrintable(r.out + r.err));
        QCOMPARE(ZDTestSandbox::readFile(at(u"home/.lv2/Verb.lv2/verb.ttl"_s)), QByteArray("good"));
        QVERIFY(!QFileInfo::exists(at(u"home/.lv2/Verb.lv2/home"_s)));
    }
};

QTEST_GUILESS_MAIN(TestZDPlugins)
#include "tst_zdplugins.moc"
