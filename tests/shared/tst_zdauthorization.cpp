// Administrator rights, as root and as an ordinary user who knows an
// administrator's password. The accounts are real: created here with useradd,
// checked by the system's own su, sudo and PAM, and removed at the end; the ordinary user runs a copy
// of this program.
#include "rights/ZDAuthorization.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

using namespace Qt::StringLiterals;

namespace {

const QString kAdmin = u"kestra_adm"_s;     // member of group sudo
const QString kSudoer = u"kestra_sdo"_s;    // own sudoers entry
const QString kUser = u"kestra_usr"_s;      // no rights
const QString kSudoersFile = u"/etc/sudoers.d/kestra_auth_test"_s;
const QString kInvalid = u"Authorization failed. Invalid username or password"_s;

using zdtest::run;

// Shell metacharacters on purpose: the password must never reach a shell.
QString newPassword()
{
    return u"Pw'$(id)\" ;`x`-%1"_s.arg(QRandomGenerator::system()->generate64(), 0, 16);
}

uid_t ownerOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_uid : uid_t(-1);
}

QString readText(const QString &path)
{
    return QString::fromUtf8(ZDTestSandbox::readFile(path));
}

// Every file below a folder whose text contains the needle.
QStringList filesContaining(const QString &folder, const QByteArray &needle)
{
    QStringList hits;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) // not fifos
        if (const QString f = it.next(); ZDTestSandbox::readFile(f).contains(needle))
            hits << f;
    return hits;
}

bool setPassword(const QString &user, const QString &password)
{
    return run(u"/usr/sbin/chpasswd"_s, {}, (user + u':' + password + u'\n').toUtf8()) == 0;
}

// Lets whoever reads the fifo go on, once it is open for reading.
void releaseFifo(const QString &fifo)
{
    int fd = -1;
    static_cast<void>(QTest::qWaitFor([&] {
        fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0;
    }, 60000));
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(fd, "go\n", 3);
        ::close(fd);
    }
}

using Results = QMap<QString, QString>;
using Auth = ZDAuthorization;

struct HelperRun
{
    Results results;
    QString log; // the helper's own log
    int exitCode = -1;
    // The results of the named operations, to compare with what they should be.
    Results pick(const Results &expected) const
    {
        Results got;
        for (const QString &op : expected.keys())
            got.insert(op, results.value(op));
        return got;
    }
};

// The child, a copy of this program run as the ordinary user: a user name and a password come as two
// lines on standard input (never the command line); each operation prints one "name=result" line:
//   validate | start | startgui | authorized | mkdir P | remove P | trash P | copy A B | move A B
//   exec TOOL COUNT ARG... | execasync TOOL COUNT ARG... | waitfile P (up to 30 s, so that an
//   asynchronous run can end before this process does and hangs up its terminal)
int runAuthClient(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ZDLog::createNewLog();
    QStringList args = app.arguments().mid(2);
    const bool gui = !args.isEmpty() && args.first() == u"--gui"_s;
    if (gui)
        args.removeFirst();
    const auto readLine = [] {
        std::string line;
        std::getline(std::cin, line);
        QString text = QString::fromStdString(line);
        std::fill(line.begin(), line.end(), '\0');
        return text;
    };
    const QString username = readLine();
    QString password = readLine();
    const auto print = [](const QString &name, const QVariant &value) {
        std::printf("%s=%s\n", qPrintable(name), qPrintable(value.typeId() == QMetaType::Bool ? QString::number(value.toBool()) : value.toString()));
        std::fflush(stdout);
    };
    ZDAuthorization &auth = Auth::sharedController(gui ? Auth::Dialog::Allowed : Auth::Dialog::Never);
    int failures = 0;
    const auto take = [&args] { return args.isEmpty() ? QString() : args.takeFirst(); };
    while (!args.isEmpty()) {
        const QString op = take();
        QElapsedTimer timer;
        timer.start();
        if (op == u"validate"_s) {
            print(op, Auth::validateAdministrator(username, password));
        } else if (op == u"start"_s) {
            print(op, auth.authStartWithUser(username, password));
            print(u"start_ms"_s, timer.elapsed());
        } else if (op == u"startgui"_s) {
            print(op, auth.authStart());
        } else if (op == u"authorized"_s) {
            print(op, auth.isAuthorized());
        } else if (op == u"mkdir"_s) {
            print(op, auth.authCreateDir(take()));
        } else if (op == u"remove"_s) {
            print(op, auth.authRemoveFile(take()));
        } else if (op == u"trash"_s) {
            print(op, auth.authTrashFile(take()));
        } else if (op == u"copy"_s || op == u"move"_s) {
            const QString from = take();
            print(op, op == u"copy"_s ? auth.authCopyFile(from, take()) : auth.authMoveFile(from, take()));
        } else if (op == u"exec"_s || op == u"execasync"_s) {
            const QString tool = take();
            QStringList parameters;
            for (int i = take().toInt(); i > 0; --i)
                parameters << take();
            print(op, int(auth.authExecTask(tool, parameters, op == u"exec"_s ? Auth::Launch::Waited : Auth::Launch::Detached)));
        } else if (op == u"waitfile"_s) {
            const QString path = take();
            while (!QFileInfo::exists(path) && timer.elapsed() < 30000)
                QThread::msleep(20);
            print(op, QFileInfo::exists(path));
        } else {
            print(u"unknown"_s, op);
            ++failures;
        }
    }
    password.fill(QChar(0));
    ZDLog::finishWriting();
    return failures;
}


} // namespace

class TestZDAuthorization : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    QString m_adminPassword = newPassword();
    QString m_sudoerPassword = newPassword();
    QString m_userPassword = newPassword();
    QString m_noAccountsReason;
    QString m_helper;
    static void removeAccounts()
    {
        for (const QString &user : {kAdmin, kSudoer, kUser})
            if (run(u"/usr/bin/id"_s, {user}) == 0)
                run(u"/usr/sbin/userdel"_s, {u"-r"_s, u"-f"_s, user});
        QFile::remove(kSudoersFile);
    }
    bool createAccount(const QString &user, const QString &password, const QStringList &extra)
    {
        QStringList args {u"-m"_s, u"-s"_s, u"/bin/bash"_s};
        args += extra;
        args << user;
        return run(u"/usr/sbin/useradd"_s, args) == 0 && setPassword(user, password);
    }
    static QString ownLog()
    {
        ZDLog::finishWriting();
        return readText(ZDLog::availableLogs().value(0));
    }
    QString userHome(const QString &user) const { return u"/home/"_s + user; }
    // Runs the helper as the ordinary test user; credentials travel on its standard input.
    HelperRun runAsUser(const QStringList &operations, const QString &username, const QString &password,
                        const std::function<void(QProcess &)> &meanwhile = {})
    {
        HelperRun r;
        // Each run reads a log of its own.
        QDir(userHome(kUser) + u"/.local/state/log"_s).removeRecursively();
        QProcess p;
        QProcessEnvironment env;
        env.insert(u"PATH"_s, u"/usr/sbin:/usr/bin:/sbin:/bin"_s);
        env.insert(u"KESTRA_SYSTEM_ROOT"_s, m_sandbox->root());
        env.insert(u"LC_ALL"_s, u"C"_s);
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(u"/usr/sbin/runuser"_s, QStringList {u"-u"_s, kUser, u"--"_s, m_helper, u"--auth-client"_s} + operations);
        if (!p.waitForStarted())
            return r;
        p.write((username + QLatin1Char('\n') + password + QLatin1Char('\n')).toUtf8());
        p.closeWriteChannel();
        if (meanwhile)
            meanwhile(p);
        p.waitForFinished(240000);
        r.exitCode = p.exitCode();
        for (const QByteArray &line : p.readAllStandardOutput().split('\n'))
            if (const qsizetype eq = line.indexOf('='); eq > 0)
                r.results.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
        r.log = readText(userHome(kUser) + u"/.local/state/log/Zendrel/zdauth_client.1.log"_s);
        return r;
    }
    QString sandboxFile(const QString &relative, const QByteArray &contents = "x")
    {
        const QString path = m_sandbox->path(relative);
        ZDTestSandbox::writeFile(path, contents);
        return path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ZDLocalPaths::isRoot())
            QSKIP("these tests create accounts and must run as root");
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog();
        // The ordinary user must reach the sandbox's folders and the helper.
        QVERIFY(::chmod(QFile::encodeName(m_sandbox->root()).constData(), 0755) == 0);
        m_helper = m_sandbox->path(u"bin/zdauth_client"_s);
        QDir().mkpath(m_sandbox->path(u"bin"_s));
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), m_helper));
        QFile::setPermissions(m_helper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                            | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
        for (const char *folder : {"opt", "var/lib", "usr/share/doc"})
            QDir().mkpath(m_sandbox->path(QString::fromLatin1(folder)));
        // Root's alone, and one the ordinary user may look into but not change.
        for (const auto &[folder, mode] : {std::pair {"rootonly", 0700}, std::pair {"readonly", 0755}}) {
            QVERIFY(QDir().mkpath(m_sandbox->path(QString::fromLatin1(folder))));
            QVERIFY(::chmod(QFile::encodeName(m_sandbox->path(QString::fromLatin1(folder))).constData(), mode_t(mode)) == 0);
        }
        removeAccounts();
        if (!QFile::exists(u"/usr/bin/sudo"_s) || !QFile::exists(u"/usr/bin/su"_s)
            || run(u"/usr/bin/getent"_s, {u"group"_s, u"sudo"_s}) != 0) {
            m_noAccountsReason = u"su, sudo or the group sudo is missing (scripts/bootstrap.sh installs sudo)"_s;
            return;
        }
        QVERIFY(createAccount(kAdmin, m_adminPassword, {u"-G"_s, u"sudo"_s}));
        QVERIFY(createAccount(kSudoer, m_sudoerPassword, {}));
        QVERIFY(createAccount(kUser, m_userPassword, {}));
        QVERIFY(ZDTestSandbox::writeFile(kSudoersFile, (kSudoer + u" ALL=(ALL:ALL) ALL\n"_s).toUtf8()));
        QVERIFY(::chmod(QFile::encodeName(kSudoersFile).constData(), 0440) == 0);
        QCOMPARE(run(u"/usr/sbin/visudo"_s, {u"-c"_s, u"-q"_s, u"-f"_s, kSudoersFile}), 0);
    }
    void cleanupTestCase()
    {
        removeAccounts();
    }
    void rootRunsToolsItself()
    {
        ZDAuthorization &auth = Auth::sharedController(Auth::Dialog::Never);
        QVERIFY(auth.isAuthorized());
        QVERIFY(auth.canAuthorize());
        QVERIFY(auth.authStart());
        QVERIFY(auth.authStartWithUser(QString(), QString()));
        QVERIFY(auth.userDirectory().isEmpty());
        const QString folder = m_sandbox->path(u"work/a/b"_s);
        QVERIFY(auth.authCreateDir(folder));
        QVERIFY(QFileInfo(folder).isDir());
        const QString file = sandboxFile(u"work/file.txt"_s, "contents");
        QVERIFY(auth.authCopyFile(file, folder + u"/copy.txt"_s));
        QCOMPARE(ZDTestSandbox::readFile(folder + u"/copy.txt"_s), QByteArray("contents"));
        QVERIFY(auth.authMoveFile(file, folder + u"/moved.txt"_s));
        QVERIFY(!QFile::exists(file));
        QVERIFY(QFile::exists(folder + u"/moved.txt"_s));
        QVERIFY(auth.authRemoveFile(m_sandbox->path(u"work/a"_s)));
        QVERIFY(!QFile::exists(m_sandbox->path(u"work/a"_s)));
        // A missing source, or no path at all, starts nothing and says which path was missing.
        using Op = bool (Auth::*)(const QString &, const QString &);
        for (const auto &[op, name] : {std::pair<Op, const char *> {&Auth::authMoveFile, "authMoveFile"},
                                       std::pair<Op, const char *> {&Auth::authCopyFile, "authCopyFile"}}) {
            QVERIFY(!(auth.*op)(file, folder));
            QVERIFY(!(auth.*op)(QString(), folder));
            QVERIFY(!(auth.*op)(file, QString()));
            for (const char *which : {"old", "new"})
                QVERIFY(ownLog().contains(u"Error in %1: %2 path is null"_s.arg(name, which)));
        }
        const QString touched = m_sandbox->path(u"work/touched"_s);
        QCOMPARE(auth.authExecTask(u"/bin/touch"_s, {touched}, Auth::Launch::Waited), Auth::ExecResult::Started);
        QVERIFY(QFile::exists(touched));
        const QString later = m_sandbox->path(u"work/later"_s);
        QCOMPARE(auth.authExecTask(u"/bin/touch"_s, {later}), Auth::ExecResult::Started);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(later), 30000);
        const QString noTool = m_sandbox->path(u"no/such/tool"_s);
        QCOMPARE(auth.authExecTask(noTool, {}), Auth::ExecResult::ToolMissing);
        QVERIFY(ownLog().contains(u"Unable to execute task: path %1 doesn't exist"_s.arg(noTool)));
    }
    void protectedFoldersAreRefused()
    {
        ZDAuthorization &auth = Auth::sharedController(Auth::Dialog::Never);
        const QString apps = ZDLocalPaths::applicationDirectory(false);
        QCOMPARE(apps, m_sandbox->path(u"opt"_s));
        const QString inside = sandboxFile(u"opt/Tool.app"_s);
        const QString target = m_sandbox->path(u"elsewhere"_s);
        QVERIFY(!auth.authRemoveFile(apps));
        QVERIFY(!auth.authRemoveFile(apps + QLatin1Char('/')));
        QVERIFY(!auth.authTrashFile(apps));
        QVERIFY(!auth.authTrashFolderContents(apps, Auth::RootTrash::Delete));
        QVERIFY(!auth.authMoveFile(apps, target));
        QVERIFY(!auth.authMoveFolderContents(apps, target));
        QVERIFY(!auth.authRemoveFile(ZDLocalPaths::libraryDirectory(false)));
        QVERIFY(QFile::exists(inside));
        QVERIFY(!QFile::exists(target));
        const QString log = ownLog();
        for (const char *text : {"Unable to delete path %1 because it is a system directory.",
                                 "Unable to trash path %1 because it is a system directory.",
                                 "Unable to trash folder contents of path %1 because it is a system directory.",
                                 "Unable to move path %1 because it is a system directory.",
                                 "Unable to move contents of path %1 because it is a system directory."})
            QVERIFY2(log.contains(QString::fromLatin1(text).arg(apps)), text);
        // Only the folder itself is protected, not what it holds.
        QVERIFY(auth.authRemoveFile(inside));
        QVERIFY(!QFile::exists(inside));
    }
    void trashing()
    {
        ZDAuthorization &auth = Auth::sharedController(Auth::Dialog::Never);
        const QString trash = ZDLocalPaths::trashDirectory();
        // Into the Trash with its restore record; a name already there gets the
        // date, before the extension or, without one, at the end.
        for (const auto &[name, pattern] : {std::pair {"Report.txt", "^Report_\\d{14}\\.txt$"},
                                            std::pair {"notes", "^notes_\\d{14}\\.$"}}) {
            const QString path = m_sandbox->path(u"docs/"_s + QLatin1String(name));
            ZDTestSandbox::writeFile(path, "first");
            QVERIFY(auth.authTrashFile(path));
            QCOMPARE(ZDTestSandbox::readFile(trash + u"/files/"_s + QLatin1String(name)), "first");
            QVERIFY(readText(trash + u"/info/"_s + QLatin1String(name) + u".trashinfo"_s)
                        .startsWith(u"[Trash Info]\nPath="_s + path + QLatin1Char('\n')));
            ZDTestSandbox::writeFile(path, "second");
            QVERIFY(auth.authTrashFile(path));
            const QStringList dated = QDir(trash + u"/files"_s)
                                          .entryList({QString::fromLatin1(name).section(u'.', 0, 0) + u"_*"_s});
            QCOMPARE(dated.size(), 1);
            QVERIFY2(QRegularExpression(QLatin1String(pattern)).match(dated.first()).hasMatch(),
                     qPrintable(dated.first()));
            QVERIFY(QFile::exists(trash + u"/info/"_s + dated.first() + u".trashinfo"_s));
        }
        // Root without a user's folder removes instead of trashing.
        const qsizetype trashed = QDir(trash + u"/files"_s).count();
        const QString doomed = sandboxFile(u"docs/doomed.txt"_s);
        QVERIFY(auth.authTrashFile(doomed, Auth::RootTrash::Delete));
        QVERIFY(!QFile::exists(doomed));
        QCOMPARE(QDir(trash + u"/files"_s).count(), trashed);
        const QString full = m_sandbox->path(u"full"_s);
        sandboxFile(u"full/one"_s);
        sandboxFile(u"full/.two"_s);
        sandboxFile(u"full/sub/three"_s);
        QVERIFY(auth.authTrashFolderContents(full, Auth::RootTrash::Delete));
        QVERIFY(QDir(full).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
        QCOMPARE(QDir(trash + u"/files"_s).count(), trashed);
        QVERIFY(auth.authTrashFolderContents(full)); // empty
        sandboxFile(u"full/kept"_s);
        QVERIFY(auth.authTrashFolderContents(full));
        QVERIFY(QFile::exists(trash + u"/files/kept"_s));
        const QString destination = m_sandbox->path(u"moved"_s);
        QDir().mkpath(destination);
        sandboxFile(u"tomove/a"_s);
        sandboxFile(u"tomove/.b"_s);
        QVERIFY(auth.authMoveFolderContents(m_sandbox->path(u"tomove"_s), destination));
        QVERIFY(QFile::exists(destination + u"/a"_s));
        QVERIFY(QFile::exists(destination + u"/.b"_s));
        QVERIFY(!QFile::exists(m_sandbox->path(u"tomove/a"_s)));
    }
    void rootChecksPasswordsItself()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        QVERIFY(ZDAuthorization::validateAdministrator(kAdmin, m_adminPassword));
        QVERIFY(ZDAuthorization::validateAdministrator(kSudoer, m_sudoerPassword));
        // A wrong password, the right one of an account without rights, no such account, and nothing given.
        for (const auto &[user, password] : {std::pair {kAdmin, m_adminPassword + u'x'}, {kUser, m_userPassword},
                                             {u"kestra_nobody"_s, m_adminPassword}, {kAdmin, QString()},
                                             {QString(), m_adminPassword}})
            QVERIFY2(!ZDAuthorization::validateAdministrator(user, password), qPrintable(user));
    }
    void userGetsRightsFromAnAdministratorsPassword()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        const QString locked = m_sandbox->path(u"rootonly"_s);
        const QString source = sandboxFile(u"rootonly/source.txt"_s, "secret data");
        const QString trashed = sandboxFile(u"rootonly/Trashed.txt"_s);
        const QString later = m_sandbox->path(u"readonly/later"_s);
        const HelperRun r = runAsUser({u"validate"_s, u"start"_s, u"authorized"_s, u"mkdir"_s, locked + u"/made/deep"_s,
             u"copy"_s, source, locked + u"/copy.txt"_s, u"move"_s, locked + u"/copy.txt"_s, locked + u"/moved.txt"_s,
             u"remove"_s, source, u"trash"_s, trashed, u"exec"_s, u"/bin/touch"_s, u"1"_s, locked + u"/touched"_s,
             u"execasync"_s, u"/bin/touch"_s, u"1"_s, later, u"waitfile"_s, later,
             u"remove"_s, m_sandbox->path(u"opt"_s), u"exec"_s, m_sandbox->path(u"no/tool"_s), u"0"_s},
            kAdmin, m_adminPassword);
        QCOMPARE(r.exitCode, 0);
        // The last remove is of a protected folder, the last exec of a missing tool.
        const Results expected {{"validate", "1"}, {"start", "1"}, {"authorized", "1"}, {"mkdir", "1"},
                                {"copy", "1"}, {"move", "1"}, {"remove", "0"}, {"trash", "1"},
                                {"exec", "-2"}, {"execasync", "0"}, {"waitfile", "1"}};
        QCOMPARE(r.pick(expected), expected);
        QCOMPARE(ownerOf(locked + u"/made/deep"_s), uid_t(0));
        QCOMPARE(ZDTestSandbox::readFile(locked + u"/moved.txt"_s), QByteArray("secret data"));
        QVERIFY(!QFile::exists(source));
        QVERIFY(QFileInfo(m_sandbox->path(u"opt"_s)).isDir());
        QVERIFY(r.log.contains(u"Unable to delete path %1 because it is a system directory."_s
                                   .arg(m_sandbox->path(u"opt"_s))));
        QCOMPARE(ownerOf(locked + u"/touched"_s), uid_t(0));
        QCOMPARE(ownerOf(later), uid_t(0));
        // Into the user's own Trash, with its restore record.
        const QString userTrash = userHome(kUser) + u"/.local/share/Trash"_s;
        QVERIFY(!QFile::exists(trashed));
        QVERIFY(QFile::exists(userTrash + u"/files/Trashed.txt"_s));
        QVERIFY(readText(userTrash + u"/info/Trashed.txt.trashinfo"_s).contains(trashed));
    }
    void waitingRunEndsWithItsTool()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        // Not with whatever the tool left behind.
        const QString fifo = m_sandbox->path(u"linger"_s);
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        bool endedFirst = false;
        const HelperRun lingering = runAsUser(
            {u"start"_s, u"exec"_s, u"/bin/sh"_s, u"4"_s, u"-c"_s, u"(read line < \"$1\") & exit 0"_s, u"sh"_s, fifo},
            kAdmin, m_adminPassword, [&](QProcess &p) {
                endedFirst = p.waitForFinished(120000);
                releaseFifo(fifo);
            });
        QVERIFY(endedFirst);
        QCOMPARE(lingering.results.value(u"exec"_s), u"0"_s);
    }
    void userIsRefusedWithoutValidCredentials()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        // A wrong password, the right one of an account without rights, a name su would take for an option, no
        // credentials, and a dialog no one answers (no polkit agent answers here, whether or not pkexec is installed).
        for (const auto &[username, password, dialog] :
             {std::tuple {kAdmin, u"wrong"_s, false}, {kUser, m_userPassword, false}, {u"-c"_s, u"x"_s, false},
              {QString(), QString(), false}, {QString(), QString(), true}}) {
            const QString target = m_sandbox->path(u"rootonly/refused"_s);
            const QString start = dialog ? u"startgui"_s : u"start"_s;
            const HelperRun r = runAsUser((dialog ? QStringList {u"--gui"_s} : QStringList())
                                              + QStringList {u"validate"_s, start, u"authorized"_s, u"mkdir"_s, target,
                                                             u"exec"_s, u"/bin/touch"_s, u"1"_s, target},
                                          username, password);
            const Results expected {{"validate", "0"}, {start, "0"}, {"authorized", "0"}, {"mkdir", "0"}, {"exec", "-1"}};
            QCOMPARE(r.pick(expected), expected);
            QVERIFY(!QFile::exists(target));
            QCOMPARE(r.log.contains(kInvalid), !username.isEmpty());
            QVERIFY(r.log.contains(u"Unable to authorize"_s));
        }
    }
    void aRefusedRunDropsTheRights()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        const QString go = m_sandbox->path(u"readonly/password-changed"_s);
        const QString target = m_sandbox->path(u"rootonly/after-change"_s);
        const QString changed = newPassword();
        const HelperRun r = runAsUser({u"start"_s, u"waitfile"_s, go, u"mkdir"_s, target, u"authorized"_s},
            kAdmin, m_adminPassword, [&](QProcess &p) {
                while (!p.peek(p.bytesAvailable()).contains("start_ms") && p.waitForReadyRead(60000)) {
                }
                setPassword(kAdmin, changed);
                ZDTestSandbox::writeFile(go, "");
            });
        QVERIFY(setPassword(kAdmin, m_adminPassword));
        const Results expected {{"start", "1"}, {"mkdir", "0"}, {"authorized", "0"}};
        QCOMPARE(r.pick(expected), expected);
        QVERIFY(!QFile::exists(target));
    }
    void passwordLeavesNoTrace()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        const QString fifo = m_sandbox->path(u"release"_s);
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const QByteArray needle = m_adminPassword.toUtf8();
        const QString probe = u"kestra-trace-probe"_s;
        QStringList leaks;
        bool sawProbe = false;
        auto scan = [&] {
            for (const QString &pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
                if (!pid.front().isDigit())
                    continue;
                const QByteArray cmdline = ZDTestSandbox::readFile(u"/proc/%1/cmdline"_s.arg(pid));
                const QByteArray environ = ZDTestSandbox::readFile(u"/proc/%1/environ"_s.arg(pid));
                if (cmdline.contains(probe.toUtf8()))
                    sawProbe = true;
                if (cmdline.contains(needle) || environ.contains(needle))
                    leaks << QString::fromUtf8(cmdline).replace(QLatin1Char('\0'), QLatin1Char(' '));
            }
        };
        // The privileged shell waits on the fifo, so su and sudo are alive while we look.
        const HelperRun r = runAsUser(
            {u"start"_s, u"exec"_s, u"/bin/sh"_s, u"4"_s, u"-c"_s, u"read line < \"$1\""_s, probe, fifo},
            kAdmin, m_adminPassword, [&](QProcess &) {
                static_cast<void>(QTest::qWaitFor([&] { return scan(), sawProbe; }, 60000));
                releaseFifo(fifo);
            });
        QVERIFY(sawProbe);
        QCOMPARE(r.results.value(u"exec"_s), u"0"_s);
        QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(QLatin1Char('\n'))));
        // Nor in any file this test's runs wrote: logs, Trash records, the sandbox.
        QVERIFY(!r.log.isEmpty());
        const QStringList inFiles = filesContaining(userHome(kUser), needle) + filesContaining(m_sandbox->root(), needle);
        QVERIFY2(inFiles.isEmpty(), qPrintable(inFiles.join(QLatin1Char('\n'))));
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--auth-client") == 0)
        return runAuthClient(argc, argv);
    QCoreApplication app(argc, argv);
    TestZDAuthorization test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_zdauthorization.moc"
