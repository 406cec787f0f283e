// Preference backups and application paths end to end on one computer: a real
// agent in a sandbox with the preference and path tools installed, driven by the
// kestra command line, checked on the files the tools really wrote.
#include "dispatch/ZDAgentCalls.h"
#include "files/ZDArchive.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "files/ZDFileAttributes.h"
#include "catalog/ZDPreferenceKinds.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "ZDTestThreads.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestPrefsAndPaths : public QObject
{
    Q_OBJECT

    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::unique_ptr<ZDRealAgent> m_agent;
    QString m_kestra, m_host;
    zdtest::Ran kestra(QStringList args)
    {
        return zdtest::runProgram(m_kestra, args << u"--no-browse"_s << u"--hosts"_s << u"Bay"_s);
    }
    QString home(const QString &relative) const { return m_agent->root() + u"/home/"_s + relative; }
    static QByteArray sum(const QString &path)
    {
        return QCryptographicHash::hash(ZDTestSandbox::readFile(path), QCryptographicHash::Sha256);
    }
    QVariantList json(const zdtest::Ran &r) { return QJsonDocument::fromJson(r.out.toUtf8()).toVariant().toList(); }

private Q_SLOTS:
    void initTestCase()
    {
        m_kestra = zdtest::buildPath(u"bin/kestra"_s);
        m_sandbox = std::make_unique<ZDTestSandbox>();
        m_agent = std::make_unique<ZDRealAgent>();
        for (const char *tool : {"Stowel.app", "Tarnok.app"})
            QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u'/' + QLatin1String(tool),
                                     m_agent->root() + u"/opt/"_s + QLatin1String(tool)));
        QVERIFY(ZDPropertyList::writeFile(home(u".config/com.apple.FinalCutPro.plist"_s), QVariantMap{{u"a"_s, 1}}));
        QVERIFY(ZDTestSandbox::writeFile(home(u".config/Final Cut Pro User Data/Button Bars/bar1"_s), "bar\x01bytes"));
        m_host = u"prefs-%1"_s.arg(QCoreApplication::applicationPid());
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY(m_agent->startAlone(port, m_host.toUtf8()));
        QCOMPARE(zdtest::runProgram(m_kestra, {u"add"_s, u"Bay"_s, u"127.0.0.1"_s, QString::number(port)}).exit(), 0);
    }

    void backupRestoreTrashLock()
    {
        // Refused before anything is sent.
        zdtest::Ran r = kestra({u"prefs"_s, u"backup"_s, u"../x"_s});
        QCOMPARE(r.exit(), 2);
        QVERIFY2(r.err.contains(u"cannot contain"_s), qPrintable(r.err));
        QVERIFY(kestra({u"prefs"_s, u"lock"_s}).err.contains(u"No items selected"_s));
        QCOMPARE(kestra({u"prefs"_s, u"trash"_s, u"noSuchKind"_s}).exit(), 2);

        const QString plist = home(u".config/com.apple.FinalCutPro.plist"_s);
        const QByteArray before = sum(plist);
        QCOMPARE(kestra({u"prefs"_s, u"backup"_s, u"b1"_s, u"fcpPrefs"_s, u"fcpButton"_s}).exit(), 0);
        QVariantList rows = json(kestra({u"prefs"_s, u"list"_s, u"--json"_s}));
        QCOMPARE(rows.size(), 1);
        const QString path = rows.first().toMap().value(u"path"_s).toString();
        QVERIFY2(path.startsWith(m_agent->root()) && path.endsWith(u"/b1.stb2"_s), qPrintable(path));

        // Changed, then restored byte for byte; a quick backup came first.
        QVERIFY(ZDPropertyList::writeFile(plist, QVariantMap{{u"a"_s, 2}}));
        r = kestra({u"prefs"_s, u"restore"_s, m_host + u":b1"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QCOMPARE(sum(plist), before);
        rows = json(kestra({u"prefs"_s, u"list"_s, u"--json"_s}));
        QCOMPARE(rows.size(), 2);
        // Only listed backups leave the computer or are restored by path.
        r = kestra({u"prefs"_s, u"restore"_s, m_host + u":"_s + home(u".config"_s)});
        QCOMPARE(r.exit(), 1);
        QVERIFY2(r.err.contains(u"is not a backup listed"_s), qPrintable(r.err));
        for (const QString &bad : {home(u".config"_s), path + u"/.."_s + u"/b1.stb2/Files"_s}) {
            r = kestra({u"call"_s, u"stowelBackupData:"_s, u"\"%1\""_s.arg(bad), u"--json"_s});
            QVERIFY(QJsonDocument::fromJson(r.out.toUtf8()).object().value(m_host + u".local"_s).isNull());
        }

        QCOMPARE(kestra({u"prefs"_s, u"lock"_s, u"fcpPrefs"_s}).exit(), 0);
        QVERIFY(ZDFileAttributes::isLocked(plist));
        QCOMPARE(kestra({u"prefs"_s, u"unlock"_s, u"fcpPrefs"_s}).exit(), 0);
        QVERIFY(!ZDFileAttributes::isLocked(plist));
        QCOMPARE(kestra({u"prefs"_s, u"trash"_s, u"fcpButton"_s}).exit(), 0);
        QVERIFY(!QFileInfo::exists(home(u".config/Final Cut Pro User Data/Button Bars"_s)));
        QVERIFY(QFileInfo::exists(home(u".local/share/Trash/info/Button Bars.trashinfo"_s)));
    }

    void pathsSetResetAndRefuse()
    {
        const auto valueOf = [&](const QString &key) {
            for (const QVariant &row : json(kestra({u"paths"_s, u"list"_s, u"--json"_s}))) {
                if (row.toMap().value(u"key"_s) == key)
                    return row.toMap().value(u"values"_s).toMap().value(m_host + u".local"_s).toString();
            }
            return u"(no row)"_s;
        };
        QCOMPARE(valueOf(u"motionContent"_s),
                 m_agent->root() + u"/usr/local/share/Final Cut Studio/Motion"_s);
        QCOMPARE(valueOf(u"fcpRender"_s), QString());
        // An action says its result in one line per computer, not the listing again.
        const zdtest::Ran set = kestra({u"paths"_s, u"set"_s, u"fcpRender"_s, u"/srv/render"_s});
        QCOMPARE(set.exit(), 0);
        QCOMPARE(set.out, m_host + u".local: done\n"_s);
        QCOMPARE(valueOf(u"fcpRender"_s), u"/srv/render"_s);
        // The paths live in the application's own preference file, beside its other keys.
        const QVariantMap prefs = ZDPropertyList::readDictionary(home(u".config/com.apple.FinalCutPro.plist"_s));
        QCOMPARE(prefs.value(u"fcpRender"_s).toString(), u"/srv/render"_s);
        QCOMPARE(prefs.value(u"a"_s).toInt(), 1);
        // An unknown title or a relative path: the whole dictionary is refused.
        kestra({u"call"_s, u"setTarnokPaths:"_s,
                u"{\"Final Cut Pro\":{\"Render Files\":\"/x\"},\"Motion\":{\"Nope\":\"/y\"}}"_s});
        kestra({u"call"_s, u"setTarnokPaths:"_s, u"{\"Final Cut Pro\":{\"Render Files\":\"x\"}}"_s});
        QCOMPARE(valueOf(u"fcpRender"_s), u"/srv/render"_s);
        const zdtest::Ran reset = kestra({u"paths"_s, u"reset"_s, u"fcpRender"_s, u"--json"_s});
        QCOMPARE(reset.exit(), 0);
        QCOMPARE(QJsonDocument::fromJson(reset.out.toUtf8()).object().value(m_host + u".local"_s).toString(), u"done"_s);
        QCOMPARE(valueOf(u"fcpRender"_s), QString());
        QCOMPARE(kestra({u"paths"_s, u"reset"_s, u"noSuchKey"_s}).exit(), 2);
        const zdtest::Ran spaced = kestra({u"paths"_s, u"set"_s, u"qmasterClusterStorage"_s, u"/srv/a b"_s});
        QVERIFY2(spaced.exit() == 1 && spaced.err.contains(u"cannot contain spaces"_s), qPrintable(spaced.err));
        const QString tool = m_agent->root() + u"/opt/Tarnok.app/Contents/MacOS/Tarnok"_s;
        QCOMPARE(zdtest::runProgram(tool, {u"-setpath"_s, u"noSuchKey"_s, u"/x"_s}).exit(), 2);
        // Reset-all asks first; no answer is no.
        kestra({u"call"_s, u"setTarnokPath:forKey:"_s, u"\"/srv/again\""_s, u"\"fcpRender\""_s});
        QCOMPARE(kestra({u"paths"_s, u"reset-all"_s}).exit(), 1);
        QCOMPARE(valueOf(u"fcpRender"_s), u"/srv/again"_s);
        QCOMPARE(kestra({u"paths"_s, u"reset-all"_s, u"--yes"_s}).exit(), 0);
        QCOMPARE(valueOf(u"fcpRender"_s), QString());
    }

    // A path dictionary too big for one tool argument never reaches the tool; a
    // backup that unpacks to too much is not restored, not even in part.
    void oversizedInputRefused()
    {
        auto errors = std::make_shared<ZDErrorCallback>();
        const QList<ZDServicePtr> bay{ZDService::serviceWithName(u"Bay"_s, {}, u"127.0.0.1"_s, m_agent->port(), errors)};
        QVERIFY(QTest::qWaitFor([&] { return bay[0]->isConnected() && !bay[0]->configDict().isEmpty(); }, 30000));
        ZDDispatcher dispatcher([&] { return bay; });
        QVariantMap all;
        for (const ZDPreferenceKinds::PathApplication &app : ZDPreferenceKinds::pathApplications()) {
            QVariantMap rows;
            for (const ZDPreferenceKinds::PathRow &row : app.rows)
                rows.insert(row.title, u"/"_s + QString(3000, u'"')); // written escaped: twice as long
            all.insert(app.title, rows);
        }
        zdtest::offMain([&] { ZDAgentCalls(&dispatcher).setTarnokPaths(all, bay[0]); });
        QTRY_VERIFY_WITH_TIMEOUT(errors->stringRepresentation().contains(u"larger than 131072 bytes"_s), 30000);
        QVERIFY(!QFileInfo::exists(home(u".config/com.apple.motion.plist"_s)));
        // A package from elsewhere restores only preference files of known kinds.
        QTemporaryDir package, out;
        const auto send = [&] {
            QFile::remove(out.filePath(u"b.zip"_s));
            QVERIFY(ZDArchive::createZip(package.path(), out.filePath(u"b.zip"_s), false).ok);
            const QByteArray data = ZDTestSandbox::readFile(out.filePath(u"b.zip"_s));
            zdtest::offMain([&] { ZDAgentCalls(&dispatcher).stowelRestoreRemoteBackup(data, bay[0]); });
        };
        const QString motion = home(u".config/com.apple.motion.plist"_s);
        QVERIFY(ZDPropertyList::writeFile(package.filePath(u"Info.plist"_s), QVariantMap{{u"name"_s, u"x"_s}}) &&
                ZDTestSandbox::writeFile(package.filePath(u"Files/.config/com.apple.motion.plist"_s), "first") &&
                ZDTestSandbox::writeFile(package.filePath(u"Files/.bashrc"_s), "evil"));
        send();
        QCOMPARE(ZDTestSandbox::readFile(motion), QByteArray("first"));
        QVERIFY(!QFileInfo::exists(home(u".bashrc"_s)));
        QVERIFY(ZDTestSandbox::writeFile(package.filePath(u"Files/.config/com.apple.motion.plist"_s), "second"));
        QFile bomb(package.filePath(u"Files/.config/com.apple.motion.zeros"_s));
        QVERIFY(bomb.open(QIODevice::WriteOnly) && bomb.resize(300 * 1024 * 1024)); // sparse: no disk
        bomb.close();
        send();
        QCOMPARE(ZDTestSandbox::readFile(motion), QByteArray("first"));
        ZDService::invalidateServices(bay, false);
    }

    // A computer without the preference tool and one whose tool fails: neither is
    // "done"; both reach the error log and the command fails naming them.
    void missingAndFailingToolReported()
    {
        ZDRealAgent without, failing;
        // The suite's tools are there, only the preference tool is not.
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Tarnok.app"_s,
                                 without.root() + u"/opt/Tarnok.app"_s));
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Stowel.app"_s,
                                 failing.root() + u"/opt/Stowel.app"_s));
        // Its backup folder cannot be made: every backup fails in the tool itself.
        QVERIFY(ZDTestSandbox::writeFile(failing.root() + u"/home/.local/share/Stowel/Backups"_s, "not a folder"));
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const QString withoutHost = u"nostowel-"_s + pid, failingHost = u"badstowel-"_s + pid;
        QVERIFY(without.startAlone(ZDRealAgent::freePort(), withoutHost.toUtf8()));
        QVERIFY(failing.startAlone(ZDRealAgent::freePort(), failingHost.toUtf8()));
        for (const auto &[name, agent] : {std::pair{u"Dock"_s, &without}, {u"Pier"_s, &failing}})
            QCOMPARE(zdtest::runProgram(m_kestra, {u"add"_s, name, u"127.0.0.1"_s, QString::number(agent->port())}).exit(), 0);
        const auto both = [&](QStringList args) {
            return zdtest::runProgram(m_kestra, args << u"--no-browse"_s << u"--hosts"_s << u"Dock,Pier"_s);
        };
        QCOMPARE(both({u"errors"_s, u"--clear"_s}).exit(), 0);
        const zdtest::Ran r = both({u"prefs"_s, u"backup"_s, u"f1"_s, u"fcpPrefs"_s});
        QVERIFY2(r.exit() == 1, qPrintable(r.out + r.err));
        QVERIFY2(!r.out.contains(u"done"_s), qPrintable(r.out));
        QVERIFY2(r.err.contains(withoutHost) && r.err.contains(failingHost), qPrintable(r.err));
        // Each failing computer on one line of its own.
        for (const QString &host : {withoutHost, failingHost})
            QVERIFY2(r.err.contains(u"kestra: "_s + host + u".local: failed: "_s), qPrintable(r.err));
        const QString log = both({u"errors"_s}).out;
        QVERIFY2(log.contains(u"Application com.zendrel.Stowel not found."_s), qPrintable(log));
        QVERIFY2(log.contains(u"com.zendrel.Stowel failed with status 1"_s), qPrintable(log));
        QVERIFY2(log.contains(withoutHost) && log.contains(failingHost), qPrintable(log));
        // A key-list operation fails the same way.
        QCOMPARE(both({u"prefs"_s, u"lock"_s, u"fcpPrefs"_s}).exit(), 1);
    }

    void cleanupTestCase() { m_agent.reset(); }
};

QTEST_GUILESS_MAIN(TestPrefsAndPaths)
#include "tst_zdprefsandpaths.moc"
