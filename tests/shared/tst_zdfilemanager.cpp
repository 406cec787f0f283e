#include "ZDFileManager.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"
#include "ZDTrash.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

#include <memory>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace std::chrono_literals;
using FM = ZDFileManager;

namespace {

bool write(const QString &path, const QByteArray &data = "x") { return ZDTestSandbox::writeFile(path, data); }

QStringList logMessages()
{
    ZDLog::finishWriting();
    const QStringList logs = ZDLog::availableLogs();
    if (logs.isEmpty())
        return {};
    QStringList out;
    static const QRegularExpression prefix(QStringLiteral("^.*? - "));
    for (QString line : QString::fromUtf8(ZDTestSandbox::readFile(logs.first())).split(QLatin1Char('\n')))
        out << line.remove(prefix);
    return out;
}

quint32 crc32(const QByteArray &data)
{
    quint32 c = 0xFFFFFFFFu;
    for (const char ch : data) {
        c ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

struct ZipEntry
{
    QByteArray name;
    QByteArray data;
    quint32 mode; // file type and permissions, as a Unix zip tool stores them
};

// A stored (uncompressed) zip written by hand, so that hostile names can be had.
QByteArray makeZip(const QList<ZipEntry> &entries)
{
    QByteArray local, central;
    QDataStream l(&local, QIODevice::WriteOnly);
    QDataStream c(&central, QIODevice::WriteOnly);
    l.setByteOrder(QDataStream::LittleEndian);
    c.setByteOrder(QDataStream::LittleEndian);
    for (const ZipEntry &e : entries) {
        const quint32 offset = quint32(local.size());
        const quint32 crc = crc32(e.data);
        l << quint32(0x04034b50) << quint16(20) << quint16(0) << quint16(0) << quint16(0) << quint16(0x21) << crc
          << quint32(e.data.size()) << quint32(e.data.size()) << quint16(e.name.size()) << quint16(0);
        l.writeRawData(e.name.constData(), int(e.name.size()));
        l.writeRawData(e.data.constData(), int(e.data.size()));
        c << quint32(0x02014b50) << quint16((3 << 8) | 20) << quint16(20) << quint16(0) << quint16(0) << quint16(0)
          << quint16(0x21) << crc << quint32(e.data.size()) << quint32(e.data.size()) << quint16(e.name.size())
          << quint16(0) << quint16(0) << quint16(0) << quint16(0) << quint32(e.mode << 16) << offset;
        c.writeRawData(e.name.constData(), int(e.name.size()));
    }
    QByteArray end;
    QDataStream d(&end, QIODevice::WriteOnly);
    d.setByteOrder(QDataStream::LittleEndian);
    d << quint32(0x06054b50) << quint16(0) << quint16(0) << quint16(entries.size()) << quint16(entries.size())
      << quint32(central.size()) << quint32(local.size()) << quint16(0);
    return local + central + end;
}

} // namespace

// Receives copy reports; records the thread each one arrived on.
class CopyDelegate : public QObject
{
    Q_OBJECT
public:
    QList<QVariantMap> progress;
    QList<QVariantMap> finished;
    bool offMainThread = false;
    QPointer<ZDFileCopyOperation> seenOperation;

public Q_SLOTS:
    void fileOperationProgress(const QVariantMap &record, ZDFileCopyOperation *op)
    {
        offMainThread = offMainThread || QThread::currentThread() != qApp->thread();
        seenOperation = op;
        progress << record;
    }
    void fileOperationProgress(const QVariantMap &) { QFAIL("the two-argument form is preferred"); }
    void fileOperationFinished(const QVariantMap &record)
    {
        offMainThread = offMainThread || QThread::currentThread() != qApp->thread();
        finished << record;
    }
};

class TestZDFileManager : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_box;
    QString p(const QString &relative) const { return m_box->path(relative); }

private Q_SLOTS:
    void init()
    {
        m_box = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_box->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zdfilemanager"));
    }
    void cleanup()
    {
        // Immutable leftovers would keep the sandbox from going away.
        FM::unlockFolder(m_box->root());
        m_box.reset();
    }

    void namesAndSizes()
    {
        QCOMPARE(FM::formatFileSize(1023), QStringLiteral("1023 B"));
        QCOMPARE(FM::formatFileSize(1024), QStringLiteral("1.00 KB"));
        QCOMPARE(FM::formatFileSize(1536), QStringLiteral("1.50 KB"));
        QCOMPARE(FM::formatFileSize(1048576), QStringLiteral("1.00 MB"));
        QCOMPARE(FM::formatFileSize(5.0 * 1073741824 * 1024), QStringLiteral("5120.00 GB"));

        QCOMPARE(FM::validateFilename(QStringLiteral(".")), QString());
        QCOMPARE(FM::validateFilename(QStringLiteral(".hidden")), QStringLiteral("hidden"));
        QCOMPARE(FM::validateFilename(QStringLiteral(" .x ")), QStringLiteral(".x"));
        QCOMPARE(FM::validateFilename(QStringLiteral("..twice")), QStringLiteral(".twice"));
        QCOMPARE(FM::validateFilename(QStringLiteral("\n a/b:c \t")), QStringLiteral("abc"));

        const QString report = p(QStringLiteral("Report.pdf"));
        QCOMPARE(FM::uniqueFilename(report), report);
        QVERIFY(write(report));
        QCOMPARE(FM::uniqueFilename(report), p(QStringLiteral("Report 2.pdf")));
        QVERIFY(write(p(QStringLiteral("Report 2.pdf"))));
        QCOMPARE(FM::uniqueFilename(report), p(QStringLiteral("Report 3.pdf")));
        QVERIFY(write(p(QStringLiteral("Makefile"))));
        QCOMPARE(FM::uniqueFilename(p(QStringLiteral("Makefile"))), p(QStringLiteral("Makefile 2")));
        QVERIFY(write(p(QStringLiteral(".profile"))));
        QCOMPARE(FM::uniqueFilename(p(QStringLiteral(".profile"))), p(QStringLiteral(".profile 2")));
        // A dangling link still occupies its name.
        QVERIFY(QFile::link(p(QStringLiteral("nowhere")), p(QStringLiteral("dangling.txt"))));
        QCOMPARE(FM::uniqueFilename(p(QStringLiteral("dangling.txt"))), p(QStringLiteral("dangling 2.txt")));

        // Sizes add up below folders without following links out of them.
        QVERIFY(write(p(QStringLiteral("sized/a")), QByteArray(1000, 'a')));
        QVERIFY(write(p(QStringLiteral("sized/sub/b")), QByteArray(24, 'b')));
        QVERIFY(QFile::link(m_box->root(), p(QStringLiteral("sized/up"))));
        const quint64 linkSize = quint64(QFileInfo(p(QStringLiteral("sized/up"))).symLinkTarget().isEmpty()
                                             ? 0
                                             : QFile::encodeName(m_box->root()).size());
        QCOMPARE(FM::fileSize(p(QStringLiteral("sized"))), 1024 + linkSize);
        QCOMPARE(FM::fileSize(p(QStringLiteral("sized/a"))), quint64(1000));
        QCOMPARE(FM::fileSize(p(QStringLiteral("missing"))), quint64(0));
    }

    void kindsAndEmptiness()
    {
        QVERIFY(QDir().mkpath(p(QStringLiteral("Tool.app/Contents"))));
        QVERIFY(FM::isPackageAtPath(p(QStringLiteral("Tool.app"))));
        QVERIFY(!FM::isPackageAtPath(p(QStringLiteral("Tool.app/Contents"))));

        const QString junk = p(QStringLiteral("junk"));
        QVERIFY(write(junk + QStringLiteral("/.DS_Store")));
        QVERIFY(write(junk + QStringLiteral("/Icon\r")));
        QVERIFY(write(junk + QStringLiteral("/deeper/.DS_Store")));
        QVERIFY(QDir().mkpath(junk + QStringLiteral("/empty")));
        QVERIFY(FM::isFolderEmpty(junk));
        QVERIFY(!FM::isFolderEmpty(junk + QStringLiteral("/.DS_Store"))); // a file is no empty folder
        QVERIFY(write(junk + QStringLiteral("/deeper/.hidden")));
        QVERIFY(!FM::isFolderEmpty(junk));
        QVERIFY(!FM::removeFolderIfEmpty(junk));
        QVERIFY(FM::removeFile(junk + QStringLiteral("/deeper/.hidden"), false));
        QVERIFY(FM::removeFolderIfEmpty(junk));
        QVERIFY(!QFileInfo::exists(junk));

        // The folder part of a path is recreated below a destination.
        QVERIFY(write(p(QStringLiteral("src/docs/a.txt"))));
        const QString made = FM::createDirectoryStructure(p(QStringLiteral("src/docs/a.txt")), p(QStringLiteral("dst")));
        QCOMPARE(made, p(QStringLiteral("dst")) + p(QStringLiteral("src/docs")));
        QVERIFY(QFileInfo(made).isDir());
        const QDateTime old = QDateTime::currentDateTime().addDays(-2);
        QVERIFY(FM::setModificationDate(old, made));
        FM::notifyFileSystemChanged(made + QStringLiteral("/missing"));
        QCOMPARE(QFileInfo(made).lastModified().toSecsSinceEpoch(), old.toSecsSinceEpoch());
        FM::notifyFileSystemChanged(p(QStringLiteral("src/docs/a.txt")));
        QVERIFY(QFileInfo(p(QStringLiteral("src/docs"))).lastModified() > old);
        QVERIFY(FM::registerApplicationWithLaunchServices(p(QStringLiteral("Tool.app"))));
        QVERIFY(!FM::registerApplicationWithLaunchServices(p(QStringLiteral("Missing.app"))));
        const QString forPackage = FM::createDirectoryStructure(p(QStringLiteral("Tool.app")), p(QStringLiteral("dst")));
        QCOMPARE(forPackage, p(QStringLiteral("dst")) + m_box->root());

        // Volumes: a folder that exists but is no mount is no mounted drive.
        const QString stick = ZDLocalPaths::systemPath(QStringLiteral("/media/alice/Stick"));
        QVERIFY(!FM::isDriveMountedForPath(stick + QStringLiteral("/Backups")));
        QVERIFY(QDir().mkpath(stick));
        QVERIFY(!FM::isVolumeMountedForPath(stick + QStringLiteral("/Backups")));
        QVERIFY(!FM::createDirectory(stick + QStringLiteral("/Backups"), false));
        QVERIFY(!QFileInfo::exists(stick + QStringLiteral("/Backups")));
        QVERIFY(FM::isVolumeMountedForPath(ZDLocalPaths::systemPath(QStringLiteral("/media/alice"))));
        QVERIFY(FM::isVolumeMountedForPath(p(QStringLiteral("anywhere/else"))));
    }

    void trashKeepsRestoreRecords()
    {
        QVERIFY(FM::trashFile(p(QStringLiteral("never-there"))));
        QVERIFY(!QFileInfo::exists(ZDLocalPaths::trashDirectory()));

        const QString files = ZDTrash::filesDirectory();
        const QString info = ZDTrash::infoDirectory();
        const QString original = p(QStringLiteral("my docs/Report 100%.txt"));
        QVERIFY(write(original, "first"));
        QVERIFY(FM::trashFile(original, 5s));
        QVERIFY(!QFileInfo::exists(original));
        QCOMPARE(ZDTestSandbox::readFile(files + QStringLiteral("/Report 100%.txt")), QByteArray("first"));
        const QString record = QString::fromUtf8(ZDTestSandbox::readFile(info + QStringLiteral("/Report 100%.txt.trashinfo")));
        QVERIFY2(record.startsWith(QStringLiteral("[Trash Info]\nPath=")), qPrintable(record));
        QVERIFY(record.contains(QStringLiteral("Path=") + QString::fromLatin1(QUrl::toPercentEncoding(original, "/"))));
        QVERIFY(record.contains(QStringLiteral("my%20docs/Report%20100%25.txt")));
        QVERIFY(QRegularExpression(QStringLiteral("\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n$"))
                    .match(record).hasMatch());

        // A taken name gets the date, as privileged trashing does.
        QVERIFY(write(original, "second"));
        QVERIFY(FM::trashFile(original, false));
        const QStringList names = QDir(files).entryList(QDir::Files, QDir::Name);
        QCOMPARE(names.size(), 2);
        QVERIFY2(QRegularExpression(QStringLiteral("^Report 100%_\\d{14}\\.txt$")).match(names.at(1)).hasMatch(),
                 qPrintable(names.join(QLatin1Char(','))));
        QVERIFY(QFileInfo::exists(info + QLatin1Char('/') + names.at(1) + QStringLiteral(".trashinfo")));

        // Locked items are unlocked first; folders go whole.
        QVERIFY(write(p(QStringLiteral("box/inner/a.txt"))));
        QVERIFY(FM::lockFile(p(QStringLiteral("box"))));
        QVERIFY(FM::trashFile(p(QStringLiteral("box"))));
        QVERIFY(QFileInfo::exists(files + QStringLiteral("/box/inner/a.txt")));
        QVERIFY(!FM::isFileLocked(files + QStringLiteral("/box")));

        // By type (any letter case, every depth, never a folder) and by exact name.
        const QString logs = p(QStringLiteral("logs"));
        for (const char *f : {"a.log", "b.Log", "sub/c.LOG", "sub/deep/d.log", "keep.txt", "sub/Notes", "sub/notes"})
            QVERIFY(write(logs + QLatin1Char('/') + QLatin1String(f)));
        QVERIFY(QDir().mkpath(logs + QStringLiteral("/folder.log/e.log")));
        QStringList trashed = FM::trashFilesOfType(QStringLiteral("LOG"), logs);
        QCOMPARE(trashed.size(), 4);
        QVERIFY(trashed.contains(logs + QStringLiteral("/sub/deep/d.log")));
        QVERIFY(QFileInfo(logs + QStringLiteral("/folder.log")).isDir());
        QVERIFY(QFileInfo::exists(logs + QStringLiteral("/keep.txt")));
        trashed = FM::trashFilesNamed(QStringLiteral("Notes"), logs);
        QCOMPARE(trashed, QStringList{logs + QStringLiteral("/sub/Notes")});
        QVERIFY(QFileInfo::exists(logs + QStringLiteral("/sub/notes")));

        QVERIFY(FM::trashDirectoryContents(logs));
        QCOMPARE(QDir(logs).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        QVERIFY(FM::trashDirectoryContents(logs)); // empty
    }

    void removeCreateCopyMove()
    {
        // Removal takes a link, never what it points to.
        QVERIFY(write(p(QStringLiteral("outside/keep.txt"))));
        QVERIFY(write(p(QStringLiteral("tree/a/b/c.txt"))));
        QVERIFY(QFile::link(p(QStringLiteral("outside")), p(QStringLiteral("tree/a/link"))));
        QVERIFY(FM::removeFile(p(QStringLiteral("tree")), 5s));
        QVERIFY(!QFileInfo::exists(p(QStringLiteral("tree"))));
        QVERIFY(QFileInfo::exists(p(QStringLiteral("outside/keep.txt"))));
        QVERIFY(FM::removeFile(p(QStringLiteral("tree")), false)); // already gone

        QVERIFY(FM::createDirectory(p(QStringLiteral("x/y/z")), 5s));
        QVERIFY(FM::createDirectory(p(QStringLiteral("x/y/z")), false));
        QVERIFY(write(p(QStringLiteral("plain"))));
        QVERIFY(!FM::createDirectory(p(QStringLiteral("plain/sub")), false));

        // Copies keep content, modes, times and links as links.
        const QString src = p(QStringLiteral("src"));
        QVERIFY(write(src + QStringLiteral("/run.sh"), "#!/bin/sh\n"));
        QVERIFY(FM::setPosixPermissions(0750, src + QStringLiteral("/run.sh")));
        QVERIFY(!FM::setPosixPermissions(0750, p(QStringLiteral("missing"))));
        const QDateTime old = QDateTime::currentDateTime().addDays(-3);
        QVERIFY(FM::setModificationDate(old, src + QStringLiteral("/run.sh")));
        QVERIFY(QFile::link(QStringLiteral("run.sh"), src + QStringLiteral("/alias")));
        QVERIFY(FM::setFinderColorIndex(8, src + QStringLiteral("/run.sh")));
        QVERIFY(FM::copyFile(src, p(QStringLiteral("dst/src")), false) == false); // no parent folder
        QVERIFY(FM::copyFile(src, p(QStringLiteral("copy")), 5s));
        const QFileInfo copied(p(QStringLiteral("copy/run.sh")));
        QCOMPARE(ZDTestSandbox::readFile(copied.filePath()), QByteArray("#!/bin/sh\n"));
        QCOMPARE(copied.permissions() & 0x0FFF, QFileInfo(src + QStringLiteral("/run.sh")).permissions() & 0x0FFF);
        QCOMPARE(copied.lastModified().toSecsSinceEpoch(), old.toSecsSinceEpoch());
        QCOMPARE(QFileInfo(p(QStringLiteral("copy/alias"))).symLinkTarget(), copied.filePath());
        QVERIFY(QFileInfo(p(QStringLiteral("copy/alias"))).isSymLink());
        QCOMPARE(FM::finderColorIndexForPath(copied.filePath()), 8);
        QVERIFY(!FM::copyFile(src, p(QStringLiteral("copy")), false)); // never over an existing item
        QVERIFY(FM::copyFile(src, src + QStringLiteral("/inner"), false)); // into itself, once
        QCOMPARE(ZDTestSandbox::readFile(src + QStringLiteral("/inner/run.sh")), QByteArray("#!/bin/sh\n"));
        QVERIFY(!QFileInfo::exists(src + QStringLiteral("/inner/inner")));
        QVERIFY(!FM::copyFile(QString(), p(QStringLiteral("c2"))));
        QVERIFY(!FM::copyFile(src, QString()));

        // A case-only rename ends with the new letter case.
        QVERIFY(write(p(QStringLiteral("Notes.TXT")), "n"));
        QVERIFY(FM::moveFile(p(QStringLiteral("Notes.TXT")), p(QStringLiteral("Notes.txt")), 5s));
        QCOMPARE(QDir(m_box->root()).entryList({QStringLiteral("Notes.*")}), QStringList{QStringLiteral("Notes.txt")});

        // Moves never replace as the process itself.
        QVERIFY(write(p(QStringLiteral("one")), "1"));
        QVERIFY(write(p(QStringLiteral("two")), "2"));
        QVERIFY(!FM::moveFile(p(QStringLiteral("one")), p(QStringLiteral("two")), false));
        QCOMPARE(ZDTestSandbox::readFile(p(QStringLiteral("two"))), QByteArray("2"));

        // Across file systems: copied, then removed.
        QTemporaryDir other(QStringLiteral("/dev/shm/kestra-fm-XXXXXX"));
        if (other.isValid()) {
            QVERIFY(write(other.filePath(QStringLiteral("far/f.txt")), "far"));
            QVERIFY(FM::moveFile(other.filePath(QStringLiteral("far")), p(QStringLiteral("near")), 5s));
            QCOMPARE(ZDTestSandbox::readFile(p(QStringLiteral("near/f.txt"))), QByteArray("far"));
            QVERIFY(!QFileInfo::exists(other.filePath(QStringLiteral("far"))));
        }

        QVERIFY(FM::createEmptyFile(p(QStringLiteral("empty.txt"))));
        QCOMPARE(QFileInfo(p(QStringLiteral("empty.txt"))).size(), 0);
        QVERIFY(FM::setModificationDate(old, p(QStringLiteral("empty.txt"))));
        QVERIFY(FM::touchFile(p(QStringLiteral("empty.txt")), true));
        QVERIFY(QFileInfo(p(QStringLiteral("empty.txt"))).lastModified() > old.addDays(1));
        QVERIFY(FM::waitForFileCreation(p(QStringLiteral("copy/run.sh")), 0s));
        QVERIFY(!FM::waitForFileCreation(p(QStringLiteral("empty.txt")), 0s));
    }

    void privilegedFallbackAsRoot()
    {
        if (!ZDLocalPaths::isRoot())
            QSKIP("the privileged tools run directly only for root");
        QVERIFY(write(p(QStringLiteral("one")), "1"));
        QVERIFY(write(p(QStringLiteral("two")), "2"));
        // The plain move refuses to replace; the privileged one does.
        QVERIFY(FM::moveFile(p(QStringLiteral("one")), p(QStringLiteral("two")), 10s));
        QTRY_COMPARE(ZDTestSandbox::readFile(p(QStringLiteral("two"))), QByteArray("1"));
        const QStringList messages = logMessages();
        const qsizetype at = messages.indexOf(QRegularExpression(QStringLiteral("^Error moving file: .*two: File exists\\.$")));
        QVERIFY2(at >= 0, qPrintable(messages.join(QLatin1Char('\n'))));
        QCOMPARE(messages.value(at + 1), QStringLiteral("Authorizing..."));

        // Protected folders are refused by both attempts.
        const QString apps = ZDLocalPaths::applicationDirectory(false);
        QVERIFY(QDir().mkpath(apps));
        QVERIFY(!FM::removeFile(apps));
        QVERIFY(QFileInfo(apps).isDir());
    }

    void wildcards()
    {
        for (const char *f : {"a/b1/c", "a/b2/c", "a/bx/d", "a/x/c"})
            QVERIFY(write(p(QString::fromLatin1(f))));
        const QString base = m_box->root();
        QCOMPARE(FM::filesMatchingWildcardPath(QStringLiteral("a/b*/c"), base),
                 (QStringList{p(QStringLiteral("a/b1/c")), p(QStringLiteral("a/b2/c"))}));
        // "?" counts only in a component that also has a star.
        QCOMPARE(FM::filesMatchingWildcardPath(QStringLiteral("a/b?/*"), base), QStringList());
        QCOMPARE(FM::filesMatchingWildcardPath(QStringLiteral("a/b?*/*"), base),
                 (QStringList{p(QStringLiteral("a/b1/c")), p(QStringLiteral("a/b2/c")), p(QStringLiteral("a/bx/d"))}));
        QCOMPARE(FM::filesMatchingWildcardPath(QStringLiteral("/a/*x/d"), base), QStringList{p(QStringLiteral("a/bx/d"))});
        QCOMPARE(FM::filesMatchingWildcardPath(base + QStringLiteral("/a/b*/d")), QStringList{p(QStringLiteral("a/bx/d"))});
        QCOMPARE(FM::filesMatchingWildcardPath(QStringLiteral("a/B*/c"), base), QStringList());
        // Without a star nothing is looked up.
        QCOMPARE(FM::filesMatchingWildcardPath(QStringLiteral("no/such?"), base), QStringList{p(QStringLiteral("no/such?"))});
        QCOMPARE(FM::decodeWildcardPath(QStringLiteral("a/*/d"), base), p(QStringLiteral("a/bx/d")));
        QCOMPARE(FM::decodeWildcardPath(QStringLiteral("a/*/zz"), base), p(QStringLiteral("a/*/zz")));
    }

    void locksAndLabels()
    {
        const QString file = p(QStringLiteral("doc.txt"));
        QVERIFY(write(file));
        QVERIFY(!FM::isFileLocked(file));
        QVERIFY(FM::lockFile(file));
        QVERIFY(FM::isFileLocked(file));
        QVERIFY(FM::unlockFile(file));
        QVERIFY(!FM::isFileLocked(file));
        QVERIFY(!FM::unlockFile(p(QStringLiteral("missing"))));

        QVERIFY(write(p(QStringLiteral("tree/a"))));
        QVERIFY(write(p(QStringLiteral("tree/sub/b"))));
        QVERIFY(FM::lockFolder(p(QStringLiteral("tree"))));
        QVERIFY(FM::isFileLocked(p(QStringLiteral("tree/sub/b"))));
        QVERIFY(!FM::isFileLocked(p(QStringLiteral("tree/sub"))));
        QVERIFY(FM::unlockFolder(p(QStringLiteral("tree"))));
        QVERIFY(!FM::isFileLocked(p(QStringLiteral("tree/a"))));
        // Removing a locked file clears its lock first.
        QVERIFY(FM::lockFile(file));
        QVERIFY(FM::removeFile(file, false));

        const QString labelled = p(QStringLiteral("labelled"));
        QVERIFY(write(labelled));
        QCOMPARE(FM::finderColorIndexForPath(labelled), 0);
        QVERIFY(!FM::finderColorForPath(labelled));
        // Unrelated flag bits neither hide the label nor get lost.
        const QByteArray raw = QByteArray::number(0x4000 | 0x0C);
        QCOMPARE(::setxattr(QFile::encodeName(labelled).constData(), "user.zendrel.labelflags", raw.constData(),
                            size_t(raw.size()), 0), 0);
        QCOMPARE(FM::finderColorIndexForPath(labelled), 12);
        QVERIFY(FM::finderColorForPath(labelled));
        QVERIFY(FM::setFinderColorIndex(5, labelled));
        QCOMPARE(FM::finderColorIndexForPath(labelled), 4);
        char value[16] = {};
        const ssize_t n = ::getxattr(QFile::encodeName(labelled).constData(), "user.zendrel.labelflags", value, 15);
        QCOMPARE(QByteArray(value, int(n)).toInt(), 0x4000 | 0x04);
        QVERIFY(!FM::setFinderColorIndex(2, p(QStringLiteral("missing"))));

        QVERIFY(!FM::finderColorForColorIndex(1));
        QVERIFY(!FM::finderColorForColorIndex(16));
    }

    void archives()
    {
        const QString folder = p(QStringLiteral("Project"));
        QVERIFY(write(folder + QStringLiteral("/readme.txt"), "hello"));
        QVERIFY(write(folder + QStringLiteral("/src/main.c"), "int main;"));
        QVERIFY(QFile::link(QStringLiteral("readme.txt"), folder + QStringLiteral("/link")));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/empty")));

        const QString withParent = p(QStringLiteral("with.zip"));
        QVERIFY(FM::compressFile(folder, withParent));
        QVERIFY(FM::decompressFile(withParent, p(QStringLiteral("out1"))));
        QCOMPARE(ZDTestSandbox::readFile(p(QStringLiteral("out1/Project/src/main.c"))), QByteArray("int main;"));
        QVERIFY(QFileInfo(p(QStringLiteral("out1/Project/link"))).isSymLink());
        QVERIFY(QFileInfo(p(QStringLiteral("out1/Project/empty"))).isDir());

        const QString without = p(QStringLiteral("without.zip"));
        QVERIFY(FM::compressFile(folder, without, false));
        QVERIFY(FM::decompressFile(without, p(QStringLiteral("out2"))));
        QCOMPARE(ZDTestSandbox::readFile(p(QStringLiteral("out2/readme.txt"))), QByteArray("hello"));
        QVERIFY(!QFileInfo::exists(p(QStringLiteral("out2/Project"))));

        // An existing archive or folder goes to the Trash first.
        QVERIFY(write(folder + QStringLiteral("/readme.txt"), "changed"));
        QVERIFY(FM::compressFile(folder, without, false));
        QVERIFY(FM::decompressFile(without, p(QStringLiteral("out2"))));
        QCOMPARE(ZDTestSandbox::readFile(p(QStringLiteral("out2/readme.txt"))), QByteArray("changed"));
        QVERIFY(QFileInfo::exists(ZDTrash::filesDirectory() + QStringLiteral("/without.zip")));
        QVERIFY(QFileInfo::exists(ZDTrash::filesDirectory() + QStringLiteral("/out2/readme.txt")));

        QVERIFY(!FM::compressFile(p(QStringLiteral("missing")), p(QStringLiteral("m.zip"))));
        QVERIFY(!FM::decompressFile(p(QStringLiteral("missing.zip")), p(QStringLiteral("out3"))));
        QVERIFY(write(p(QStringLiteral("garbage.zip")), "not a zip at all"));
        QVERIFY(!FM::decompressFile(p(QStringLiteral("garbage.zip")), p(QStringLiteral("out4"))));
    }

    void hostileArchiveStaysInside()
    {
        QVERIFY(QDir().mkpath(p(QStringLiteral("victim"))));
        const QByteArray victim = QFile::encodeName(p(QStringLiteral("victim")));
        const QByteArray zip = makeZip({
            {"../escaped.txt", "dotdot", S_IFREG | 0644},
            {"ok/../../escaped2.txt", "dotdot", S_IFREG | 0644},
            {victim + "/absolute.txt", "absolute", S_IFREG | 0644},
            {"link", victim, S_IFLNK | 0777},
            {"link/through.txt", "through", S_IFREG | 0644},
            {"setuid", "x", S_IFREG | 04755},
            {"fine/file.txt", "fine", S_IFREG | 0644},
        });
        const QString archive = p(QStringLiteral("hostile.zip"));
        QVERIFY(write(archive, zip));
        const QString out = p(QStringLiteral("unpacked/inside"));
        FM::decompressFile(archive, out);
        QCOMPARE(QDir(p(QStringLiteral("victim"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(!QFileInfo::exists(p(QStringLiteral("unpacked/escaped.txt"))));
        QVERIFY(!QFileInfo::exists(p(QStringLiteral("escaped2.txt"))));
        QVERIFY(!QFileInfo::exists(out + QStringLiteral("/link/through.txt")));
        QCOMPARE(ZDTestSandbox::readFile(out + QStringLiteral("/fine/file.txt")), QByteArray("fine"));
        if (QFileInfo::exists(out + QStringLiteral("/setuid")))
            QCOMPARE(QFileInfo(out + QStringLiteral("/setuid")).permissions() & QFileDevice::ExeOwner,
                     QFileDevice::ExeOwner);
        struct stat st {};
        if (::stat(QFile::encodeName(out + QStringLiteral("/setuid")).constData(), &st) == 0)
            QCOMPARE(st.st_mode & 07000, 0u);
    }

    void copyWithProgress()
    {
        const QString src = p(QStringLiteral("big"));
        for (int i = 0; i < 5; ++i)
            QVERIFY(write(src + QStringLiteral("/part%1").arg(i), QByteArray(300000, char('a' + i))));
        CopyDelegate delegate;
        QPointer<ZDFileCopyOperation> op;
        QVERIFY(FM::copyFileWithProgress(src, p(QStringLiteral("new/place/big")), &delegate, QStringLiteral("tag"),
                                         42, &op));
        QVERIFY(op);
        QSignalSpy done(op.data(), &ZDFileCopyOperation::finished);
        QVERIFY(done.wait(30000) || !delegate.finished.isEmpty());
        QCOMPARE(delegate.finished.size(), 1);
        QVERIFY(!delegate.offMainThread);
        QVERIFY(!delegate.progress.isEmpty());
        QCOMPARE(delegate.seenOperation.data() == nullptr || delegate.seenOperation == op, true);
        const QVariantMap first = delegate.progress.first();
        QCOMPARE(first.value(QStringLiteral("stage")).toInt(), 2);
        QCOMPARE(first.value(QStringLiteral("totalBytes")).toLongLong(), 1500000);
        const QVariantMap last = delegate.finished.first();
        QCOMPARE(last.value(QStringLiteral("stage")).toInt(), 3);
        QCOMPARE(last.value(QStringLiteral("error")).toInt(), 0);
        QCOMPARE(last.value(QStringLiteral("operationtype")).toString(), QStringLiteral("copy"));
        QCOMPARE(last.value(QStringLiteral("source")).toString(), src);
        QCOMPARE(last.value(QStringLiteral("destination")).toString(), p(QStringLiteral("new/place/big")));
        QCOMPARE(last.value(QStringLiteral("object")).toString(), QStringLiteral("tag"));
        QCOMPARE(last.value(QStringLiteral("object2")).toInt(), 42);
        QCOMPARE(last.value(QStringLiteral("delegate")).value<QObject *>(), &delegate);
        QCOMPARE(last.value(QStringLiteral("bytesCompleted")).toLongLong(), 1500000);
        QCOMPARE(FM::fileSize(p(QStringLiteral("new/place/big"))), quint64(1500000));
        QTRY_VERIFY(op.isNull()); // gone after its last report

        // A cancelled copy leaves nothing half-done behind.
        CopyDelegate second;
        QVERIFY(FM::copyFileWithProgress(src, p(QStringLiteral("cancelled")), &second, {}, {}, &op));
        QVERIFY(FM::cancelFileOperation(op));
        QTRY_COMPARE(second.finished.size(), 1);
        const int error = second.finished.first().value(QStringLiteral("error")).toInt();
        QVERIFY(error == ECANCELED || error == 0);
        QCOMPARE(QFileInfo::exists(p(QStringLiteral("cancelled"))), error == 0);
        QVERIFY(!second.finished.first().contains(QStringLiteral("object")));
        QTRY_VERIFY(op.isNull());
        QVERIFY(!FM::cancelFileOperation(op));

        QVERIFY(!FM::copyFileWithProgress(p(QStringLiteral("missing")), p(QStringLiteral("x")), &delegate));
    }

    void waitingForWrites()
    {
        const QString file = p(QStringLiteral("settled.plist"));
        QVERIFY(write(file));
        QVERIFY(FM::setModificationDate(QDateTime::currentDateTime().addSecs(-60), file));
        FM::waitForFileWrites(file);
        QVERIFY(write(p(QStringLiteral("settled.lock"))));
        FM::waitForFileWrites(file, QStringLiteral("settled.lock"));
        const QStringList messages = logMessages();
        QCOMPARE(messages.count(QStringLiteral("File %1 is currently being written to. Waiting...").arg(file)), 1);
        QCOMPARE(messages.count(QStringLiteral("File %1 finished writing.").arg(file)), 1);
    }
};

QTEST_GUILESS_MAIN(TestZDFileManager)
#include "tst_zdfilemanager.moc"
