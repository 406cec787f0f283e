// The tools as kestra-client ships them, run in a sandboxed workstation (system root,
// home and XDG folders in a temporary folder): cleaning and caches empty only their
// folders, a schedule becomes units systemd accepts and the right systemctl calls, a
// real crash of a program named "blender" is explained, a repair backs up first; an
// agent with the tools as the package installs them lists their real tasks.
#include "ZDRealAgent.h"
#include "ZDStudioApps.h"
#include "ZDTestFixtures.h"
#include "ZDTestHttpServer.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"

#include "files/ZDArchive.h"
#include "plist/ZDPropertyList.h"
#include "rights/ZDLaunchd.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

using zdtest::treeHash;

class TestZDShippedTools : public QObject
{
    Q_OBJECT

    std::unique_ptr<ZDTestSandbox> m_box;
    QProcessEnvironment m_env;

    QString tool(const QString &name) const
    {
        return qEnvironmentVariable("KESTRA_APPS_DIR") + u'/' + name + u".app/Contents/MacOS/"_s + name;
    }
    QString at(const QString &relative) const { return m_box->path(relative); }
    zdtest::Ran run(const QString &name, const QStringList &args) { return zdtest::runProgram(tool(name), args, m_env); }

private Q_SLOTS:
    void init()
    {
        m_box.reset(); // its environment restored before the next one saves it
        m_box = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_box->isValid());
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(u"KESTRA_SYSTEM_ROOT"_s, m_box->root());
        m_env.insert(u"HOME"_s, m_box->home());
        m_env.insert(u"XDG_CONFIG_HOME"_s, at(u"home/.config"_s));
        m_env.insert(u"XDG_DATA_HOME"_s, at(u"home/.local/share"_s));
        m_env.insert(u"XDG_CACHE_HOME"_s, at(u"home/.cache"_s));
        m_env.insert(u"XDG_STATE_HOME"_s, at(u"home/.local/state"_s));
    }

    // Cleaning empties the listed task's cache folder and nothing else: a link inside it
    // goes, the folder it points to stays as it was; an unlisted name never reaches a folder.
    void cleaningTouchesOnlyTheListedFolders()
    {
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.cache/fcpWaveform/a.wav"_s), "RIFF"));
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.cache/fcpWaveform/deep/er/b.bin"_s), "x"));
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.cache/motionWeb/keep"_s), "keep"));
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/Projects/film/edit.kdenlive"_s), "<mlt/>"));
        QVERIFY(QFile::link(at(u"home/Projects"_s), at(u"home/.cache/fcpWaveform/projects"_s)));
        QVERIFY(QFile::link(at(u"home/Projects/film/edit.kdenlive"_s), at(u"home/.cache/fcpWaveform/deep/edit"_s)));
        const QByteArray projects = treeHash(at(u"home/Projects"_s));
        const QByteArray neighbour = treeHash(at(u"home/.cache/motionWeb"_s));

        zdtest::Ran r = run(u"Tidwell"_s, {u"-runtask"_s, u"fcpWaveform"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QVERIFY(!QFileInfo::exists(at(u"home/.cache/fcpWaveform"_s)));
        QCOMPARE(treeHash(at(u"home/Projects"_s)), projects);
        QCOMPARE(treeHash(at(u"home/.cache/motionWeb"_s)), neighbour);

        r = run(u"Tidwell"_s, {u"-runtask"_s, u"../Projects"_s});
        QCOMPARE(r.exit(), 2);
        QCOMPARE(treeHash(at(u"home/Projects"_s)), projects);
        // A cache folder that is itself a link: the link goes, never its target.
        QVERIFY(QFile::link(at(u"home/Projects"_s), at(u"home/.cache/fcpThumbnail"_s)));
        QCOMPARE(run(u"Tidwell"_s, {u"-runtask"_s, u"fcpThumbnail"_s}).exit(), 0);
        QVERIFY(!QFileInfo(at(u"home/.cache/fcpThumbnail"_s)).isSymLink());
        QCOMPARE(treeHash(at(u"home/Projects"_s)), projects);
        // A catalogue application's task empties the folders the catalogue names for it
        // (Ardour's "~/.cache/ardour*"), not a neighbour whose name merely starts alike.
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.cache/ardour8/peaks/a.peak"_s), "peak"));
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.cache/kdenlive/proxy/a.mkv"_s), "proxy"));
        const QByteArray kdenlive = treeHash(at(u"home/.cache/kdenlive"_s));
        r = run(u"Tidwell"_s, {u"-runtask"_s, u"ardourCache"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QVERIFY(!QFileInfo::exists(at(u"home/.cache/ardour8"_s)));
        QCOMPARE(treeHash(at(u"home/.cache/kdenlive"_s)), kdenlive);
        QVERIFY(run(u"Tidwell"_s, {u"-runtask"_s, u"kdenliveCache"_s}).exit() == 0);
        QVERIFY(!QFileInfo::exists(at(u"home/.cache/kdenlive"_s)));
        QCOMPARE(treeHash(at(u"home/Projects"_s)), projects);
    }

    // Each cache key's work on the user's folders; a key without its program or rights
    // fails by name, the others still done.
    void cachesDoTheirLinuxWork()
    {
        for (const char *file : {"home/.cache/gstreamer-1.0/registry.x86_64.bin", "home/.cache/thumbnails/large/1.png",
                                 "home/.cache/fontconfig/a-le64.cache-8", "home/.cache/keep/x"})
            QVERIFY(ZDTestSandbox::writeFile(at(QLatin1String(file)), "x"));
        QVERIFY(QFile::link(at(u"home/.cache/keep"_s), at(u"home/.cache/thumbnails/normal"_s)));
        // A desktop entry and a MIME package of the user's: their databases are built.
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/.local/share/applications/org.kde.kdenlive.desktop"_s),
                                         "[Desktop Entry]\nType=Application\nName=Kdenlive\nExec=kdenlive %F\n"
                                         "MimeType=application/x-kdenlive;\n"));
        const QByteArray keep = treeHash(at(u"home/.cache/keep"_s));
        zdtest::Ran r = run(u"Kitterel"_s, {u"-clearcaches"_s, u"qt,font,launchservices,malware"_s, u"-force"_s});
        const QByteArray record = ZDTestSandbox::readFile(at(u"var/lib/standins/Kitterel/clearcaches.result"_s));
        // The font cache folder is emptied; fc-cache, run as the user, fills it anew.
        for (const char *gone : {"home/.cache/gstreamer-1.0", "home/.cache/thumbnails", "home/.cache/fontconfig/a-le64.cache-8"})
            QVERIFY2(!QFileInfo::exists(at(QLatin1String(gone))), gone);
        QCOMPARE(treeHash(at(u"home/.cache/keep"_s)), keep);
        QVERIFY(record.contains("skipped=malware\n"));
        const bool haveDesktopTools = !QStandardPaths::findExecutable(u"update-desktop-database"_s).isEmpty();
        if (::geteuid() != 0) {
            QVERIFY(record.contains("command=fc-cache -f\n"));
            if (haveDesktopTools) {
                QVERIFY2(r.exit() == 0, qPrintable(r.err));
                QVERIFY(QFileInfo::exists(at(u"home/.local/share/applications/mimeinfo.cache"_s)));
            } else {
                QVERIFY(r.err.contains(u"launchservices: update-desktop-database is not installed"_s));
            }
            // The computer's shared-library links need rights: that key fails by name.
            r = run(u"Kitterel"_s, {u"-clearcaches"_s, u"prebinding"_s, u"-force"_s});
            QCOMPARE(r.exit(), 1);
            QVERIFY(r.err.contains(u"prebinding: ldconfig needs administrator rights"_s));
        } else {
            // With rights on a sandboxed computer: the computer's folders in the sandbox, and
            // what cannot be aimed there is skipped rather than run on this machine.
            QVERIFY2(r.exit() == 0, qPrintable(r.err + QString::fromUtf8(record)));
            QVERIFY(record.contains("skipped=fc-cache -s -f"));
            QVERIFY(ZDTestSandbox::writeFile(at(u"usr/share/applications/org.blender.Blender.desktop"_s),
                                             "[Desktop Entry]\nType=Application\nName=Blender\nExec=blender %f\n"
                                             "MimeType=application/x-blender;\n"));
            r = run(u"Kitterel"_s, {u"-clearcaches"_s, u"launchservices,prebinding"_s, u"-force"_s});
            // Without the desktop database's program that key fails by name; the others are done.
            QVERIFY2(haveDesktopTools ? r.exit() == 0 : r.err.contains(u"launchservices: update-desktop-database is not installed"_s),
                     qPrintable(r.err));
            if (haveDesktopTools)
                QVERIFY(ZDTestSandbox::readFile(at(u"usr/share/applications/mimeinfo.cache"_s)).contains("org.blender.Blender.desktop"));
            QVERIFY(ZDTestSandbox::readFile(at(u"var/lib/standins/Kitterel/clearcaches.result"_s)).contains("skipped=ldconfig"));
        }
        QCOMPARE(run(u"Kitterel"_s, {u"-clearcaches"_s, u"font,;reboot"_s, u"-force"_s}).exit(), 2);
    }

    // A schedule through the shipped tool: units systemd accepts, then the service
    // manager told in the right order (recorded by the systemctl stand-in on PATH).
    void scheduleBecomesVerifiedUnits()
    {
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Tidwell.app"_s, at(u"opt/Tidwell.app"_s)));
        const QString calls = at(u"systemctl.log"_s);
        m_env.insert(u"PATH"_s, zdtest::buildPath(u"tools/standins/bin"_s) + u':' + m_env.value(u"PATH"_s));
        m_env.insert(u"KESTRA_STANDIN_LOG"_s, calls);
        zdtest::Ran r = run(u"Cadro"_s, {u"-add"_s, u"com.zendrel.Tidwell"_s, u"0"_s, QString::number(ZDLaunchd::kCalendar),
                                         u"30,2,,,"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        const bool root = ::geteuid() == 0;
        const QString units = root ? at(u"etc/systemd/system"_s) : at(u"home/.config/systemd/user"_s);
        const QString name = u"Tidwell.0"_s;
        QVERIFY(QFileInfo::exists(units + u'/' + name + u".service"_s));
        QVERIFY(QFileInfo::exists(units + u'/' + name + u".timer"_s));
        QVERIFY(ZDTestSandbox::readFile(units + u'/' + name + u".service"_s).contains("Tidwell.app/Contents/MacOS/Tidwell\" \"-runpreset\" \"0\"\n"));

        const QStringList user = root ? QStringList() : QStringList{u"--user"_s};
        const auto lines = [&] {
            QStringList out;
            for (const QString &line : QString::fromUtf8(ZDTestSandbox::readFile(calls)).split(u'\n', Qt::SkipEmptyParts))
                out << line.section(u'\t', 3);
            return out;
        };
        QCOMPARE(lines(), (QStringList{(user + QStringList{u"daemon-reload"_s}).join(u'\t'),
                                       (user + QStringList{u"enable"_s, u"--now"_s, name + u".timer"_s}).join(u'\t')}));

        const QString analyze = QStandardPaths::findExecutable(u"systemd-analyze"_s);
        if (!analyze.isEmpty()) {
            QStringList args{u"verify"_s};
            if (!root)
                args << u"--user"_s;
            args << units + u'/' + name + u".service"_s << units + u'/' + name + u".timer"_s;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(u"SYSTEMD_UNIT_PATH"_s, units + u':');
            const zdtest::Ran v = zdtest::runProgram(analyze, args, env);
            QVERIFY2(v.exit() == 0, qPrintable(v.out + v.err));
        }

        // Off, then gone: the manager told each time, the files with it.
        QFile::remove(calls);
        QCOMPARE(run(u"Cadro"_s, {u"-disable"_s, name}).exit(), 0);
        QCOMPARE(lines(), QStringList{(user + QStringList{u"disable"_s, u"--now"_s, name + u".timer"_s}).join(u'\t')});
        QFile::remove(calls);
        QCOMPARE(run(u"Cadro"_s, {u"-remove"_s, name}).exit(), 0);
        QCOMPARE(lines(), (QStringList{(user + QStringList{u"disable"_s, u"--now"_s, name + u".timer"_s}).join(u'\t'),
                                       (user + QStringList{u"daemon-reload"_s}).join(u'\t')}));
        QVERIFY(!QFileInfo::exists(units + u'/' + name + u".timer"_s));
    }

    // A real SIGSEGV of a program named "blender": the crashed thread's cause, and the
    // explanation page with every text from the report escaped.
    void realCrashOfBlenderIsExplained()
    {
        m_env.insert(u"KESTRA_SYSTEM_ROOT"_s, m_box->root());
        const zdtest::Ran crash = zdtest::runProgram(zdtest::buildPath(u"tools/standins/Motion"_s), {u"--name"_s, u"blender"_s},
                                                         zdtest::crashingChildEnvironment(m_env));
        QCOMPARE(crash.status, QProcess::CrashExit);
        const QString report = QRegularExpression(u"crash report (\\S+\\.crash)"_s).match(crash.err).captured(1);
        QVERIFY2(QFileInfo(report).isFile() && QFileInfo(report).fileName().startsWith(u"blender_"_s), qPrintable(crash.err));
        zdtest::Ran r = run(u"Quellar"_s, {u"-cause"_s, report});
        QVERIFY2(r.exit() == 0 && r.out.startsWith(u"SIGSEGV (invalid memory access) in "_s), qPrintable(r.out + r.err));
        r = run(u"Quellar"_s, {u"-analyze"_s, u"-html"_s, report});
        QVERIFY(r.out.contains(u"read or wrote memory it does not own"_s));
        QVERIFY(r.out.contains(u"blender"_s));
        // Submission is off until the administrator sets an address.
        r = run(u"Quellar"_s, {u"-submit"_s, report, u"<b>it crashed</b>"_s});
        QCOMPARE(r.exit(), 3);
        QVERIFY(r.err.contains(u"crash submission is off"_s));
        if (::geteuid() != 0)
            return; // the address must be in root's own file
        ZDTestHttpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QVERIFY(ZDPropertyList::writeFile(at(u"etc/xdg/com.zendrel.Quellar.plist"_s),
                                          QVariantMap{{u"crashSubmissionURL"_s, u"http://127.0.0.1:%1/crash"_s.arg(server.serverPort())}}));
        QProcess submit;
        submit.setProcessEnvironment(m_env);
        submit.start(tool(u"Quellar"_s), {u"-submit"_s, report, u"while rendering"_s});
        QTRY_VERIFY_WITH_TIMEOUT(submit.state() == QProcess::NotRunning, 60000);
        QCOMPARE(submit.exitCode(), 0);
        QVERIFY(server.requestHead.startsWith("POST /crash "));
        const QJsonObject sent = QJsonDocument::fromJson(server.requestBody).object();
        QCOMPARE(sent[u"comment"_s].toString(), u"while rendering"_s);
        QVERIFY(sent[u"cause"_s].toString().startsWith(u"SIGSEGV"_s));
        QCOMPARE(sent[u"report"_s].toString().toUtf8(), ZDTestSandbox::readFile(report));
    }

    // An apport record of the system's (the format apport writes): its cause read as it
    // is, and the consolidation helper's conversion into the suite's format gives the same.
    void apportRecordIsExplainedAndConsolidated()
    {
        const QByteArray apport = "ProblemType: Crash\nDate: Tue Dec  8 01:02:03 2026\nExecutablePath: /usr/bin/blender\n"
                                  "ProcCmdline: blender --background scene.blend\nProcPid: 4242\nSignal: 11\n"
                                  "StacktraceTop:\n ccl::BVH::build (this=0x0) from /usr/lib/x86_64-linux-gnu/libcycles.so.3\n"
                                  " ccl::Session::run () from /usr/lib/x86_64-linux-gnu/libcycles.so.3\n"
                                  "Title: blender crashed with SIGSEGV\n";
        const QString record = at(u"var/crash/_usr_bin_blender.0.crash"_s);
        QVERIFY(ZDTestSandbox::writeFile(record, apport));
        zdtest::Ran r = run(u"Quellar"_s, {u"-cause"_s, record});
        QCOMPARE(r.out.trimmed(), u"SIGSEGV (invalid memory access) in libcycles.so.3"_s);
        if (::geteuid() != 0)
            return; // the helper runs with rights
        const QString helper = qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app/Contents/Helpers/LogConsolidator"_s;
        r = zdtest::runProgram(helper, {}, m_env);
        QVERIFY2(r.out.contains(u"1 report(s) gathered"_s), qPrintable(r.out + r.err));
        const QString folder = r.out.section(u" into "_s, 1).trimmed();
        const QStringList made = QDir(folder).entryList({u"blender_*.crash"_s}, QDir::Files);
        QCOMPARE(made.size(), 1);
        r = run(u"Quellar"_s, {u"-cause"_s, folder + u'/' + made.first()});
        QCOMPARE(r.out.trimmed(), u"SIGSEGV (invalid memory access) in libcycles.so.3"_s);
    }

    // Ondrel with its option: a backup package first (through Stowel beside it), only
    // then the preferences in the Trash; restoring the backup gives the bytes back.
    void repairBacksUpBeforeItResets()
    {
        const QString prefs = at(u"home/.config/com.apple.motion.plist"_s);
        QVariantMap original{{u"lastPreset"_s, u"ProRes 422"_s}, {u"threads"_s, 8}};
        QVERIFY(ZDPropertyList::writeFile(prefs, original));
        const QByteArray bytes = ZDTestSandbox::readFile(prefs);
        zdtest::Ran r = run(u"Ondrel"_s, {u"-repair"_s, u"-app"_s, u"motion"_s});
        QVERIFY2(r.exit() == 0 && r.out.contains(u"Preferences kept."_s), qPrintable(r.out + r.err));
        QVERIFY(QFileInfo::exists(prefs));
        r = run(u"Ondrel"_s, {u"-repair"_s, u"-option"_s, u"-app"_s, u"motion"_s});
        QVERIFY2(r.exit() == 0 && r.out.contains(u"Preferences moved to the Trash."_s), qPrintable(r.out + r.err));
        QVERIFY(!QFileInfo::exists(prefs));
        const QString backup = QRegularExpression(u"Backup \"([^\"]+)\" made"_s).match(r.out).captured(1);
        QVERIFY2(!backup.isEmpty(), qPrintable(r.out));
        const QString list = run(u"Stowel"_s, {u"-list"_s}).out;
        const QString path = ZDPropertyList::fromData(list.toUtf8()).toMap().value(backup).toMap().value(u"path"_s).toString();
        QVERIFY2(!path.isEmpty(), qPrintable(list));
        QCOMPARE(run(u"Stowel"_s, {u"-restore"_s, path}).exit(), 0);
        QCOMPARE(ZDTestSandbox::readFile(prefs), bytes);
    }

    // Moravel mends modes below the application's preference folders without following
    // a link out of them; with its option only lock files whose process is gone go.
    void ownershipAndModesRepaired()
    {
        const QString layouts = at(u"home/.config/Final Cut Pro User Data/Window Layouts"_s);
        QVERIFY(ZDTestSandbox::writeFile(layouts + u"/Edit.layout"_s, "<layout/>"));
        QVERIFY(ZDTestSandbox::writeFile(layouts + u"/gone.lock"_s, "999999999\n"));
        QVERIFY(ZDTestSandbox::writeFile(layouts + u"/held.lock"_s, QByteArray::number(QCoreApplication::applicationPid())));
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/Projects/shared.txt"_s), "shared"));
        QVERIFY(QFile::link(at(u"home/Projects/shared.txt"_s), layouts + u"/outside"_s));
        for (const auto &[path, mode] : {std::pair{layouts, 0777}, {layouts + u"/Edit.layout"_s, 0666}, {at(u"home/Projects/shared.txt"_s), 0666}})
            QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
        const zdtest::Ran r = run(u"Moravel"_s, {u"-repair"_s, u"-option"_s, u"-app"_s, u"fcp"_s});
        QVERIFY2(r.exit() == 0 && r.out.contains(u"1 stale lock file(s) removed."_s), qPrintable(r.out + r.err));
        const auto modeOf = [](const QString &path) {
            struct stat st {};
            ::lstat(QFile::encodeName(path).constData(), &st);
            return int(st.st_mode & 07777);
        };
        QCOMPARE(modeOf(layouts), 0755);
        QCOMPARE(modeOf(layouts + u"/Edit.layout"_s), 0644);
        QCOMPARE(modeOf(at(u"home/Projects/shared.txt"_s)), 0666);
        QVERIFY(!QFileInfo::exists(layouts + u"/gone.lock"_s));
        QVERIFY(QFileInfo::exists(layouts + u"/held.lock"_s));
    }

    // Preferences backed up on one workstation travel as the agent sends them (the
    // archive rules) and come back on another byte for byte, times kept.
    void preferencesTravelByteForByte()
    {
        const QString prefs = u"home/.config/com.apple.motion.plist"_s;
        QVERIFY(ZDPropertyList::writeFile(at(prefs), QVariantMap{{u"recent"_s, QVariantList{u"/srv/a.motn"_s}}, {u"fps"_s, 25}},
                                          ZDPropertyList::Format::Binary));
        const QString layout = u"home/.local/share/Motion/Command Sets/Studio.commandset"_s;
        QVERIFY(ZDTestSandbox::writeFile(at(layout), QByteArray("<commands>\x01\x02</commands>")));
        zdtest::Ran r = run(u"Stowel"_s, {u"-backup"_s, u"Before the move"_s, u"motionPrefs,motionKeyLayout"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        const QString package = ZDPropertyList::fromData(run(u"Stowel"_s, {u"-list"_s}).out.toUtf8())
                                    .toMap().value(u"Before the move"_s).toMap().value(u"path"_s).toString();
        QVERIFY(QFileInfo(package).isDir());
        const QString zip = at(u"travel.zip"_s);
        QVERIFY(ZDArchive::createZip(package, zip, false).ok);

        ZDTestSandbox other;
        QProcessEnvironment env = m_env;
        for (const auto &[var, sub] : {std::pair{"KESTRA_SYSTEM_ROOT", ""}, {"HOME", "/home"}, {"XDG_CONFIG_HOME", "/home/.config"},
                                       {"XDG_DATA_HOME", "/home/.local/share"}, {"XDG_CACHE_HOME", "/home/.cache"},
                                       {"XDG_STATE_HOME", "/home/.local/state"}})
            env.insert(QLatin1String(var), other.root() + QLatin1String(sub));
        const QString arrived = other.path(u"incoming/Before the move.stb2"_s);
        QVERIFY(ZDArchive::extractZip(zip, arrived).ok);
        r = zdtest::runProgram(tool(u"Stowel"_s), {u"-restore"_s, arrived}, env);
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        for (const QString &file : {prefs, layout}) {
            QCOMPARE(ZDTestSandbox::readFile(other.path(file)), ZDTestSandbox::readFile(at(file)));
            // The archive keeps times to the second.
            QCOMPARE(QFileInfo(other.path(file)).lastModified().toSecsSinceEpoch(), QFileInfo(at(file)).lastModified().toSecsSinceEpoch());
        }
    }

    // Paths kept in a text preference file (Kdenlive's kdenliverc): read as the
    // application reads them ("$HOME" of an entry marked for expansion), set and reset
    // with every other line byte for byte, the file's mode kept, never through a link.
    void textPreferencePathsEditedInPlace()
    {
        const QString rc = at(u"home/.config/kdenliverc"_s);
        const QByteArray before = "# written by Kdenlive\n[Version]\nversion=23.08.5\n\n[env]\nmltpath=/usr/share/mlt-7/profiles/\n"
                                  "defaultprojectfolder[de]=/srv/Projekte\ndefaultprojectfolder[$e]=$HOME/kdenlive\n"
                                  "capturetoprojectfolder=true\n\n[misc]\nopenlastproject=true";
        QVERIFY(ZDTestSandbox::writeFile(rc, before));
        QVERIFY(::chmod(QFile::encodeName(rc).constData(), 0640) == 0);
        const auto paths = [&] {
            const zdtest::Ran r = run(u"Tarnok"_s, {u"-allpaths"_s});
            return ZDPropertyList::fromData(r.out.toUtf8()).toMap().value(u"Kdenlive"_s).toMap();
        };
        QCOMPARE(paths(), (QVariantMap{{u"Project Folder"_s, m_box->home() + u"/kdenlive"_s}}));

        zdtest::Ran r = run(u"Tarnok"_s, {u"-setpath"_s, u"kdenliveProjectFolder"_s, u"/srv/Projects 2026\\ "_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QByteArray expected = QByteArray(before).replace("defaultprojectfolder[$e]=$HOME/kdenlive",
                                                         "defaultprojectfolder=/srv/Projects 2026\\\\\\s");
        QCOMPARE(ZDTestSandbox::readFile(rc), expected);
        QCOMPARE(paths().value(u"Project Folder"_s).toString(), u"/srv/Projects 2026\\ "_s);
        // A missing entry goes at the end of its group; reset, it goes again.
        QCOMPARE(run(u"Tarnok"_s, {u"-setpath"_s, u"kdenliveCaptureFolder"_s, u"/srv/capture"_s}).exit(), 0);
        QCOMPARE(ZDTestSandbox::readFile(rc),
                 QByteArray(expected).replace("capturetoprojectfolder=true\n", "capturetoprojectfolder=true\ncapturefolder=/srv/capture\n"));
        QCOMPARE(run(u"Tarnok"_s, {u"-resetpath"_s, u"kdenliveCaptureFolder"_s}).exit(), 0);
        QCOMPARE(ZDTestSandbox::readFile(rc), expected);
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(rc).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 0777), 0640);
        QCOMPARE(QDir(at(u"home/.config"_s)).entryList({u".kdenliverc*"_s}, QDir::Files | QDir::Hidden), QStringList());

        // A file without the group gets it at its end.
        QVERIFY(ZDTestSandbox::writeFile(rc, "[misc]\nopenlastproject=true\n"));
        QCOMPARE(run(u"Tarnok"_s, {u"-setpath"_s, u"kdenliveLibraryFolder"_s, u"/srv/library"_s}).exit(), 0);
        QCOMPARE(ZDTestSandbox::readFile(rc), QByteArray("[misc]\nopenlastproject=true\n\n[env]\nlibraryfolder=/srv/library\n"));

        // Written elsewhere with CR LF and the entry twice: the last one counts, the first is replaced, the second goes.
        QVERIFY(ZDTestSandbox::writeFile(rc, "[env]\r\ndefaultprojectfolder=/a\r\nmltthreads=2\r\ndefaultprojectfolder = /b\r\n"));
        QCOMPARE(paths().value(u"Project Folder"_s).toString(), u"/b"_s);
        QCOMPARE(run(u"Tarnok"_s, {u"-setpath"_s, u"kdenliveProjectFolder"_s, u"/c"_s}).exit(), 0);
        QCOMPARE(ZDTestSandbox::readFile(rc), QByteArray("[env]\r\ndefaultprojectfolder=/c\r\nmltthreads=2\r\n"));

        // The preference file as a link to a file elsewhere: neither followed nor replaced.
        QVERIFY(ZDTestSandbox::writeFile(at(u"home/Projects/notes.txt"_s), "[env]\ndefaultprojectfolder=/keep\n"));
        QVERIFY(QFile::remove(rc) && QFile::link(at(u"home/Projects/notes.txt"_s), rc));
        r = run(u"Tarnok"_s, {u"-setpath"_s, u"kdenliveProjectFolder"_s, u"/srv/elsewhere"_s});
        QCOMPARE(r.exit(), 1);
        QVERIFY(QFileInfo(rc).isSymLink());
        QCOMPARE(ZDTestSandbox::readFile(at(u"home/Projects/notes.txt"_s)), QByteArray("[env]\ndefaultprojectfolder=/keep\n"));
        QVERIFY(paths().isEmpty());
        QCOMPARE(run(u"Tarnok"_s, {u"-setpath"_s, u"kdenliveProjectFolder"_s, u"relative/path"_s}).exit(), 65);
    }

    // The client package as built (cpack) installed by dpkg into a clean computer root
    // (or, without them, the build's install of it): the tools in /opt with their real
    // task tables (none of the rows tests drive) and the catalogue; the package's own
    // agent lists the real tasks through `kestra tasks` and the studio's applications
    // through `kestra apps`.
    void installedToolsListTheirRealTasks()
    {
        ZDRealAgent agent;
        const QString dpkg = QStandardPaths::findExecutable(u"dpkg"_s);
        QTemporaryDir out;
        if (!dpkg.isEmpty() && QFileInfo(QStringLiteral(KESTRA_TEST_CPACK)).isExecutable()) {
            const zdtest::Ran made = zdtest::runProgram(QStringLiteral(KESTRA_TEST_CPACK),
                {u"--config"_s, zdtest::buildPath(u"CPackConfig.cmake"_s), u"-G"_s, u"DEB"_s, u"-B"_s, out.path(),
                 u"-D"_s, u"KESTRA_DEMO_UPDATE_KEY=ON"_s, u"-D"_s, u"CPACK_COMPONENTS_ALL=client"_s});
            const QStringList debs = QDir(out.path()).entryList({u"kestra-client_*.deb"_s}, QDir::Files);
            QVERIFY2(made.exit() == 0 && debs.size() == 1, qPrintable(made.out + made.err));
            for (const char *folder : {"var/lib/dpkg/info", "var/lib/dpkg/updates"})
                QVERIFY(QDir().mkpath(agent.root() + u'/' + QLatin1String(folder)));
            QVERIFY(ZDTestSandbox::writeFile(agent.root() + u"/var/lib/dpkg/status"_s, QByteArray()));
            // The clean root has none of the libraries the package depends on; this computer has them.
            const zdtest::Ran install = zdtest::runProgram(dpkg, {u"--root="_s + agent.root(), u"--force-script-chrootless"_s,
                u"--force-depends"_s, u"--force-not-root"_s, u"-i"_s, out.path() + u'/' + debs.first()});
            QVERIFY2(install.exit() == 0, qPrintable(install.out + install.err));
            QVERIFY(zdtest::runProgram(dpkg, {u"--root="_s + agent.root(), u"-s"_s, u"kestra-client"_s})
                        .out.contains(u"Status: install ok installed"_s));
            agent.setProgram(agent.root() + u"/opt/KestraClient.app/Contents/MacOS/KestraClient"_s);
        } else {
            const zdtest::Ran install = zdtest::runProgram(QStringLiteral(KESTRA_TEST_CMAKE),
                {u"--install"_s, zdtest::buildPath(QString()), u"--component"_s, u"client"_s, u"--prefix"_s, agent.root()});
            QVERIFY2(install.exit() == 0, qPrintable(install.out + install.err));
        }
        for (const char *name : {"Kitterel", "Tidwell", "Stowel", "Tarnok", "Quellar", "Cadro", "Brindel", "Purgel",
                                 "Ondrel", "Ketril", "Moravel"}) {
            const QString app = agent.root() + u"/opt/"_s + QLatin1String(name) + u".app/Contents/"_s;
            QVERIFY2(QFileInfo(app + u"MacOS/"_s + QLatin1String(name)).isExecutable(), name);
            QVERIFY2(!ZDTestSandbox::readFile(app + u"ZDTasks.plist"_s).contains("<string>succeed</string>"), name);
        }
        QVERIFY(QFileInfo(agent.root() + u"/opt/Quellar.app/Contents/Helpers/LogConsolidator"_s).isExecutable());
        QVERIFY(QFileInfo(agent.root() + u"/usr/share/kestra/catalogue.d/10-linux-studio.json"_s).isFile());
        QVERIFY(zdtest::layOutStudioApps(agent.root(), {u"23.08.5-1"_s, u"4.0.2"_s}));

        QVERIFY2(agent.startAlone(ZDRealAgent::freePort(), "render-bay"), qPrintable(agent.output()));
        const QString kestra = zdtest::buildPath(u"bin/kestra"_s);
        QCOMPARE(zdtest::runProgram(kestra, {u"add"_s, u"bay"_s, u"127.0.0.1"_s, QString::number(agent.port()), u"--no-browse"_s}).exit(), 0);
        const zdtest::Ran listed = zdtest::runProgram(kestra, {u"tasks"_s, u"--no-browse"_s, u"--hosts"_s, u"bay"_s, u"--json"_s});
        QVERIFY2(listed.exit() == 0, qPrintable(listed.err));
        QMap<QString, QStringList> tasks;
        const QJsonObject hosts = QJsonDocument::fromJson(listed.out.toUtf8()).object();
        for (const QJsonValue &t : hosts.value(hosts.keys().value(0)).toArray()) {
            for (const QJsonValue &task : t[u"tasks"_s].toArray())
                tasks[t[u"bundleid"_s].toString()] << task[u"id"_s].toString() + u' ' + task[u"description"_s].toString();
        }
        QVERIFY2(tasks.value(u"com.zendrel.Kitterel"_s).value(0).startsWith(u"user Kitterel: rebuild the font cache"_s), qPrintable(listed.out));
        QCOMPARE(tasks.value(u"com.zendrel.Tidwell"_s).size(), 2);
        QVERIFY(tasks.value(u"com.zendrel.Ondrel"_s).value(1).contains(u"configuration reset with a backup first"_s));
        QVERIFY(!listed.out.contains(u"succeed"_s));

        const zdtest::Ran apps = zdtest::runProgram(kestra, {u"apps"_s, u"--no-browse"_s, u"--hosts"_s, u"bay"_s, u"--json"_s});
        QMap<QString, QString> versions;
        for (const QJsonValue &row : QJsonDocument::fromJson(apps.out.toUtf8()).array())
            versions.insert(row[u"name"_s].toString(), row[u"version"_s].toString());
        QCOMPARE(versions.value(u"Kdenlive"_s), u"23.08.5-1"_s);
        QCOMPARE(versions.value(u"Blender"_s), u"4.0.2"_s);
    }
};

QTEST_GUILESS_MAIN(TestZDShippedTools)
#include "tst_zdshippedtools.moc"
