// Applications and the maker's tools from `kestra` against a real agent on a fake
// computer: the editing application stand-in found, opened, seen running through
// /proc, quit with SIGTERM (its own record) and seen stopped; the cleaning, removal
// and cache tools run on the computer's own folders; inputs outside the tables
// refused by the agent before any tool runs; the shared settings.
#include "files/ZDFileTree.h"
#include "log/ZDLog.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"

#include <QRandomGenerator>

using namespace Qt::StringLiterals;

class TestZDApplications : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_console;
    ZDRealAgent m_agent;

    zdtest::Ran kestra(QStringList args, const QByteArray &input = {})
    {
        args << u"--no-browse"_s << u"--hosts"_s << u"mill"_s << u"--json"_s << u"--yes"_s;
        return zdtest::runProgram(zdtest::buildPath(u"bin/kestra"_s), args, {}, input);
    }
    QString at(const QString &relative) const { return m_agent.root() + u'/' + relative; }
    QJsonObject row(const QString &name)
    {
        for (const QJsonValue &r : QJsonDocument::fromJson(kestra({u"apps"_s}).out.toUtf8()).array())
            if (r[u"name"_s] == name)
                return r.toObject();
        return {};
    }
    // What the agent reported to the console for one call, from the console's error queue.
    QString reported(const QStringList &call)
    {
        kestra({u"errors"_s, u"--clear"_s});
        kestra(call);
        return kestra({u"errors"_s}).out;
    }
    // Where the agent logs: the user's log folder, or the computer's when it runs as root.
    QString agentLog() const
    {
        QString text;
        for (const char *folder : {"home/.local/state/log", "var/log"})
            text += QString::fromUtf8(ZDTestSandbox::readFile(at(QLatin1String(folder) + u"/Zendrel/KestraClient.1.log"_s)));
        return text;
    }
    QByteArray record(const QString &relative) { return ZDTestSandbox::readFile(at(u"var/lib/standins/"_s + relative)); }

private Q_SLOTS:
    void applicationsAndToolsThroughTheCommandLine()
    {
        QVERIFY(QDir().mkpath(at(u"opt"_s)));
        for (const char *app : {"Color", "Tidwell", "Purgel", "Kitterel", "Ondrel"})
            QVERIFY(ZDFileTree::copy(qEnvironmentVariable("KESTRA_APPS_DIR") + u'/' + QLatin1String(app) + u".app"_s,
                                     at(u"opt/"_s + QLatin1String(app) + u".app"_s)).ok);
        // What the removal of group 0 takes away: both applications of the group.
        for (const char *app : {"Final Cut Pro", "Final Cut Express"})
            QVERIFY(ZDPropertyList::writeFile(at(u"opt/%1.app/Contents/Info.plist"_s.arg(QLatin1String(app))),
                                              QVariantMap{{u"CFBundleIdentifier"_s, u"com.apple.x"_s}}));
        QVERIFY2(m_agent.startAlone(ZDRealAgent::freePort(), "mill-host"), qPrintable(m_agent.output()));
        QCOMPARE(kestra({u"add"_s, u"mill"_s, u"127.0.0.1"_s, QString::number(m_agent.port())}).exit(), 0);

        QJsonObject color = row(u"Color"_s);
        QCOMPARE(color[u"status"_s].toString(), u"Not running"_s);
        QCOMPARE(color[u"version"_s].toString(), u"1.5.4"_s);
        QCOMPARE(row(u"Motion"_s)[u"status"_s].toString(), u"Not installed"_s);
        QCOMPARE(row(u"Kitterel"_s)[u"children"_s][0][u"installed"_s].toBool(), true);

        // Opened in the session, running by its executable, quit with SIGTERM, gone.
        QCOMPARE(kestra({u"apps"_s, u"open"_s, u"Color"_s}).exit(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(record(u"Color/started.result"_s).startsWith("pid="), 30000);
        QCOMPARE(row(u"Color"_s)[u"status"_s].toString(), u"Running"_s);
        QCOMPARE(kestra({u"apps"_s, u"quit"_s, u"com.apple.color"_s}).exit(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!record(u"Color/terminated.result"_s).isEmpty(), 30000);
        QCOMPARE(record(u"Color/terminated.result"_s), record(u"Color/started.result"_s));
        QTRY_COMPARE_WITH_TIMEOUT(row(u"Color"_s)[u"status"_s].toString(), u"Not running"_s, 30000);

        // Cleaning: each task's cache goes; unknown tasks never reach the tool.
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.cache/fcpWaveform/a.wav"_s), "x"));
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.cache/motionWeb/b"_s), "x"));
        QCOMPARE(kestra({u"clean"_s, u"fcpWaveform"_s}).exit(), 0);
        QVERIFY(!QFileInfo::exists(at(u"home/.cache/fcpWaveform"_s)));
        QVERIFY(QFileInfo::exists(at(u"home/.cache/motionWeb"_s)));
        QCOMPARE(kestra({u"clean"_s, u"fcpWaveform"_s, u"rm -rf"_s}).exit(), 2);
        QFile::remove(at(u"var/lib/standins/Tidwell/runtask.result"_s));
        kestra({u"call"_s, u"fcsTidwellRunTasks:"_s, u"[\"fcpWaveform\",\"../../etc\"]"_s});
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"Refused Tidwell tasks: unknown item \"../../etc\""_s), 30000);
        QVERIFY(!QFileInfo::exists(at(u"var/lib/standins/Tidwell/runtask.result"_s)));
        // A clean that outlasts the agent's time-out is stopped and the console told so.
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.cache/fcpThumbnail/.hold"_s), "x"));
        QVERIFY(reported({u"clean"_s, u"fcpThumbnail"_s}).contains(u"Tidwell did not finish within 20 seconds"_s));
        QVERIFY(QFile::remove(at(u"home/.cache/fcpThumbnail/.hold"_s)));
        // The presets by their counts (the suite's tasks and the Linux studio catalogue's four
        // caches): 75 tasks in the short one (motionWeb not among them), all 114.
        QVERIFY(kestra({u"clean"_s, u"0"_s}).out.startsWith(u"75 cleaning task(s)"_s));
        QVERIFY(QFileInfo::exists(at(u"home/.cache/motionWeb"_s)));
        QVERIFY(kestra({u"clean"_s, u"1"_s}).out.startsWith(u"114 cleaning task(s)"_s));
        QVERIFY(!QFileInfo::exists(at(u"home/.cache/motionWeb"_s)));

        // Removal of group 0 as the agent's user: both bundles in the Trash, recoverable.
        zdtest::Ran r = kestra({u"remove-group"_s, u"Final Cut Pro / Express"_s});
        QVERIFY2(r.exit() == 0 && r.out.contains(u"1 finished"_s), qPrintable(r.out + r.err));
        for (const char *app : {"Final Cut Pro", "Final Cut Express"}) {
            QVERIFY(!QFileInfo::exists(at(u"opt/%1.app"_s.arg(QLatin1String(app)))));
            QVERIFY(QFileInfo::exists(at(u"home/.local/share/Trash/files/%1.app"_s.arg(QLatin1String(app)))));
        }
        QVERIFY(kestra({u"remove-group"_s, u"14"_s}).exit() == 2);
        kestra({u"call"_s, u"purgelRemoveApps:settings:"_s, u"{}"_s, u"{\"obj1\":99}"_s});
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"Refused component group 99"_s), 30000);

        // Caches: a step per key the tool did, the bar still full with the key it skipped.
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.cache/fontconfig/x.cache"_s), "x"));
        r = kestra({u"caches"_s, u"font"_s, u"malware"_s});
        const QJsonObject caches = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QCOMPARE(caches[u"total"_s].toInt(), 2);
        QCOMPARE(caches[u"steps"_s].toInt(), 1);
        QCOMPARE(caches[u"finished"_s].toInt(), 1);
        QVERIFY(!QFileInfo::exists(at(u"home/.cache/fontconfig"_s)));
        // The user's font cache rebuilt as the user; with rights on a sandboxed computer the
        // computer's own cache is not this machine's to rebuild.
        QVERIFY(record(u"Kitterel/clearcaches.result"_s).contains("skipped=malware\n"));
        QVERIFY(record(u"Kitterel/clearcaches.result"_s).contains(::geteuid() == 0 ? "skipped=fc-cache -s -f" : "command=fc-cache -f\n"));
        kestra({u"call"_s, u"kitterelTrashCaches:settings:"_s, u"{}"_s, u"{\"obj1\":\"font,;reboot\"}"_s});
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"Refused cache keys: unknown item \";reboot\""_s), 30000);
        QVERIFY(!record(u"Kitterel/clearcaches.result"_s).contains("reboot"));

        // Shared settings: -1 is stored as 1; no protection files read as off.
        QVERIFY(ZDPropertyList::writeFile(at(u"home/.config/com.zendrel.global.plist"_s), QVariantMap{{u"SUCheckAtStartup"_s, 0}}));
        QCOMPARE(kestra({u"call"_s, u"setOrvelleSettings:"_s, u"{\"autoUpdateCheck\":-1}"_s}).exit(), 0);
        const QJsonObject settings = QJsonDocument::fromJson(kestra({u"call"_s, u"orvelleSettings"_s}).out.toUtf8())
                                         .object()[u"mill-host.local"_s].toObject();
        QCOMPARE(settings[u"autoUpdateCheck"_s].toInt(), 1);
        QCOMPARE(settings[u"passwordProtect"_s].toInt(), 0);

        // A repair with rights: task "1" ran as root and its answer came back through the callback.
        if (::geteuid() != 0)
            QSKIP("an administrator account can only be made as root");
        const QString admin = u"kestra_rpadm"_s, password = u"Rp%1!"_s.arg(QRandomGenerator::system()->generate(), 0, 36);
        auto dropAdmin = qScopeGuard([&] { zdtest::removeAccount(admin); });
        QVERIFY(zdtest::makeAccount(admin, password, true));
        r = kestra({u"repair"_s, u"Ondrel"_s, u"1"_s}, (admin + u'\n' + password + u'\n').toUtf8());
        QVERIFY2(r.exit() == 0, qPrintable(r.out + r.err));
        QVERIFY(r.err.contains(u"Repairing Compressor on 1 computer. It may take up to 30 seconds"_s));
        QVERIFY2(r.out.contains(u"\n\nResults from mill-host.local:\n\nOndrel repair finished. "_s), qPrintable(r.out));
        QVERIFY(r.out.contains(u"Preferences moved to the Trash."_s));
        QVERIFY(record(u"Ondrel/repair-trash.result"_s).contains("euid=0\n"));
        // The console's own log of that run.
        QVERIFY(ZDTestSandbox::readFile(ZDLog::logFolder() + u"/kestra.1.log"_s).contains("Callback received"));
    }
};

QTEST_GUILESS_MAIN(TestZDApplications)
#include "tst_zdapplications.moc"
