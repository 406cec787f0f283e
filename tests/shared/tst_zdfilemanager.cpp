#include "ZDFileManager.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"
#include "ZDTrash.h"
#include <QtTest>
#include <memory>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using FM = ZDFileManager;

namespace {

bool write(const QString &path, const QByteArray &data = "x") { return ZDTestSandbox::writeFile(path, data); }

QStringList logMessages()
{
    ZDLog::finishWriting();
    QStringList out;
    static const QRegularExpression prefix(u"^.*? - "_s);
    for (QString line : QString::fromUtf8(ZDTestSandbox::readFile(ZDLog::availableLogs().value(0))).split(u'\n'))
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
    QByteArray local, central, end;
    QDataStream l(&local, QIODevice::WriteOnly), c(&central, QIODevice::WriteOnly), d(&end, QIODevice::WriteOnly);
    for (QDataStream *s : {&l, &c, &d})
        s->setByteOrder(QDataStream::LittleEndian);
    for (const ZipEntry &e : entries) {
        const quint32 offset = quint32(local.size()), crc = crc32(e.data), size = quint32(e.data.size());
        l << quint32(0x04034b50) << quint16(20) << quint16(0) << quint16(0) << quint16(0) << quint16(0x21) << crc
          << size << size << quint16(e.name.size()) << quint16(0);
        l.writeRawData(e.name.constData(), int(e.name.size()));
        l.writeRawData(e.data.constData(), int(size));
        c << quint32(0x02014b50) << quint16((3 << 8) | 20) << quint16(20) << quint16(0) << quint16(0) << quint16(0)
          << quint16(0x21) << crc << size << size << quint16(e.name.size()) << quint16(0) << quint16(0) << quint16(0)
          << quint16(0) << quint32(e.mode << 16) << offset;
        c.writeRawData(e.name.constData(), int(e.name.size()));
    }
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
    QList<QVariantMap> progress, finished;
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
    std::unique_ptr<ZDTestSandbox> m_box;
    QString p(const QString &relative) const { return m_box->path(relative); }

private Q_SLOTS:
    void init()
    {
        m_box = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_box->isValid());
        ZDLog::createNewLog(u"tst_zdfilemanager"_s);
    }
    void cleanup()
    {
        // Immutable leftovers would keep the sandbox from going away.
        FM::unlockFolder(m_box->root());
        m_box.reset();
    }
    void namesAndSizes()
    {
        for (const auto &[bytes, text] : {std::pair {1023.0, "1023 B"}, {1024.0, "1.00 KB"}, {1536.0, "1.50 KB"},
                                          {1048576.0, "1.00 MB"}, {5.0 * 1073741824 * 1024, "5120.00 GB"}})
            QCOMPARE(FM::formatFileSize(bytes), QString::fromLatin1(text));
        for (const auto &[in, out] : {std::pair {".", ""}, {".hidden", "hidden"}, {" .x ", ".x"}, {"..twice", ".twice"},
                                      {"\n a/b:c \t", "abc"}})
            QCOMPARE(FM::validateFilename(QString::fromLatin1(in)), QString::fromLatin1(out));
        QCOMPARE(FM::uniqueFilename(p("Report.pdf")), p("Report.pdf"));
        QVERIFY(write(p("Report.pdf")));
        QCOMPARE(FM::uniqueFilename(p("Report.pdf")), p("Report 2.pdf"));
        QVERIFY(write(p("Report 2.pdf")));
        QCOMPARE(FM::uniqueFilename(p("Report.pdf")), p("Report 3.pdf"));
        QVERIFY(write(p("Makefile")) && write(p(".profile")));
        QCOMPARE(FM::uniqueFilename(p("Makefile")), p("Makefile 2"));
        QCOMPARE(FM::uniqueFilename(p(".profile")), p(".profile 2"));
        // A dangling link still occupies its name.
        QVERIFY(QFile::link(p("nowhere"), p("dangling.txt")));
        QCOMPARE(FM::uniqueFilename(p("dangling.txt")), p("dangling 2.txt"));
        // Sizes add up below folders without following links out of them.
        QVERIFY(write(p("sized/a"), QByteArray(1000, 'a')) && write(p("sized/sub/b"), QByteArray(24, 'b')));
        QVERIFY(QFile::link(m_box->root(), p("sized/up")));
        const quint64 linkSize = QFile::encodeName(m_box->root()).size();
        QCOMPARE(FM::fileSize(p("sized")), 1024 + linkSize);
        QCOMPARE(FM::fileSize(p("sized/a")), quint64(1000));
        QCOMPARE(FM::fileSize(p("missing")), quint64(0));
    }
    void kindsAndEmptiness()
    {
        QVERIFY(QDir().mkpath(p("Tool.app/Contents")));
        QVERIFY(FM::isPackageAtPath(p("Tool.app")));
        QVERIFY(!FM::isPackageAtPath(p("Tool.app/Contents")));
        const QString junk = p("junk");
        QVERIFY(write(junk + "/.DS_Store") && write(junk + "/Icon\r") && write(junk + "/deeper/.DS_Store"));
        QVERIFY(QDir().mkpath(junk + "/empty"));
        QVERIFY(FM::isFolderEmpty(junk));
        QVERIFY(!FM::isFolderEmpty(junk + "/.DS_Store")); // a file is no empty folder
        QVERIFY(write(junk + "/deeper/.hidden"));
        QVERIFY(!FM::isFolderEmpty(junk));
        QVERIFY(!FM::removeFolderIfEmpty(junk));
        QVERIFY(FM::removeFile(junk + "/deeper/.hidden", false));
        QVERIFY(FM::removeFolderIfEmpty(junk));
        QVERIFY(!QFileInfo::exists(junk));
        // The folder part of a path is recreated below a destination.
        QVERIFY(write(p("src/docs/a.txt")));
        const QString made = FM::createDirectoryStructure(p("src/docs/a.txt"), p("dst"));
        QCOMPARE(made, p("dst") + p("src/docs"));
        QVERIFY(QFileInfo(made).isDir());
        const QDateTime old = QDateTime::currentDateTime().addDays(-2);
        QVERIFY(FM::setModificationDate(old, made));
        FM::notifyFileSystemChanged(made + "/missing");
        QCOMPARE(QFileInfo(made).lastModified().toSecsSinceEpoch(), old.toSecsSinceEpoch());
        FM::notifyFileSystemChanged(p("src/docs/a.txt"));
        QVERIFY(QFileInfo(p("src/docs")).lastModified() > old);
        QVERIFY(FM::registerApplicationWithLaunchServices(p("Tool.app")));
        QVERIFY(!FM::registerApplicationWithLaunchServices(p("Missing.app")));
        QCOMPARE(FM::createDirectoryStructure(p("Tool.app"), p("dst")), p("dst") + m_box->root());
        // Volumes: a folder that exists but is no mount is no mounted drive.
        const QString stick = ZDLocalPaths::systemPath(u"/media/alice/Stick"_s);
        QVERIFY(!FM::isDriveMountedForPath(stick + "/Backups"));
        QVERIFY(QDir().mkpath(stick));
        QVERIFY(!FM::isVolumeMountedForPath(stick + "/Backups"));
        QVERIFY(!FM::createDirectory(stick + "/Backups", false));
        QVERIFY(!QFileInfo::exists(stick + "/Backups"));
        QVERIFY(FM::isVolumeMountedForPath(ZDLocalPaths::systemPath(u"/media/alice"_s)));
        QVERIFY(FM::isVolumeMountedForPath(p("anywhere/else")));
    }
    void trashKeepsRestoreRecords()
    {
        QVERIFY(FM::trashFile(p("never-there")));
        QVERIFY(!QFileInfo::exists(ZDLocalPaths::trashDirectory()));
        const QString files = ZDTrash::filesDirectory();
        const QString info = ZDTrash::infoDirectory();
        const QString original = p("my docs/Report 100%.txt");
        QVERIFY(write(original, "first"));
        QVERIFY(FM::trashFile(original, 5s));
        QVERIFY(!QFileInfo::exists(original));
        QCOMPARE(ZDTestSandbox::readFile(files + "/Report 100%.txt"), QByteArray("first"));
        const QString record = QString::fromUtf8(ZDTestSandbox::readFile(info + "/Report 100%.txt.trashinfo"));
        QVERIFY2(record.startsWith(u"[Trash Info]\nPath="_s), qPrintable(record));
        QVERIFY(record.contains("Path=" + QString::fromLatin1(QUrl::toPercentEncoding(original, "/"))));
        QVERIFY(record.contains(u"my%20docs/Report%20100%25.txt"_s));
        QVERIFY(QRegularExpression(u"\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n$"_s)
                    .match(record).hasMatch());
        // A taken name gets the date, as privileged trashing does.
        QVERIFY(write(original, "second"));
        QVERIFY(FM::trashFile(original, false));
        const QStringList names = QDir(files).entryList(QDir::Files, QDir::Name);
        QCOMPARE(names.size(), 2);
        QVERIFY2(QRegularExpression(u"^Report 100%_\\d{14}\\.txt$"_s).match(names.at(1)).hasMatch(),
                 qPrintable(names.join(u',')));
        QVERIFY(QFileInfo::exists(info + u'/' + names.at(1) + ".trashinfo"));
        // Locked items are unlocked first; folders go whole.
        QVERIFY(write(p("box/inner/a.txt")));
        QVERIFY(FM::lockFile(p("box")));
        QVERIFY(FM::trashFile(p("box")));
        QVERIFY(QFileInfo::exists(files + "/box/inner/a.txt"));
        QVERIFY(!FM::isFileLocked(files + "/box"));
        // By type (any letter case, every depth, never a folder) and by exact name.
        const QString logs = p("logs");
        for (const char *f : {"a.log", "b.Log", "sub/c.LOG", "sub/deep/d.log", "keep.txt", "sub/Notes", "sub/notes"})
            QVERIFY(write(logs + u'/' + QLatin1String(f)));
        QVERIFY(QDir().mkpath(logs + "/folder.log/e.log"));
        QStringList trashed = FM::trashFilesOfType(u"LOG"_s, logs);
        QCOMPARE(trashed.size(), 4);
        QVERIFY(trashed.contains(logs + "/sub/deep/d.log"));
        QVERIFY(QFileInfo(logs + "/folder.log").isDir());
        QVERIFY(QFileInfo::exists(logs + "/keep.txt"));
        trashed = FM::trashFilesNamed(u"Notes"_s, logs);
        QCOMPARE(trashed, QStringList{logs + "/sub/Notes"});
        QVERIFY(QFileInfo::exists(logs + "/sub/notes"));
        QVERIFY(FM::trashDirectoryContents(logs));
        QCOMPARE(QDir(logs).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        QVERIFY(FM::trashDirectoryContents(logs)); // empty
    }
    void removeCreateCopyMove()
    {
        // Removal takes a link, never what it points to.
        QVERIFY(write(p("outside/keep.txt")) && write(p("tree/a/b/c.txt")));
        QVERIFY(QFile::link(p("outside"), p("tree/a/link")));
        QVERIFY(FM::removeFile(p("tree"), 5s));
        QVERIFY(!QFileInfo::exists(p("tree")));
        QVERIFY(QFileInfo::exists(p("outside/keep.txt")));
        QVERIFY(FM::removeFile(p("tree"), false)); // already gone
        QVERIFY(FM::createDirectory(p("x/y/z"), 5s));
        QVERIFY(FM::createDirectory(p("x/y/z"), false));
        QVERIFY(write(p("plain")));
        QVERIFY(!FM::createDirectory(p("plain/sub"), false));
        // Copies keep content, modes, times and links as links.
        const QString src = p("src");
        QVERIFY(write(src + "/run.sh", "#!/bin/sh\n"));
        QVERIFY(FM::setPosixPermissions(0750, src + "/run.sh"));
        QVERIFY(!FM::setPosixPermissions(0750, p("missing")));
        const QDateTime old = QDateTime::currentDateTime().addDays(-3);
        QVERIFY(FM::setModificationDate(old, src + "/run.sh"));
        QVERIFY(QFile::link(u"run.sh"_s, src + "/alias"));
        QVERIFY(FM::setFinderColorIndex(8, src + "/run.sh"));
        QVERIFY(!FM::copyFile(src, p("dst/src"), false)); // no parent folder
        QVERIFY(FM::copyFile(src, p("copy"), 5s));
        const QFileInfo copied(p("copy/run.sh"));
        QCOMPARE(ZDTestSandbox::readFile(copied.filePath()), QByteArray("#!/bin/sh\n"));
        QCOMPARE(copied.permissions() & 0x0FFF, QFileInfo(src + "/run.sh").permissions() & 0x0FFF);
        QCOMPARE(copied.lastModified().toSecsSinceEpoch(), old.toSecsSinceEpoch());
        QVERIFY(QFileInfo(p("copy/alias")).isSymLink());
        QCOMPARE(QFileInfo(p("copy/alias")).symLinkTarget(), copied.filePath());
        QCOMPARE(FM::finderColorIndexForPath(copied.filePath()), 8);
        QVERIFY(!FM::copyFile(src, p("copy"), false)); // never over an existing item
        QVERIFY(FM::copyFile(src, src + "/inner", false)); // into itself, once
        QCOMPARE(ZDTestSandbox::readFile(src + "/inner/run.sh"), QByteArray("#!/bin/sh\n"));
        QVERIFY(!QFileInfo::exists(src + "/inner/inner"));
        QVERIFY(!FM::copyFile(QString(), p("c2")));
        QVERIFY(!FM::copyFile(src, QString()));
        // A case-only rename ends with the new letter case.
        QVERIFY(write(p("Notes.TXT"), "n"));
        QVERIFY(FM::moveFile(p("Notes.TXT"), p("Notes.txt"), 5s));
        QCOMPARE(QDir(m_box->root()).entryList({u"Notes.*"_s}), QStringList{u"Notes.txt"_s});
        // Moves never replace as the process itself.
        QVERIFY(write(p("one"), "1") && write(p("two"), "2"));
        QVERIFY(!FM::moveFile(p("one"), p("two"), false));
        QCOMPARE(ZDTestSandbox::readFile(p("two")), QByteArray("2"));
        // Across file systems: copied, then removed.
        QTemporaryDir other(u"/dev/shm/kestra-fm-XXXXXX"_s);
        if (other.isValid()) {
            QVERIFY(write(other.filePath(u"far/f.txt"_s), "far"));
            QVERIFY(FM::moveFile(other.filePath(u"far"_s), p("near"), 5s));
            QCOMPARE(ZDTestSandbox::readFile(p("near/f.txt")), QByteArray("far"));
            QVERIFY(!QFileInfo::exists(other.filePath(u"far"_s)));
        }
        QVERIFY(FM::createEmptyFile(p("empty.txt")));
        QCOMPARE(QFileInfo(p("empty.txt")).size(), 0);
        QVERIFY(FM::setModificationDate(old, p("empty.txt")));
        QVERIFY(FM::touchFile(p("empty.txt"), true));
        QVERIFY(QFileInfo(p("empty.txt")).lastModified() > old.addDays(1));
        QVERIFY(FM::waitForFileCreation(p("copy/run.sh"), 0s));
        QVERIFY(!FM::waitForFileCreation(p("empty.txt"), 0s));
    }
    void privilegedFallbackAsRoot()
    {
        if (!ZDLocalPaths::isRoot())
            QSKIP("the privileged tools run directly only for root");
        QVERIFY(write(p("one"), "1") && write(p("two"), "2"));
        // The plain move refuses to replace; the privileged one does.
        QVERIFY(FM::moveFile(p("one"), p("two"), 10s));
        QTRY_COMPARE(ZDTestSandbox::readFile(p("two")), QByteArray("1"));
        const QStringList messages = logMessages();
        const qsizetype at = messages.indexOf(QRegularExpression(u"^Error moving file: .*two: File exists\\.$"_s));
        QVERIFY2(at >= 0, qPrintable(messages.join(u'\n')));
        QCOMPARE(messages.value(at + 1), u"Authorizing..."_s);
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
        QCOMPARE(FM::filesMatchingWildcardPath(u"a/b*/c"_s, base), (QStringList{p("a/b1/c"), p("a/b2/c")}));
        // "?" counts only in a component that also has a star.
        QCOMPARE(FM::filesMatchingWildcardPath(u"a/b?/*"_s, base), QStringList());
        QCOMPARE(FM::filesMatchingWildcardPath(u"a/b?*/*"_s, base),
                 (QStringList{p("a/b1/c"), p("a/b2/c"), p("a/bx/d")}));
        QCOMPARE(FM::filesMatchingWildcardPath(u"/a/*x/d"_s, base), QStringList{p("a/bx/d")});
        QCOMPARE(FM::filesMatchingWildcardPath(base + "/a/b*/d"), QStringList{p("a/bx/d")});
        QCOMPARE(FM::filesMatchingWildcardPath(u"a/B*/c"_s, base), QStringList());
        // Without a star nothing is looked up.
        QCOMPARE(FM::filesMatchingWildcardPath(u"no/such?"_s, base), QStringList{p("no/such?")});
        QCOMPARE(FM::decodeWildcardPath(u"a/*/d"_s, base), p("a/bx/d"));
        QCOMPARE(FM::decodeWildcardPath(u"a/*/zz"_s, base), p("a/*/zz"));
    }
    void locksAndLabels()
    {
        const QString file = p("doc.txt");
        QVERIFY(write(file));
        QVERIFY(!FM::isFileLocked(file));
        QVERIFY(FM::lockFile(file));
        QVERIFY(FM::isFileLocked(file));
        QVERIFY(FM::unlockFile(file));
        QVERIFY(!FM::isFileLocked(file));
        QVERIFY(!FM::unlockFile(p("missing")));
        QVERIFY(write(p("tree/a")) && write(p("tree/sub/b")));
        QVERIFY(FM::lockFolder(p("tree")));
        QVERIFY(FM::isFileLocked(p("tree/sub/b")));
        QVERIFY(!FM::isFileLocked(p("tree/sub")));
        QVERIFY(FM::unlockFolder(p("tree")));
        QVERIFY(!FM::isFileLocked(p("tree/a")));
        // Removing a locked file clears its lock first.
        QVERIFY(FM::lockFile(file));
        QVERIFY(FM::removeFile(file, false));
        const QString labelled = p("labelled");
        QVERIFY(write(labelled));
        QCOMPARE(FM::finderColorIndexForPath(labelled), 0);
        QVERIFY(!FM::finderColorForPath(labelled));
        // Unrelated flag bits neither hide the label nor get lost.
        const QByteArray raw = QByteArray::number(0x4000 | 0x0C);
        const QByteArray name = QFile::encodeName(labelled);
        QCOMPARE(::setxattr(name.constData(), "user.zendrel.labelflags", raw.constData(), size_t(raw.size()), 0), 0);
        QCOMPARE(FM::finderColorIndexForPath(labelled), 12);
        QVERIFY(FM::finderColorForPath(labelled));
        QVERIFY(FM::setFinderColorIndex(5, labelled));
        QCOMPARE(FM::finderColorIndexForPath(labelled), 4);
        char value[16] = {};
        const ssize_t n = ::getxattr(name.constData(), "user.zendrel.labelflags", value, 15);
        QCOMPARE(QByteArray(value, int(n)).toInt(), 0x4000 | 0x04);
        QVERIFY(!FM::setFinderColorIndex(2, p("missing")));
        QVERIFY(!FM::finderColorForColorIndex(1));
        QVERIFY(!FM::finderColorForColorIndex(16));
    }
    void archives()
    {
        const QString folder = p("Project");
        QVERIFY(write(folder + "/readme.txt", "hello") && write(folder + "/src/main.c", "int main;"));
        QVERIFY(QFile::link(u"readme.txt"_s, folder + "/link"));
        QVERIFY(QDir().mkpath(folder + "/empty"));
        QVERIFY(FM::compressFile(folder, p("with.zip")));
        QVERIFY(FM::decompressFile(p("with.zip"), p("out1")));
        QCOMPARE(ZDTestSandbox::readFile(p("out1/Project/src/main.c")), QByteArray("int main;"));
        QVERIFY(QFileInfo(p("out1/Project/link")).isSymLink());
        QVERIFY(QFileInfo(p("out1/Project/empty")).isDir());
        const QString without = p("without.zip");
        QVERIFY(FM::compressFile(folder, without, false));
        QVERIFY(FM::decompressFile(without, p("out2")));
        QCOMPARE(ZDTestSandbox::readFile(p("out2/readme.txt")), QByteArray("hello"));
        QVERIFY(!QFileInfo::exists(p("out2/Project")));
        // An existing archive or folder goes to the Trash first.
        QVERIFY(write(folder + "/readme.txt", "changed"));
        QVERIFY(FM::compressFile(folder, without, false));
        QVERIFY(FM::decompressFile(without, p("out2")));
        QCOMPARE(ZDTestSandbox::readFile(p("out2/readme.txt")), QByteArray("changed"));
        QVERIFY(QFileInfo::exists(ZDTrash::filesDirectory() + "/without.zip"));
        QVERIFY(QFileInfo::exists(ZDTrash::filesDirectory() + "/out2/readme.txt"));
        QVERIFY(!FM::compressFile(p("missing"), p("m.zip")));
        QVERIFY(!FM::decompressFile(p("missing.zip"), p("out3")));
        QVERIFY(write(p("garbage.zip"), "not a zip at all"));
        QVERIFY(!FM::decompressFile(p("garbage.zip"), p("out4")));
    }
    void hostileArchiveStaysInside()
    {
        QVERIFY(QDir().mkpath(p("victim")));
        const QByteArray victim = QFile::encodeName(p("victim"));
        QVERIFY(write(p("hostile.zip"), makeZip({
            {"../escaped.txt", "dotdot", S_IFREG | 0644},
            {"ok/../../escaped2.txt", "dotdot", S_IFREG | 0644},
            {victim + "/absolute.txt", "absolute", S_IFREG | 0644},
            {"link", victim, S_IFLNK | 0777},
            {"link/through.txt", "through", S_IFREG | 0644},
            {"setuid", "x", S_IFREG | 04755},
            {"fine/file.txt", "fine", S_IFREG | 0644},
        })));
        const QString out = p("unpacked/inside");
        FM::decompressFile(p("hostile.zip"), out);
        QCOMPARE(QDir(p("victim")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(!QFileInfo::exists(p("unpacked/escaped.txt")));
        QVERIFY(!QFileInfo::exists(p("escaped2.txt")));
        QVERIFY(!QFileInfo::exists(out + "/link/through.txt"));
        QCOMPARE(ZDTestSandbox::readFile(out + "/fine/file.txt"), QByteArray("fine"));
        struct stat st {};
        if (::stat(QFile::encodeName(out + "/setuid").constData(), &st) == 0) {
            QCOMPARE(st.st_mode & 0100, 0100u);
            QCOMPARE(st.st_mode & 07000, 0u);
        }
    }
    void copyWithProgress()
    {
        const QString src = p("big");
        for (int i = 0; i < 5; ++i)
            QVERIFY(write(src + u"/part%1"_s.arg(i), QByteArray(300000, char('a' + i))));
        CopyDelegate delegate;
        QPointer<ZDFileCopyOperation> op;
        QVERIFY(FM::copyFileWithProgress(src, p("new/place/big"), &delegate, u"tag"_s, 42, &op));
        QVERIFY(op);
        QSignalSpy done(op.data(), &ZDFileCopyOperation::finished);
        QVERIFY(done.wait(30000) || !delegate.finished.isEmpty());
        QCOMPARE(delegate.finished.size(), 1);
        QVERIFY(!delegate.offMainThread);
        QVERIFY(!delegate.progress.isEmpty());
        QVERIFY(delegate.seenOperation.isNull() || delegate.seenOperation == op);
        QCOMPARE(delegate.progress.first().value(u"stage"_s).toInt(), 2);
        QCOMPARE(delegate.progress.first().value(u"totalBytes"_s).toLongLong(), 1500000);
        const QVariantMap last = delegate.finished.first();
        const QVariantMap expected{{"stage", 3}, {"error", 0}, {"operationtype", "copy"}, {"source", src},
                                   {"destination", p("new/place/big")}, {"object", "tag"}, {"object2", 42},
                                   {"bytesCompleted", 1500000}};
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QVERIFY2(last.value(it.key()).toString() == it.value().toString(), qPrintable(it.key()));
        QCOMPARE(last.value(u"delegate"_s).value<QObject *>(), &delegate);
        QCOMPARE(FM::fileSize(p("new/place/big")), quint64(1500000));
        QTRY_VERIFY(op.isNull()); // gone after its last report
        // A cancelled copy leaves nothing half-done behind.
        CopyDelegate second;
        QVERIFY(FM::copyFileWithProgress(src, p("cancelled"), &second, {}, {}, &op));
        QVERIFY(FM::cancelFileOperation(op));
        QTRY_COMPARE(second.finished.size(), 1);
        const int error = second.finished.first().value(u"error"_s).toInt();
        QVERIFY(error == ECANCELED || error == 0);
        QCOMPARE(QFileInfo::exists(p("cancelled")), error == 0);
        QVERIFY(!second.finished.first().contains(u"object"_s));
        QTRY_VERIFY(op.isNull());
        QVERIFY(!FM::cancelFileOperation(op));
        QVERIFY(!FM::copyFileWithProgress(p("missing"), p("x"), &delegate));
    }
    void waitingForWrites()
    {
        const QString file = p("settled.plist");
        QVERIFY(write(file));
        QVERIFY(FM::setModificationDate(QDateTime::currentDateTime().addSecs(-60), file));
        FM::waitForFileWrites(file);
        QVERIFY(write(p("settled.lock")));
        FM::waitForFileWrites(file, u"settled.lock"_s);
        const QStringList messages = logMessages();
        QCOMPARE(messages.count(u"File %1 is currently being written to. Waiting..."_s.arg(file)), 1);
        QCOMPARE(messages.count(u"File %1 finished writing."_s.arg(file)), 1);
    }
};

QTEST_GUILESS_MAIN(TestZDFileManager)
#include "tst_zdfilemanager.moc"
