// Paths and the machine model, read below a sandbox root.
#include "ZDLocalPaths.h"
#include "ZDMachineModel.h"
#include "ZDTestSandbox.h"
#include <QtTest>

using namespace Qt::StringLiterals;

class TestZDLocalPaths : public QObject
{
    Q_OBJECT
    static void put(ZDTestSandbox &sandbox, const QString &relative, const QByteArray &contents)
    {
        const QString path = sandbox.path(relative);
        QDir().mkpath(QFileInfo(path).path());
        QVERIFY(ZDTestSandbox::writeFile(path, contents));
    }

private Q_SLOTS:
    void folderMapInSandbox()
    {
        ZDTestSandbox box;
        QVERIFY(box.isValid());
        const QString root = box.root();
        const QString home = box.home();
        QCOMPARE(ZDLocalPaths::systemRoot(), root);
        QCOMPARE(ZDLocalPaths::applicationDirectory(true), home + "/Applications");
        QCOMPARE(ZDLocalPaths::applicationDirectory(false), root + "/opt");
        QCOMPARE(ZDLocalPaths::documentDirectory(true), home + "/Documents");
        QCOMPARE(ZDLocalPaths::documentDirectory(false), root + "/srv/Documents");
        QCOMPARE(ZDLocalPaths::libraryDirectory(true), home + "/.local/share");
        QCOMPARE(ZDLocalPaths::libraryDirectory(false), root + "/var/lib");
        QCOMPARE(ZDLocalPaths::prefsDirectory(true), home + "/.config");
        QCOMPARE(ZDLocalPaths::prefsDirectory(false), root + "/etc/xdg");
        QCOMPARE(ZDLocalPaths::cacheDirectory(true), home + "/.cache");
        QCOMPARE(ZDLocalPaths::cacheDirectory(false), root + "/var/cache");
        QCOMPARE(ZDLocalPaths::appSupportDirectory(false), root + "/usr/local/share");
        QCOMPARE(ZDLocalPaths::logDirectory(true), home + "/.local/state/log");
        QCOMPARE(ZDLocalPaths::logDirectory(false), root + "/var/log");
        QCOMPARE(ZDLocalPaths::desktopDirectory(), home + "/Desktop");
        QCOMPARE(ZDLocalPaths::systemLibraryDirectory(), root + "/usr/share");
        QCOMPARE(ZDLocalPaths::trashDirectory(), home + "/.local/share/Trash");
        QCOMPARE(ZDLocalPaths::darwinCacheDirectory(), root + "/run");
        QCOMPARE(ZDLocalPaths::userDirectory(), home);
        // XDG variables move the user folders wherever they point.
        box.setEnv("XDG_CONFIG_HOME", (root + "/elsewhere/cfg/").toUtf8());
        QCOMPARE(ZDLocalPaths::prefsDirectory(true), root + "/elsewhere/cfg");
        // A relative value is not a valid XDG folder and falls back to the default.
        box.setEnv("XDG_CACHE_HOME", "relative/cache");
        QCOMPARE(ZDLocalPaths::cacheDirectory(true), home + "/.cache");
        box.unsetEnv("XDG_STATE_HOME");
        QCOMPARE(ZDLocalPaths::logDirectory(true), home + "/.local/state/log");
    }
    void userDirsFile()
    {
        ZDTestSandbox box;
        QVERIFY(ZDTestSandbox::writeFile(box.home() + "/.config/user-dirs.dirs", "# written by xdg-user-dirs-update\n"
                                         "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n" "XDG_DESKTOP_DIR=\"/srv/shared desk\"\n"
                                         "XDG_VIDEOS_DIR=\"relative/not/allowed\"\n"));
        QCOMPARE(ZDLocalPaths::documentDirectory(true), box.home() + "/Papers");
        QCOMPARE(ZDLocalPaths::desktopDirectory(), u"/srv/shared desk"_s);
        QCOMPARE(ZDLocalPaths::movieDirectory(), box.home() + "/Videos");
    }
    void consoleUserAndRootRule()
    {
        ZDTestSandbox box;
        QDir().mkpath(box.path("run"));
        const QString utmp = box.path("run/utmp");
        // Nobody at the graphical console: only a text login on tty1.
        QVERIFY(ZDTestSandbox::writeUtmp(utmp, "daemon", "tty1"));
        QCOMPARE(ZDLocalPaths::currentConsoleUser(), QString());
        QVERIFY(ZDTestSandbox::writeUtmp(utmp, "nobody", ":0"));
        QCOMPARE(ZDLocalPaths::currentConsoleUser(), u"nobody"_s);
        if (!ZDLocalPaths::isRoot()) {
            // An ordinary process keeps its own folders whoever is at the console.
            QCOMPARE(ZDLocalPaths::libraryDirectory(true), box.home() + "/.local/share");
            return;
        }
        // Root works in the console user's folders.
        const QString consoleHome = u"/nonexistent"_s; // nobody's home
        QCOMPARE(ZDLocalPaths::username(), u"nobody"_s);
        QCOMPARE(ZDLocalPaths::userDirectory(), consoleHome);
        QCOMPARE(ZDLocalPaths::libraryDirectory(true), consoleHome + "/.local/share");
        QCOMPARE(ZDLocalPaths::trashDirectory(), consoleHome + "/.local/share/Trash");
        QCOMPARE(ZDLocalPaths::prefsDirectory(true), consoleHome + "/.config");
        QCOMPARE(ZDLocalPaths::applicationDirectory(true), consoleHome + "/Applications");
        // Local folders do not move.
        QCOMPARE(ZDLocalPaths::libraryDirectory(false), box.root() + "/var/lib");
        // The protected list follows the console user too.
        QVERIFY(ZDLocalPaths::isPathSystemDirectory(consoleHome + "/.config", true));
        // Console user logged out: root is on its own again.
        QVERIFY(ZDTestSandbox::writeUtmp(utmp, "daemon", "tty2"));
        QCOMPARE(ZDLocalPaths::userDirectory(), box.home());
        QCOMPARE(ZDLocalPaths::username(), u"root"_s);
    }
    void protectedFolders()
    {
        ZDTestSandbox box;
        const QString apps = ZDLocalPaths::applicationDirectory(false);
        const QStringList protectedPaths{"/", apps, apps + "/", ZDLocalPaths::userDirectory(), ZDLocalPaths::prefsDirectory(true),
                                         ZDLocalPaths::desktopDirectory(), ZDLocalPaths::systemLibraryDirectory(),
                                         box.root() + "/home", box.root() + "/media"};
        const QStringList ordinary{"/a", "", apps + "/Tool.app", ZDLocalPaths::prefsDirectory(true) + "/com.zendrel.x.plist"};
        for (bool exact : {true, false}) {
            for (const QString &p : protectedPaths)
                QVERIFY2(ZDLocalPaths::isPathSystemDirectory(p, exact), qPrintable(p));
            for (const QString &p : ordinary)
                QVERIFY2(!ZDLocalPaths::isPathSystemDirectory(p, exact), qPrintable(p));
        }
        // System trees are protected only by the broad form, and only as a text prefix.
        for (const char *p : {"/usr/local/bin", "/usrlocal", "/var/tmp/x", "/etc/passwd", "/boot", "/dev/null"}) {
            QVERIFY2(ZDLocalPaths::isPathSystemDirectory(QString::fromLatin1(p), false), p);
            QVERIFY2(!ZDLocalPaths::isPathSystemDirectory(QString::fromLatin1(p), true), p);
        }
        QVERIFY(!ZDLocalPaths::isPathSystemDirectory("/home/someone/project", false));
    }
    void namesAndVolumes()
    {
        QCOMPARE(ZDLocalPaths::randomString(0), QString());
        QCOMPARE(ZDLocalPaths::randomString(-3), QString());
        const QString r = ZDLocalPaths::randomString(40);
        QCOMPARE(r.size(), 40);
        for (QChar c : r)
            QVERIFY(u"abcdefghijklmnopqrstuvwxyz0123456789"_s.contains(c));
        QVERIFY(ZDLocalPaths::uuid() != ZDLocalPaths::uuid());
        const QString t1 = ZDLocalPaths::tempFile();
        const QString t2 = ZDLocalPaths::tempFile();
        QVERIFY(t1 != t2);
        QVERIFY(t1.startsWith(ZDLocalPaths::tempDirectory() + "/"));
        QVERIFY(!QFile::exists(t1));
        QVERIFY(ZDLocalPaths::isPathOnTimeMachineVolume("/Volumes/Backup/Backups.backupdb/mac/x"));
        QVERIFY(ZDLocalPaths::isPathOnTimeMachineVolume("/media/ed/disk/Backups.backupdb"));
        QVERIFY(!ZDLocalPaths::isPathOnTimeMachineVolume("/Backups.backupdb/x"));
        QVERIFY(!ZDLocalPaths::isPathOnTimeMachineVolume("/Volumes/Backup/NotBackups.backupdb"));
    }
    // The machine model from firmware and virtualisation hints.
    void thisComputer()
    {
        // Whatever it is, it is one of the known words.
        const QStringList words{u"desktop"_s, u"laptop"_s, u"server"_s, u"tablet"_s, u"vm"_s, u"container"_s,
                                u"unknown"_s};
        QVERIFY2(words.contains(ZDMachineModel::chassis()), qPrintable(ZDMachineModel::chassis()));
        QVERIFY(ZDMachineModel::identifier().startsWith(QLatin1String("Linux")));
        QVERIFY(ZDMachineModel::productName().size() <= 128);
    }
    void fromFirmware()
    {
        // One row of the chassis table; the rest of it would only restate the table.
        const char *type = "sys/class/dmi/id/chassis_type";
        const struct { const char *file; QByteArray contents; const char *chassis, *identifier; } rows[] = {
            {type, "3\n", "desktop", "LinuxDesktop"}, {type, "\xff\xfe desk", "unknown", "LinuxUnknown"},
            {"etc/hostname", "x\n", "unknown", "LinuxUnknown"}, {"sys/hypervisor/type", "xen\n", "vm", "LinuxVM"},
            {"sys/class/dmi/id/sys_vendor", "QEMU\n", "vm", "LinuxVM"},
            {"proc/1/environ", QByteArray("PATH=/bin\0container=podman\0", 28), "container", "LinuxContainer"}};
        for (const auto &row : rows) {
            ZDTestSandbox sandbox;
            put(sandbox, QString::fromLatin1(row.file), row.contents);
            // A virtual machine claiming a desktop chassis is still a virtual machine.
            if (row.chassis == "vm"_L1)
                put(sandbox, QString::fromLatin1(type), "3\n");
            QCOMPARE(ZDMachineModel::chassis(), QLatin1String(row.chassis));
            QCOMPARE(ZDMachineModel::identifier(), QLatin1String(row.identifier));
        }
    }
};

QTEST_GUILESS_MAIN(TestZDLocalPaths)
#include "tst_zdlocalpaths.moc"
