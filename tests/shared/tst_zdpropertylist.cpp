// The formats the suite reads and writes (property lists, credentials encrypted for the wire) and the
// places it reads and writes them (paths and the machine model below a sandbox root).
#include "ZDEncryption.h"
#include "ZDLocalPaths.h"
#include "ZDMachineModel.h"
#include "ZDPropertyList.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

QVariantMap sample(bool wholeSeconds)
{
    QDateTime when = QDateTime(QDate(2026, 12, 6), QTime(19, 40, 52, wholeSeconds ? 0 : 125), Qt::UTC);
    QVariantMap inner{{"empty array", QVariantList{}}, {"empty dict", QVariantMap{}}, {"empty text", QString()}};
    return QVariantMap{
        {"text", u"Grüße, 編集 & <xml> \"quotes\""_s},
        {"negative", qint64(-42)},
        {"min", std::numeric_limits<qint64>::min()},
        {"max", std::numeric_limits<qint64>::max()},
        {"zero", qint64(0)},
        {"real", 3.25},
        {"negative real", -1.0e-9},
        {"yes", true},
        {"no", false},
        {"date", when},
        {"old date", QDateTime(QDate(1990, 1, 2), QTime(3, 4, 5), Qt::UTC)},
        {"data", QByteArray("\x00\x01\xff binary\n", 11)},
        {"array", QVariantList{qint64(1), u"two"_s, QVariantList{qint64(3)}}},
        {"dict", inner},
    };
}

// Binary property list whose one array holds itself.
QByteArray cyclicBinary()
{
    QByteArray b("bplist00");
    b.append(char(0xA1)).append(char(0x00)); // array of one: object 0
    const char offsetTable = char(b.size() - 2);
    const int tableAt = int(b.size());
    b.append(offsetTable);
    QByteArray trailer(32, '\0');
    trailer[6] = 1;  // offset size
    trailer[7] = 1;  // reference size
    trailer[15] = 1; // one object
    trailer[31] = char(tableAt);
    return b + trailer;
}

// Binary property list of one dictionary {key: true}, the key object given raw.
QByteArray binaryDictWithKey(const QByteArray &keyObject)
{
    QByteArray b("bplist00");
    const char dictAt = char(b.size());
    b.append(char(0xD1)).append(char(1)).append(char(2));
    const char keyAt = char(b.size());
    b.append(keyObject);
    const char valueAt = char(b.size());
    b.append(char(0x09));
    const int tableAt = int(b.size());
    b.append(dictAt).append(keyAt).append(valueAt);
    QByteArray trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = 3;
    trailer[31] = char(tableAt);
    return b + trailer;
}

} // namespace

class TestZDPropertyList : public QObject
{
    Q_OBJECT
    static void put(ZDTestSandbox &sandbox, const QString &relative, const QByteArray &contents)
    {
        const QString path = sandbox.path(relative);
        QDir().mkpath(QFileInfo(path).path());
        QVERIFY(ZDTestSandbox::writeFile(path, contents));
    }

private Q_SLOTS:
    void roundTrips()
    {
        for (const auto f : {ZDPropertyList::Format::Xml, ZDPropertyList::Format::Binary}) {
            // XML carries whole seconds only; binary keeps fractions.
            const QVariantMap in = sample(f == ZDPropertyList::Format::Xml);
            QString error;
            const QByteArray bytes = ZDPropertyList::toData(in, f, &error);
            QVERIFY2(!bytes.isEmpty(), qPrintable(error));
            QVERIFY(f == ZDPropertyList::Format::Binary ? bytes.startsWith("bplist00") : bytes.contains("<plist"));
            const QVariant out = ZDPropertyList::fromData(bytes, &error);
            QVERIFY2(out.isValid(), qPrintable(error));
            const QVariantMap m = out.toMap();
            QCOMPARE(m.keys(), in.keys());
            for (auto it = in.cbegin(); it != in.cend(); ++it)
                QVERIFY2(m.value(it.key()) == it.value(), qPrintable(it.key()));
            QCOMPARE(m.value("negative").typeId(), int(QMetaType::LongLong));
            QCOMPARE(m.value("yes").typeId(), int(QMetaType::Bool));
            QCOMPARE(m.value("date").toDateTime().timeSpec(), Qt::UTC);
            // Written again, the same bytes: nothing drifts on repeated saves.
            QCOMPARE(ZDPropertyList::toData(out, f), bytes);
        }
    }
    void convenienceTypes()
    {
        const QVariant in = QVariantMap{{"list", QStringList{"a", "b"}}, {"int", 7}, {"uint", 7u},
                                        {"local date", QDateTime(QDate(2020, 2, 29), QTime(12, 0), Qt::OffsetFromUTC, 3600)}};
        const QVariantMap out = ZDPropertyList::fromData(ZDPropertyList::toData(in)).toMap();
        QCOMPARE(out.value("list").toList(), (QVariantList{"a", "b"}));
        QCOMPARE(out.value("int"), QVariant(qint64(7)));
        QCOMPARE(out.value("uint"), QVariant(qint64(7)));
        QCOMPARE(out.value("local date").toDateTime(), QDateTime(QDate(2020, 2, 29), QTime(11, 0), Qt::UTC));
        QString error;
        QVERIFY(ZDPropertyList::toData(QVariantMap{{"p", QPoint(1, 2)}}, ZDPropertyList::Format::Xml, &error).isEmpty());
        QVERIFY(!error.isEmpty());
        QVERIFY(ZDPropertyList::toData(QVariant(std::numeric_limits<quint64>::max())).isEmpty());
        QVERIFY(ZDPropertyList::toData(QVariant()).isEmpty());
    }
    void filesAreWrittenAtomically()
    {
        ZDTestSandbox box;
        const QString path = box.path("etc/xdg/com.zendrel.KestraClient.plist");
        QVERIFY(ZDPropertyList::writeFile(path, QVariantMap{{"port", 35011}}));
        QCOMPARE(ZDPropertyList::readDictionary(path).value("port"), QVariant(qint64(35011)));
        QVERIFY(ZDPropertyList::writeFile(path, QVariantMap{{"port", 1234}}, ZDPropertyList::Format::Binary));
        QCOMPARE(ZDPropertyList::readDictionary(path).value("port"), QVariant(qint64(1234)));
        // Only the file itself is left in its folder: no temporary files behind.
        QCOMPARE(QDir(box.path("etc/xdg")).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"com.zendrel.KestraClient.plist"});
        // A value that cannot be stored leaves the old file untouched.
        QVERIFY(!ZDPropertyList::writeFile(path, QVariantMap{{"p", QPoint()}}));
        QCOMPARE(ZDPropertyList::readDictionary(path).value("port"), QVariant(qint64(1234)));
        // A folder that cannot be created.
        QVERIFY(ZDTestSandbox::writeFile(box.path("blocker"), "file"));
        QVERIFY(!ZDPropertyList::writeFile(box.path("blocker/sub/x.plist"), QVariantMap{}));
        // A top level that is not a dictionary reads as an empty dictionary.
        QVERIFY(ZDPropertyList::writeFile(box.path("list.plist"), QVariantList{1, 2}));
        QVERIFY(ZDPropertyList::readDictionary(box.path("list.plist")).isEmpty());
        QCOMPARE(ZDPropertyList::readFile(box.path("list.plist")).toList().size(), 2);
    }
    void malformedInputReadsAsNone()
    {
        ZDTestSandbox box;
        QVERIFY(!ZDPropertyList::readFile(box.path("missing.plist")).isValid());
        QVERIFY(!ZDPropertyList::readFile(QString()).isValid());
        const QByteArray bin = ZDPropertyList::toData(sample(false), ZDPropertyList::Format::Binary);
        QList<QByteArray> bad = {
            QByteArray(),
            QByteArray("garbage that is no property list"),
            QByteArray("bplist00"),
            QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a</key></plist>"),
            QByteArray("<plist><integer>12x</integer></plist>"),
            QByteArray("<plist><date>not a date</date></plist>"),
            QByteArray("<plist><data>!!!</data></plist>"),
            QByteArray(4096, '\xff'),
            cyclicBinary(),
            QByteArray("<plist>") + QByteArray(100000 * 7, 'x').replace("xxxxxxx", "<array>") + QByteArray("</plist>"),
        };
        // Truncated and flipped real files are the fuzzer's first mutations of its seeds.
        for (const QByteArray &b : bad) {
            QString error;
            QVERIFY2(ZDPropertyList::fromData(b, &error).isValid() || !error.isEmpty(), b.left(40).toHex().constData());
        }
        QVERIFY(!ZDPropertyList::fromData(cyclicBinary()).isValid());
        // Dictionary keys that are not plain text (found by fuzzing: the parser aborts on them).
        QCOMPARE(ZDPropertyList::fromData(binaryDictWithKey(QByteArray("\x53key", 4))).toMap().value("key"), QVariant(true));
        QVERIFY(!ZDPropertyList::fromData(binaryDictWithKey(QByteArray("\x10\x05", 2))).isValid());
        QVERIFY(!ZDPropertyList::fromData(binaryDictWithKey(QByteArray("\x53k\0y", 4))).isValid());
        QVERIFY(!ZDPropertyList::fromData(binaryDictWithKey(QByteArray("\x62\0k\0\0", 5))).isValid());
        // The same through files.
        const QString path = box.path("broken.plist");
        QVERIFY(ZDTestSandbox::writeFile(path, bin.left(bin.size() / 2)));
        QVERIFY(!ZDPropertyList::readFile(path).isValid());
        QVERIFY(ZDPropertyList::readDictionary(path).isEmpty());
        // Nested within the limit is fine, beyond it refused.
        QVariant deep = QVariantList{};
        for (int i = 0; i < ZDPropertyList::kMaxDepth - 1; ++i)
            deep = QVariantList{deep};
        QVERIFY(ZDPropertyList::fromData(ZDPropertyList::toData(deep)).isValid());
        for (int i = 0; i < 10; ++i)
            deep = QVariantList{deep};
        QVERIFY(ZDPropertyList::toData(deep).isEmpty());
    }
    void fipsVector()
    {
        // FIPS-197 appendix C.3: AES-256 with key 00..1f.
        QByteArray key;
        for (int i = 0; i < 32; ++i)
            key.append(char(i));
        const QByteArray plain = QByteArray::fromHex("00112233445566778899aabbccddeeff");
        const QByteArray cipher = QByteArray::fromHex("8ea2b7ca516745bfeafc49904b496089");
        const QString passphrase = QString::fromLatin1(key); // bytes 0..31 are one UTF-8 byte each
        QCOMPARE(ZDEncryption::AESEncryptData(plain, passphrase), cipher);
        QCOMPARE(ZDEncryption::AESDecryptData(cipher, passphrase), plain);
    }
    void blocksAndPadding()
    {
        const QString pass = ZDEncryption::credentialPassphrase();
        QCOMPARE(pass.size(), 36);
        QVERIFY(ZDEncryption::AESEncryptData({}, pass).isEmpty());
        QVERIFY(ZDEncryption::AESDecryptData({}, pass).isEmpty());
        QCOMPARE(ZDEncryption::AESEncryptData(QByteArray(16, 'a'), pass).size(), 16);
        QCOMPARE(ZDEncryption::AESEncryptData(QByteArray(17, 'a'), pass).size(), 32);
        // Decrypting keeps the padding; the receiver's trimming removes it.
        const QByteArray abc = ZDEncryption::AESEncryptData("abc", pass);
        QCOMPARE(ZDEncryption::AESDecryptData(abc, pass), QByteArray("abc") + QByteArray(13, ' '));
        QCOMPARE(ZDEncryption::decryptCredential(abc), u"abc"_s);
        // Electronic codebook: equal blocks stay equal.
        const QByteArray twice = ZDEncryption::AESEncryptData(QByteArray(32, 'x'), pass);
        QCOMPARE(twice.left(16), twice.mid(16));
        // Only the first 32 characters of a passphrase are the key.
        QString similar = pass.left(32) + u"FFFF"_s;
        QCOMPARE(ZDEncryption::AESDecryptData(abc, similar), ZDEncryption::AESDecryptData(abc, pass));
        // A short passphrase is padded with zero bytes.
        QCOMPARE(ZDEncryption::AESEncryptData("x", u"short"_s),
                 ZDEncryption::AESEncryptData("x", QString::fromLatin1(QByteArray("short") + QByteArray(27, '\0'))));
    }
    void credentials()
    {
        const QString password = u"pässwörd with spaces inside"_s;
        const QByteArray wire = ZDEncryption::encryptCredential(password);
        QVERIFY(!wire.contains(password.toUtf8()));
        QCOMPARE(ZDEncryption::decryptCredential(wire), password);
        // Spaces at the ends of a credential do not survive; that is the format.
        QCOMPARE(ZDEncryption::decryptCredential(ZDEncryption::encryptCredential(" pw ")), u"pw"_s);
        // Data that is not a credential reads as empty.
        QCOMPARE(ZDEncryption::decryptCredential(QByteArray(15, 'z')), QString());
        QCOMPARE(ZDEncryption::decryptCredential(ZDEncryption::AESEncryptData("\xff\xfe\xfd", ZDEncryption::credentialPassphrase())),
                 QString());
        QCOMPARE(ZDEncryption::decryptCredential({}), QString());
    }
    // Paths and the machine model, read below a sandbox root.
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

QTEST_GUILESS_MAIN(TestZDPropertyList)
#include "tst_zdpropertylist.moc"
