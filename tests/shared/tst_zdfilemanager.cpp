// The file manager on real files in a sandbox, tools run as children, service manager jobs; the formats the suite writes and reads (property lists,
// credentials encrypted for the wire) and the places it keeps them (paths and the machine model below a
// sandbox root).
#include "rights/ZDEncryption.h"
#include "files/ZDArchive.h"
#include "files/ZDFileManager.h"
#include "rights/ZDLaunchd.h"
#include "platform/ZDBoundedRead.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "platform/ZDMachineModel.h"
#include "plist/ZDPropertyList.h"
#include "process/ZDTaskEx.h"
#include "ZDTestSandbox.h"
#include "ZDTestZip.h"
#include "files/ZDTrash.h"
#include <QtTest>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using FM = ZDFileManager;
using zdtest::makeZip;

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


// Children of this process that have ended but were never reaped.
int zombieChildren()
{
    int count = 0;
    const QString self = QString::number(::getpid());
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        const QByteArray stat = ZDTestSandbox::readFile(u"/proc/%1/stat"_s.arg(entry));
        const int close = stat.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self.toLatin1())
            ++count;
    }
    return count;
}

bool processExists(pid_t pid)
{
    return QFile::exists(u"/proc/%1"_s.arg(pid));
}

struct Recorder
{
    std::mutex mutex;
    QList<QByteArray> chunks;
    QList<QVariant> objects;
    QList<ZDTaskEx *> runners;
    QSemaphore firstChunk;
    ZDTaskEx::Delegate delegate()
    {
        return [this](const QByteArray &chunk, ZDTaskEx *runner, const QVariant &object) {
            std::lock_guard lock(mutex);
            chunks << chunk;
            objects << object;
            runners << runner;
            if (chunks.size() == 1)
                firstChunk.release();
        };
    }
    QList<QByteArray> received()
    {
        std::lock_guard lock(mutex);
        return chunks;
    }
};


using Calls = QList<QStringList>;
using Domain = ZDLaunchd::Domain;
using Kind = ZDLaunchd::JobKind;
using Rights = ZDLaunchd::Rights;

const QString kLabel = u"com.zendrel.KestraClient"_s;
const QString kUnit = u"com.zendrel.KestraClient.service"_s;

// One systemctl call, its words separated by spaces; "@" stands for the unit.
QStringList call(const QString &words)
{
    return words.split(u' ').replaceInStrings(u"@"_s, kUnit);
}

// The same addressed to a user's own manager from this process.
QStringList userCall(const QString &words)
{
    QStringList args {u"--user"_s};
    const QString console = ZDLocalPaths::currentConsoleUser();
    if (ZDLocalPaths::isRoot() && !console.isEmpty() && console != "root"_L1)
        args << u"--machine="_s + console + u'@';
    return args + call(words);
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : mode_t(0);
}

bool rootOwned644(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && (st.st_mode & 07777) == 0644 && st.st_uid == 0
        && st.st_gid == 0;
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
    QString m_callLog;
    QList<QPair<QString, QString>> m_sheets;
    QString m_program;
    mode_t m_umask = 022;
    Calls calls() const
    {
        Calls out;
        for (const QByteArray &line : ZDTestSandbox::readFile(m_callLog).split('\n')) {
            if (!line.isEmpty())
                out << QString::fromUtf8(line).split(u'\t').mid(3); // program, uid, cwd
        }
        return out;
    }
    void forgetCalls() { QFile::remove(m_callLog); }
    QVariantMap clientSettings() const
    {
        return {{u"Label"_s, kLabel}, {u"Program"_s, m_program}, {u"WorkingDirectory"_s, QFileInfo(m_program).path()},
                {u"RunAtLoad"_s, true}, {u"KeepAlive"_s, QVariantMap {{u"SuccessfulExit"_s, false}}}};
    }
    static QString unitText(const QString &path) { return QString::fromUtf8(ZDTestSandbox::readFile(path)); }
    QString script(const QString &name, const QByteArray &body)
    {
        const QString path = m_box->path(u"bin/"_s + name);
        if (!ZDTestSandbox::writeFile(path, "#!/bin/sh\n" + body + '\n'))
            return QString();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
    static QString logText()
    {
        ZDLog::finishWriting();
        return QString::fromUtf8(ZDTestSandbox::readFile(ZDLog::availableLogs().value(0)));
    }
    static void put(ZDTestSandbox &sandbox, const QString &relative, const QByteArray &contents)
    {
        const QString path = sandbox.path(relative);
        QDir().mkpath(QFileInfo(path).path());
        QVERIFY(ZDTestSandbox::writeFile(path, contents));
    }

private Q_SLOTS:
    void init()
    {
        m_box = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_box->isValid());
        ZDLog::createNewLog(u"tst_zdfilemanager"_s);
        // systemd is not the service manager here: the recording stand-in goes first on PATH.
        const QString bin = m_box->path(u"bin"_s);
        QVERIFY(QDir().mkpath(bin));
        QString sourceDir = qEnvironmentVariable("KESTRA_SOURCE_DIR");
        if (sourceDir.isEmpty())
            sourceDir = QStringLiteral(QT_TESTCASE_SOURCEDIR "/../..");
        const QString source = sourceDir + u"/tools/standins/systemctl"_s;
        QVERIFY2(QFile::copy(source, bin + u"/systemctl"_s), qPrintable(source));
        QVERIFY(QFile::setPermissions(bin + u"/systemctl"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                                 | QFile::ReadOther | QFile::ExeOther));
        m_box->setEnv("PATH", (bin + u':' + qEnvironmentVariable("PATH")).toUtf8());
        m_callLog = m_box->path(u"systemctl.calls"_s);
        m_box->setEnv("KESTRA_STANDIN_LOG", m_callLog.toUtf8());
        QCOMPARE(QStandardPaths::findExecutable(u"systemctl"_s), bin + u"/systemctl"_s);
        m_program = m_box->path(u"opt/Kestra Client.app/Contents/MacOS/KestraClient"_s);
        m_sheets.clear();
        ZDLaunchd::setSheetPresenter([this](const QString &m, const QString &i) { m_sheets.append({m, i}); });
        // A restrictive umask shows that the mode is set, not inherited.
        m_umask = ::umask(077);
    }
    void cleanup()
    {
        ::umask(m_umask);
        ZDLaunchd::setSheetPresenter(nullptr);
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
        // Unasked, rights are never used: not even a root process's own.
        QVERIFY(!FM::moveFile(p("one"), p("two")));
        QVERIFY(!FM::moveFile(p("one"), p("two"), 1s));
        QCOMPARE(ZDTestSandbox::readFile(p("two")), QByteArray("2"));
        QVERIFY(!logMessages().contains(u"Authorizing..."_s));
        // The plain move refuses to replace; the privileged one, asked for, does.
        QVERIFY(FM::moveFile(p("one"), p("two"), 10s, true));
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
        QVERIFY(QDir().mkpath(folder + "/empty"));
        QVERIFY(FM::compressFile(folder, p("with.zip")));
        QVERIFY(FM::decompressFile(p("with.zip"), p("out1")));
        QCOMPARE(ZDTestSandbox::readFile(p("out1/Project/src/main.c")), QByteArray("int main;"));
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
        // A folder holding a link packs, but never unpacks: links are not extracted.
        QVERIFY(QFile::link(u"readme.txt"_s, folder + "/link"));
        QVERIFY(FM::compressFile(folder, p("linked.zip")));
        QVERIFY(!FM::decompressFile(p("linked.zip"), p("out5")));
    }
    // Each archive starts with a harmless entry, then breaks the rule once: it is refused
    // whole, nothing lands inside or outside, and the refusal says why.
    void hostileArchiveRefusedWhole()
    {
        QVERIFY(QDir().mkpath(p("victim")));
        const QByteArray victim = QFile::encodeName(p("victim"));
        const QList<std::pair<QList<zdtest::ZipEntry>, QString>> cases{
            {{{"../escaped.txt", "dotdot"}}, u"climbs out"_s},
            {{{"ok/../../escaped2.txt", "dotdot"}}, u"climbs out"_s},
            {{{victim + "/absolute.txt", "absolute"}}, u"absolute name"_s},
            {{{"link", victim, S_IFLNK | 0777}, {"link/through.txt", "through"}}, u"is a link"_s},
        };
        for (const auto &[hostile, why] : cases) {
            QVERIFY(write(p("hostile.zip"), makeZip(QList<zdtest::ZipEntry>{{"fine/file.txt", "fine"}} + hostile)));
            const ZDFileTree::Result r = ZDArchive::extractZip(p("hostile.zip"), p("unpacked/inside"));
            QVERIFY2(!r.ok && r.text.startsWith(u"refused archive"_s) && r.text.contains(why), qPrintable(why + u": "_s + r.description()));
            QVERIFY(!QFileInfo::exists(p("unpacked")));
            QVERIFY(!QFileInfo::exists(p("escaped.txt")) && !QFileInfo::exists(p("escaped2.txt")));
            QCOMPARE(QDir(p("victim")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        }
        // A gigabyte of zeros in a megabyte, fed to the check as a stream; and too many entries.
        const QByteArray bomb = zdtest::zipBomb("zeros", 1LL << 30);
        QVERIFY(!bomb.isEmpty() && bomb.size() < 16 * 1024 * 1024);
        QVERIFY(write(p("bomb.zip"), bomb));
        ZDFileTree::Result r = ZDArchive::extractZip(p("bomb.zip"), p("unpacked"));
        QVERIFY2(!r.ok && r.text.contains(u"unpacks to more than"_s), qPrintable(r.description()));
        QList<zdtest::ZipEntry> many;
        for (int i = 0; i <= ZDArchive::kReceived.maxEntries; ++i)
            many.append({QByteArray::number(i), {}});
        QVERIFY(write(p("many.zip"), makeZip(many)));
        r = ZDArchive::extractZip(p("many.zip"), p("unpacked"));
        QVERIFY2(!r.ok && r.text.contains(u"more than 20000 entries"_s), qPrintable(r.description()));
        QVERIFY(!QFileInfo::exists(p("unpacked")));
        // Modes are masked: no set-id bits, nobody else writes; executables stay executable.
        QVERIFY(write(p("modes.zip"), makeZip({{"d/", "", S_IFDIR | 0777}, {"d/all", "x", S_IFREG | 0777},
                                               {"d/rw", "x", S_IFREG | 0666}, {"d/setuid", "x", S_IFREG | 04755}})));
        QVERIFY(ZDArchive::extractZip(p("modes.zip"), p("modes")).ok);
        for (const auto &[name, mode] : {std::pair{"d", 0755u}, {"d/all", 0755u}, {"d/rw", 0644u}, {"d/setuid", 0755u}}) {
            struct stat st {};
            QVERIFY(::lstat(QFile::encodeName(p("modes/") + QLatin1String(name)).constData(), &st) == 0);
            QCOMPARE(st.st_mode & 07777, mode);
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
    void boundedReads()
    {
        // Files of any size against bounds above and below it, from a position, and a pipe.
        ZDTestSandbox box;
        QByteArray bytes(200 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7);
        QVERIFY(ZDTestSandbox::writeFile(box.path("data"), bytes));
        QFile file(box.path("data"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(ZDBoundedRead::upTo(file, 100 * 1024 + 1), bytes.left(100 * 1024 + 1));
        QCOMPARE(ZDBoundedRead::upTo(file, 1 << 20), bytes.mid(100 * 1024 + 1));
        QVERIFY(file.seek(0));
        QCOMPARE(ZDBoundedRead::upTo(file, 1 << 20), bytes);
        QVERIFY(ZDTestSandbox::writeFile(box.path("empty"), {}));
        QFile empty(box.path("empty"));
        QVERIFY(empty.open(QIODevice::ReadOnly));
        QVERIFY(ZDBoundedRead::upTo(empty, 1 << 20).isEmpty());
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        QCOMPARE(::write(fds[1], bytes.constData(), 50 * 1024), ssize_t(50 * 1024));
        ::close(fds[1]);
        QFile pipe;
        QVERIFY(pipe.open(fds[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
        QCOMPARE(ZDBoundedRead::upTo(pipe, 1 << 20), bytes.left(50 * 1024));
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
        // Names others must not guess: not what a generator seeded from the clock and the time gives.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const std::time_t second = std::time(nullptr);
            const std::clock_t before = std::clock();
            const QString name = ZDLocalPaths::randomString(12);
            const std::clock_t after = std::clock();
            if (std::time(nullptr) != second)
                continue;
            for (std::clock_t c = before; c <= after && c - before < 100000; ++c) {
                ::srand(static_cast<unsigned>(c) * static_cast<unsigned>(second));
                QString guess;
                for (int i = 0; i < 12; ++i)
                    guess += QLatin1Char("abcdefghijklmnopqrstuvwxyz0123456789"[::rand() % 36]);
                QVERIFY2(guess != name, "a name from the clock");
            }
        }
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
    // Running tools: refusals, output, descriptors, time-outs, streams and stubborn children.
    void refusesWhatIsNotRunnable()
    {
        const QString bundle = m_box->path(u"Tool.app"_s);
        const QString inner = bundle + u"/Contents/MacOS/Tool"_s;
        QVERIFY(ZDTestSandbox::writeFile(inner, "#!/bin/sh\necho ran\n"));
        QFile::setPermissions(inner, QFile::ReadOwner | QFile::ExeOwner);
        QVERIFY(QFileInfo(bundle).isExecutable());
        const QString plain = m_box->path(u"bin/plain"_s);
        QVERIFY(ZDTestSandbox::writeFile(plain, "#!/bin/sh\necho ran\n"));
        for (const QString &path : {bundle, plain, m_box->path(u"missing"_s), QString()}) {
            QVERIFY2(!ZDTaskEx::isRunnable(path), qPrintable(path));
            QVERIFY(!ZDTaskEx::runTask(path, {}));
            QCOMPARE(ZDTaskEx::terminationCodeFromTask(path, {}), -1);
            QCOMPARE(ZDTaskEx::dataFromTask(path, {}), std::nullopt);
            QCOMPARE(ZDTaskEx::stringFromTask(path, {}), QString());
            QCOMPARE(ZDTaskEx::terminationCodeFromTask(path, {}, 5s), -1);
            QCOMPARE(ZDTaskEx::dataFromTask(path, {}, 5s), std::nullopt);
        }
        QVERIFY(ZDTaskEx::isRunnable(inner));
        QVERIFY(logText().contains(u"Error: %1 is not executable"_s.arg(bundle)));
    }
    void outputStatusArgumentsAndEnvironment()
    {
        const QString errOnly = script(u"err-only"_s, "echo \"$1\" >&2");
        QCOMPARE(ZDTaskEx::dataFromTask(errOnly, {u"on error"_s}), QByteArray("on error\n"));
        QCOMPARE(ZDTaskEx::stringFromTask(errOnly, {u"on error"_s}), u"on error\n"_s);
        const QString both = script(u"both"_s, "echo out; echo err >&2");
        QCOMPARE(ZDTaskEx::dataFromTask(both, {}), QByteArray("out\n"));
        // Without logOutput standard output is not captured, so the errors come back.
        QCOMPARE(ZDTaskEx::dataFromTask(both, {}, nullptr, std::nullopt, false), QByteArray("err\n"));
        const QString silent = script(u"silent"_s, "exit 0");
        QCOMPARE(ZDTaskEx::dataFromTask(silent, {}), std::optional<QByteArray>(QByteArray()));
        QVERIFY(!ZDTaskEx::stringFromTask(silent, {}).isNull()); // "", not nothing
        const QString accented = script(u"accented"_s, "printf 'caf\\303\\251'");
        QCOMPARE(ZDTaskEx::stringFromTask(accented, {}, ZDStringEncoding::Utf8), QStringLiteral(u"caf\u00e9"));
        QCOMPARE(ZDTaskEx::stringFromTask(accented, {}, ZDStringEncoding::Latin1), QStringLiteral(u"caf\u00c3\u00a9"));
        QCOMPARE(ZDTaskEx::stringFromTask(accented, {}), QStringLiteral(u"caf\ufffd\ufffd"));
        const QString exiter = script(u"exiter"_s, "exit \"$1\"");
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(exiter, {u"7"_s}), 7);
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(exiter, {u"0"_s}), 0);
        QVERIFY(ZDTaskEx::runTask(exiter, {u"3"_s}));
        const QString echo = script(u"args"_s, "printf '[%s]' \"$@\"");
        QCOMPARE(ZDTaskEx::dataFromTask(echo, {u"a b"_s, QString(), u"$HOME"_s}), QByteArray("[a b][][$HOME]"));
        // The environment is replaced only when one is given.
        const QString env = u"/usr/bin/env"_s;
        const ZDTaskEx::Environment only {{u"ZD_ONLY"_s, u"one"_s}, {u"ZD_TWO"_s, u"a=b"_s}};
        QCOMPARE(ZDTaskEx::dataFromTask(env, {}, nullptr, only), QByteArray("ZD_ONLY=one\nZD_TWO=a=b\n"));
        const QByteArray inherited = ZDTaskEx::dataFromTask(env, {}).value_or(QByteArray());
        QVERIFY(inherited.contains("HOME=" + m_box->home().toUtf8() + '\n'));
    }
    void childNeverSeesCallersInputOrDescriptors()
    {
        // Make our own standard input a pipe with data waiting, as a shell would.
        int input[2];
        QCOMPARE(::pipe(input), 0);
        QCOMPARE(::write(input[1], "secret\n", 7), ssize_t(7));
        const int savedInput = ::dup(STDIN_FILENO);
        ::dup2(input[0], STDIN_FILENO);
        const int stray = ::open("/dev/null", O_RDONLY); // no O_CLOEXEC on purpose
        const QString reader = script(u"reader"_s, "if read line; then echo \"read $line\"; else echo eof; fi");
        const QByteArray readerOutput = ZDTaskEx::dataFromTask(reader, {}).value_or("failed");
        const QString helpers = qEnvironmentVariable(
            "KESTRA_TEST_HELPERS", QCoreApplication::applicationDirPath() + u"/../helpers"_s);
        const QString fds = ZDTaskEx::stringFromTask(helpers + u"/zdtaskex_fds"_s, {});
        ::dup2(savedInput, STDIN_FILENO);
        for (const int fd : {savedInput, input[0], input[1], stray})
            ::close(fd);
        QCOMPARE(readerOutput, QByteArray("eof\n"));
        QCOMPARE(fds, u"0 1 2\n"_s);
    }
    void callerStopsRunThroughItsHandle()
    {
        const QString slow = script(u"slow"_s,
                                    "echo started; i=0; while [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; "
                                    "echo done");
        ZDTaskHandle handle;
        QVERIFY(!handle.terminate());
        std::optional<QByteArray> result;
        std::thread worker([&] { result = ZDTaskEx::dataFromTask(slow, {}, &handle); });
        QTRY_VERIFY(handle.isSet());
        QVERIFY(handle.pid() > 0);
        QCOMPARE(handle.path(), slow);
        QVERIFY(handle.terminate());
        worker.join();
        QVERIFY(result.has_value());
        QVERIFY(!result->contains("done"));
        QVERIFY(!handle.isSet());
        QVERIFY(!handle.terminate());
    }
    void timedRunIsCutAtItsTimeout()
    {
        // A tick every half second: tick5 would come at 2.5 s, past the time-out.
        const QString ticker = script(u"ticker"_s,
                                      "i=1; while [ $i -le 12 ]; do sleep 0.5; echo tick$i; i=$((i+1)); done; "
                                      "echo done");
        const QByteArray ticks = ZDTaskEx::dataFromTask(ticker, {}, 2s).value_or(QByteArray());
        QVERIFY2(ticks.contains("tick1"), ticks.constData());
        QVERIFY2(!ticks.contains("tick5"), ticks.constData());
        QVERIFY(!ticks.contains("done"));
        QVERIFY(logText().contains(u"Task %1 timed out. Terminating..."_s.arg(ticker)));
        const QString sleeper = script(u"sleeper"_s, "exec sleep 30");
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(sleeper, {}, 1s), 15); // ended by SIGTERM
        QVERIFY(ZDTaskEx::runTask(sleeper, {}, 1s));
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(sleeper, {}, 0s), 15); // no time at all, not "no time-out"
    }
    void childFinishingFirstIsLeftAlone()
    {
        const QString quick = script(u"quick"_s, "echo finished; exit 3");
        ZDTaskEx runner;
        QCOMPARE(runner.terminationCodeFromTaskWithTimeout(quick, {}, 1s), 3);
        QVERIFY(!runner.theTask().isSet());
        // A timer left over from the first run would cut this one at the first run's second.
        const QString later = script(u"later"_s, "sleep 1.5; echo survived");
        QCOMPARE(runner.stringFromTaskWithTimeout(later, {}, ZDStringEncoding::Ascii, 30s), u"survived\n"_s);
        QCOMPARE(ZDTaskEx::stringFromTask(quick, {}, 30s), u"finished\n"_s);
        QVERIFY(!logText().contains(u"Task %1 timed out"_s.arg(quick)));
        QVERIFY(!logText().contains(u"Task %1 timed out"_s.arg(later)));
    }
    void childIgnoringTerminateIsStillReaped()
    {
        const QString stubborn = script(u"stubborn"_s, "trap '' TERM; sleep 1.5; echo survived");
        QCOMPARE(ZDTaskEx::dataFromTask(stubborn, {}, 1s), QByteArray("survived\n"));
        // One that would outlast any patience is killed in the end instead of holding its caller.
        const QString deaf = script(u"deaf"_s, "trap '' TERM; exec sleep 600");
        QCOMPARE(ZDTaskEx::terminationCodeFromTask(deaf, {}, 1s), 9);
        QVERIFY(logText().contains(u"Task %1 ignored the terminate signal. Killing..."_s.arg(deaf)));
        const QString streamer = script(u"stubborn-stream"_s, "trap '' TERM; echo start; sleep 1; echo more; sleep 1");
        Recorder recorder;
        {
            ZDTaskEx runner;
            runner.asyncDataFromTask(streamer, {}, recorder.delegate());
            QVERIFY(recorder.firstChunk.tryAcquire(1, 20000));
            runner.terminateAsyncTask();
        }
        const QString marker = m_box->path(u"returned"_s);
        const QString background = script(u"background"_s, "sleep 0.3; touch \"$1\"");
        ZDTaskEx::runTaskAndReturn(background, {marker});
        QTRY_VERIFY(QFile::exists(marker));
        QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(), 0, 10000);
    }
    void streamsChunksThenOneEmptyChunk()
    {
        const QString chunky = script(u"chunky"_s, "for i in 1 2 3; do echo chunk$i; sleep 0.3; done; echo gone >&2");
        Recorder recorder;
        ZDTaskEx runner;
        runner.asyncDataFromTask(chunky, {}, recorder.delegate(), u"tag"_s);
        runner.waitForAsyncTask();
        const QList<QByteArray> chunks = recorder.received();
        QVERIFY(chunks.size() >= 3);
        QVERIFY(chunks.last().isEmpty());
        QCOMPARE(chunks.count(QByteArray()), 1);
        QCOMPARE(chunks.join(), QByteArray("chunk1\nchunk2\nchunk3\n"));
        QCOMPARE(recorder.objects, QList<QVariant>(chunks.size(), u"tag"_s));
        QCOMPARE(recorder.runners, QList<ZDTaskEx *>(chunks.size(), &runner));
        QVERIFY(!runner.theTask().isSet());
        // A stream that cannot start calls nobody.
        Recorder none;
        runner.asyncDataFromTask(m_box->path(u"missing"_s), {}, none.delegate());
        runner.waitForAsyncTask();
        runner.asyncDataFromTask(m_box->path(u"Tool.app"_s), {}, none.delegate());
        runner.waitForAsyncTask();
        QVERIFY(none.received().isEmpty());
        QVERIFY(logText().contains(u"Unable to launch async task - task does not exist or is not executable"_s));
    }
    void destroyingRunnerMidStreamStopsChild()
    {
        const QString endless = script(u"endless"_s, "while :; do echo line; sleep 0.2; done");
        Recorder recorder;
        auto runner = std::make_unique<ZDTaskEx>();
        runner->asyncDataFromTask(endless, {}, recorder.delegate());
        QVERIFY(recorder.firstChunk.tryAcquire(1, 20000));
        const pid_t pid = runner->theTask().pid();
        QVERIFY(pid > 0);
        runner.reset();
        const qsizetype seen = recorder.received().size();
        QVERIFY(!recorder.received().contains(QByteArray())); // cut off, not at its end
        QTRY_VERIFY(!processExists(pid));
        QCOMPARE(recorder.received().size(), seen);
    }
    void largeOutputOnBothPipesDoesNotDeadlock()
    {
        // Standard error first and well beyond a pipe's buffer, while nobody waits on standard output.
        const QString flood = script(u"flood"_s, "head -c 6291456 /dev/zero | tr '\\0' e >&2; "
                                     "head -c 4194304 /dev/zero | tr '\\0' o");
        const QByteArray out = ZDTaskEx::dataFromTask(flood, {}).value_or(QByteArray());
        QCOMPARE(out.size(), qsizetype(4194304));
        QCOMPARE(out.count('o'), qsizetype(4194304));
    }
    // Service manager jobs, written as units for the recording stand-in of systemctl.
    void userAgentIsWrittenEnabledAndRemoved()
    {
        QVERIFY(ZDLaunchd::startLaunchAgent(kLabel, clientSettings(), Domain::User));
        const QString path = m_box->home() + u"/.config/systemd/user/"_s + kUnit;
        QCOMPARE(ZDLaunchd::jobPath(kLabel, Domain::User, Kind::Agent), path);
        QCOMPARE(modeOf(path), mode_t(0644));
        const QString unit = unitText(path);
        QVERIFY2(unit.contains(u"ExecStart=\""_s + m_program + u'"'), qPrintable(unit));
        QVERIFY(unit.contains(u"\nWorkingDirectory="_s + QFileInfo(m_program).path() + u'\n'));
        QVERIFY(unit.contains(u"\nRestart=on-failure\n"_s));
        QVERIFY(unit.contains(u"\n[Install]\nWantedBy=default.target\n"_s));
        QCOMPARE(calls(), (Calls {userCall(u"disable --now @"_s), userCall(u"daemon-reload"_s),
                                  userCall(u"enable --now @"_s)}));
        // Stopping leaves the file; removing takes it and has the manager forget it.
        const Calls stopped {userCall(u"disable --now @"_s), userCall(u"stop @"_s)};
        forgetCalls();
        ZDLaunchd::stopJob(kLabel, Domain::User, Kind::Agent, Rights::AsIs);
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(calls(), stopped);
        forgetCalls();
        QVERIFY(ZDLaunchd::removeLaunchAgent(kLabel, Domain::User));
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(calls(), stopped + Calls {userCall(u"daemon-reload"_s)});
        // A job whose file is missing is still stopped; an empty label does nothing.
        forgetCalls();
        QVERIFY(ZDLaunchd::removeJob(kLabel, Domain::User, Kind::Agent, Rights::AsIs));
        QCOMPARE(calls(), stopped);
        forgetCalls();
        ZDLaunchd::stopJob(QString(), Domain::User, Kind::Agent, Rights::AsIs);
        QVERIFY(calls().isEmpty());
        QVERIFY(m_sheets.isEmpty());
    }
    void computerWideJobsAreRootOwnedAndReplacedCleanly()
    {
        if (!ZDLocalPaths::isRoot())
            QSKIP("making files root-owned needs root");
        QVERIFY(ZDLaunchd::startJob(kLabel, clientSettings(), Domain::Computer, Kind::Agent, Rights::AsIs));
        const QString path = m_box->path(u"etc/systemd/user/"_s) + kUnit;
        QCOMPARE(ZDLaunchd::jobPath(kLabel, Domain::Computer, Kind::Agent), path);
        QVERIFY(rootOwned644(path));
        QCOMPARE(calls(), (Calls {userCall(u"stop @"_s), call(u"--global disable @"_s), call(u"--global enable @"_s),
                                  userCall(u"daemon-reload"_s), userCall(u"start @"_s)}));
        // Starting again over an existing file: the old job goes first, then the new file.
        forgetCalls();
        QVariantMap changed = clientSettings();
        changed[u"KeepAlive"_s] = true;
        QVERIFY(ZDLaunchd::startJob(kLabel, changed, Domain::Computer, Kind::Agent, Rights::AsIs));
        const Calls again = calls();
        QCOMPARE(again.mid(0, 4), (Calls {userCall(u"stop @"_s), call(u"--global disable @"_s),
                                          userCall(u"stop @"_s), userCall(u"daemon-reload"_s)}));
        QCOMPARE(again.last(), userCall(u"start @"_s));
        QVERIFY(unitText(path).contains(u"\nRestart=always\n"_s));
        QVERIFY(rootOwned644(path));
        // A daemon asking for rights kills the named process first. The program's
        // name is one nothing else on the machine has.
        const QString name = u"kzlsleep"_s + ZDLocalPaths::randomString(4);
        const QString sleeper = m_box->path(u"bin/"_s) + name;
        QVERIFY(QFile::copy(QStandardPaths::findExecutable(u"sleep"_s), sleeper));
        QVERIFY(QFile::setPermissions(sleeper, QFile::ReadOwner | QFile::ExeOwner));
        QProcess running;
        running.start(sleeper, {u"300"_s});
        QVERIFY(running.waitForStarted());
        QVariantMap settings = clientSettings();
        settings[u"UserName"_s] = u"nobody"_s;
        forgetCalls();
        QVERIFY(ZDLaunchd::startJob(kLabel, settings, Domain::Computer, Kind::Daemon, Rights::AskIfNeeded, name));
        QVERIFY(running.waitForFinished(30000));
        QCOMPARE(running.exitStatus(), QProcess::CrashExit);
        const QString daemon = m_box->path(u"etc/systemd/system/"_s) + kUnit;
        QVERIFY(rootOwned644(daemon));
        QVERIFY(unitText(daemon).contains(u"\nUser=nobody\n"_s));
        QVERIFY(unitText(daemon).contains(u"\nWantedBy=multi-user.target\n"_s));
        QCOMPARE(calls(), (Calls {call(u"disable --now @"_s), call(u"daemon-reload"_s), call(u"enable --now @"_s)}));
        forgetCalls();
        QVERIFY(ZDLaunchd::removeJob(kLabel, Domain::Computer, Kind::Daemon, Rights::AskIfNeeded));
        QVERIFY(!QFileInfo::exists(daemon));
        QCOMPARE(calls(), (Calls {call(u"disable --now @"_s), call(u"stop @"_s), call(u"daemon-reload"_s)}));
    }
    void unwritableFoldersEndInASheetAndNothingHalfDone()
    {
        // A file where the folder should be: no one, not even root, can write the unit there.
        QVERIFY(QDir().mkpath(m_box->path(u"etc"_s)));
        QVERIFY(ZDTestSandbox::writeFile(m_box->path(u"etc/systemd"_s), "not a folder"));
        const QString tmp = m_box->path(u"tmp"_s);
        QVERIFY(QDir().mkpath(tmp));
        m_box->setEnv("TMPDIR", tmp.toUtf8());
        QVERIFY(!ZDLaunchd::startJob(kLabel, clientSettings(), Domain::Computer, Kind::Daemon, Rights::AsIs));
        QCOMPARE(m_sheets, (QList<QPair<QString, QString>> {
                               {u"Error: Unable to create LaunchAgent"_s,
                                u"Please check you have correct permissions for the directory %1."_s.arg(
                                    m_box->path(u"etc/systemd/system"_s))}}));
        QVERIFY(QDir(tmp).isEmpty());
        // With no place to write even the temporary copy, the other sheet.
        m_sheets.clear();
        m_box->setEnv("TMPDIR", m_box->path(u"etc/systemd/tmp"_s).toUtf8());
        QVERIFY(!ZDLaunchd::startJob(kLabel, clientSettings(), Domain::Computer, Kind::Daemon, Rights::AskIfNeeded));
        QCOMPARE(m_sheets.size(), 1);
        QCOMPARE(m_sheets[0].first, u"Error: Unable to write LaunchAgent data"_s);
        QVERIFY(calls().isEmpty());
        ZDLog::finishWriting();
        const QByteArray log = ZDTestSandbox::readFile(ZDLog::availableLogs().value(0));
        QVERIFY(log.contains("Unable to write launchd plist - trying to authorize..."));
        QVERIFY(log.contains("Error: Unable to create LaunchAgent. Please check you have correct permissions"));
    }
    void untrustedSettingsAreRefusedOrEscaped()
    {
        // Labels that would leave the folder or break a unit name write nothing.
        for (const QString &label : {u"../evil"_s, u"a/b"_s, QString(), u"x y"_s,
                                     QString(ZDLaunchd::kMaxLabelLength + 1, u'l')}) {
            QVERIFY2(!ZDLaunchd::startJob(label, clientSettings(), Domain::User, Kind::Agent, Rights::AsIs),
                     qPrintable(label));
            QVERIFY(ZDLaunchd::jobPath(label, Domain::User, Kind::Agent).isEmpty());
        }
        QVERIFY(!ZDLaunchd::removeJob(u"../evil"_s, Domain::User, Kind::Agent, Rights::AsIs));
        QVERIFY(calls().isEmpty());
        // A link planted where the unit goes is replaced, never written through.
        const QString victim = m_box->path(u"victim"_s);
        QVERIFY(ZDTestSandbox::writeFile(victim, "keep me"));
        QVERIFY(QFile::setPermissions(victim, QFile::ReadOwner | QFile::WriteOwner));
        const QString path = ZDLaunchd::jobPath(kLabel, Domain::User, Kind::Agent);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(QFile::link(victim, path));
        QVERIFY(ZDLaunchd::startLaunchAgent(kLabel, clientSettings(), Domain::User));
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(ZDTestSandbox::readFile(victim), QByteArray("keep me"));
        QCOMPARE(modeOf(victim), mode_t(0600));
        QVERIFY(ZDLaunchd::removeJob(kLabel, Domain::User, Kind::Agent, Rights::AsIs));
        QVERIFY(QFileInfo::exists(victim));
        forgetCalls();
        // A line break would smuggle in lines of its own; relative programs are not run.
        const QString program = u"/opt/bin/tool"_s;
        const QVariantMap refused[] = {
            {{u"Program"_s, u"/opt/x\nExecStartPre=/bin/rm"_s}},
            {{u"Program"_s, u"tool"_s}},
            {{u"Program"_s, program}, {u"WorkingDirectory"_s, u"/tmp\n[Service]"_s}},
            {{u"ProgramArguments"_s, QVariantList {program, 5}}},
            {{u"ProgramArguments"_s, QVariantList(ZDLaunchd::kMaxArguments + 1, QVariant(program))}},
            {{u"Program"_s, program}, {u"EnvironmentVariables"_s, QVariantMap {{u"A B"_s, u"1"_s}}}},
            {{u"Program"_s, program}, {u"UserName"_s, u"a b"_s}},
        };
        for (const QVariantMap &settings : refused)
            QVERIFY(ZDLaunchd::unitFromSettings(kLabel, settings, Kind::Daemon).isEmpty());
        // Specifiers, variables and quotes reach the program literally.
        const QString unit = ZDLaunchd::unitFromSettings(kLabel,
            {{u"ProgramArguments"_s, QVariantList {program, u"100%"_s, u"$HOME"_s, u"say \"hi\"\\"_s}},
             {u"EnvironmentVariables"_s, QVariantMap {{u"GREETING"_s, u"a \"b\" 5%"_s}}}, {u"RunAtLoad"_s, false},
             {u"KeepAlive"_s, QVariantMap {{u"SuccessfulExit"_s, true}}}, {u"ThrottleInterval"_s, 3},
             {u"Sockets"_s, QVariantMap()}}, Kind::Agent);
        QVERIFY2(unit.contains(u"ExecStart=\"/opt/bin/tool\" \"100%%\" \"$$HOME\" \"say \\\"hi\\\"\\\\\"\n"_s),
                 qPrintable(unit));
        QVERIFY(unit.contains(u"Environment=\"GREETING=a \\\"b\\\" 5%%\"\n"_s));
        QVERIFY(unit.contains(u"Restart=on-success\nRestartSec=3\n"_s));
        // Not started at load: no install section, so the manager only reloads.
        QVERIFY(!unit.contains(u"[Install]"_s));
        QVERIFY(!unit.contains(u"Sockets"_s));
        QVERIFY(!ZDLaunchd::unitFromSettings(kLabel, {{u"Program"_s, program}}, Kind::Agent).contains(u"Restart="_s));
        // Only a daemon runs as a named user.
        QVERIFY(!ZDLaunchd::unitFromSettings(kLabel, {{u"Program"_s, program}, {u"UserName"_s, u"nobody"_s}},
                                             Kind::Agent).contains(u"User="_s));
        QVERIFY(ZDLaunchd::startLaunchAgent(kLabel, {{u"Program"_s, program}}, Domain::User));
        QCOMPARE(calls(), (Calls {userCall(u"disable --now @"_s), userCall(u"daemon-reload"_s)}));
    }
    void writtenUnitsPassSystemdsOwnCheck()
    {
        const QString analyze = QStandardPaths::findExecutable(u"systemd-analyze"_s);
        if (analyze.isEmpty())
            QSKIP("systemd-analyze is not installed");
        QVERIFY(QDir().mkpath(QFileInfo(m_program).path()));
        QVERIFY(QFile::copy(QStandardPaths::findExecutable(u"true"_s), m_program));
        QVERIFY(QFile::setPermissions(m_program,
                                      QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        QVariantMap settings = clientSettings();
        settings[u"ProgramArguments"_s] = QVariantList {m_program, u"50% \"quoted\""_s, u"$HOME\\"_s};
        settings[u"EnvironmentVariables"_s] = QVariantMap {{u"A"_s, u"b \"c\" 5%"_s}};
        QVERIFY(ZDLaunchd::startLaunchAgent(kLabel, settings, Domain::User));
        QProcess verify;
        verify.start(analyze, {u"verify"_s, u"--man=no"_s, ZDLaunchd::jobPath(kLabel, Domain::User, Kind::Agent)});
        QVERIFY(verify.waitForFinished(60000));
        const QString output = QString::fromUtf8(verify.readAllStandardOutput() + verify.readAllStandardError());
        if (output.contains(u"Failed to initialize manager"_s) || output.contains(u"Failed to setup working directory"_s))
            QSKIP(qPrintable(u"systemd-analyze cannot run here: "_s + output));
        QVERIFY2(verify.exitStatus() == QProcess::NormalExit && verify.exitCode() == 0, qPrintable(output));
        QVERIFY2(!output.contains(kUnit), qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestZDFileManager)
#include "tst_zdfilemanager.moc"
