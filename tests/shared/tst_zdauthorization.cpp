// Administrator rights, as root and as an ordinary user who knows an
// administrator's password. The accounts are real: created here with useradd,
// checked by the system's own su, sudo and PAM, and removed at the end.
#include "ZDAuthorization.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include "ZDTestProcess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

namespace {

const QString kAdmin = QStringLiteral("kestra_adm");     // member of group sudo
const QString kSudoer = QStringLiteral("kestra_sdo");    // own sudoers entry
const QString kUser = QStringLiteral("kestra_usr");      // no rights
const QString kSudoersFile = QStringLiteral("/etc/sudoers.d/kestra_auth_test");
const QString kInvalid = QStringLiteral("Authorization failed. Invalid username or password");

using zdtest::run;

// Shell metacharacters on purpose: the password must never reach a shell.
QString newPassword()
{
    return QStringLiteral("Pw'$(id)\" ;`x`-%1").arg(QRandomGenerator::system()->generate64(), 0, 16);
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
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); // not fifos
    while (it.hasNext()) {
        const QString f = it.next();
        if (ZDTestSandbox::readFile(f).contains(needle))
            hits << f;
    }
    return hits;
}

struct HelperRun
{
    QMap<QString, QString> results;
    QString log; // the helper's own log
    int exitCode = -1;

    // The results of the named operations, to compare with what they should be.
    QMap<QString, QString> pick(const QMap<QString, QString> &expected) const
    {
        QMap<QString, QString> got;
        for (const QString &op : expected.keys())
            got.insert(op, results.value(op));
        return got;
    }
};

using Results = QMap<QString, QString>;
using Auth = ZDAuthorization;

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
            if (run(QStringLiteral("/usr/bin/id"), {user}) == 0)
                run(QStringLiteral("/usr/sbin/userdel"), {QStringLiteral("-r"), QStringLiteral("-f"), user});
        QFile::remove(kSudoersFile);
    }

    bool createAccount(const QString &user, const QString &password, const QStringList &extra)
    {
        QStringList args {QStringLiteral("-m"), QStringLiteral("-s"), QStringLiteral("/bin/bash")};
        args += extra;
        args << user;
        return run(QStringLiteral("/usr/sbin/useradd"), args) == 0
            && run(QStringLiteral("/usr/sbin/chpasswd"), {}, (user + QLatin1Char(':') + password + QLatin1Char('\n')).toUtf8()) == 0;
    }

    QString ownLog()
    {
        ZDLog::finishWriting();
        const QStringList logs = ZDLog::availableLogs();
        return logs.isEmpty() ? QString() : readText(logs.first());
    }

    QString userHome(const QString &user) const { return QStringLiteral("/home/") + user; }

    // Runs the helper as the ordinary test user; credentials travel on its standard input.
    HelperRun runAsUser(const QStringList &operations, const QString &username, const QString &password,
                        const std::function<void(QProcess &)> &meanwhile = {})
    {
        HelperRun r;
        // Each run reads a log of its own.
        QDir(userHome(kUser) + QStringLiteral("/.local/state/log")).removeRecursively();
        QProcess p;
        QProcessEnvironment env;
        env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
        env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), m_sandbox->root());
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList args {QStringLiteral("-u"), kUser, QStringLiteral("--"), m_helper};
        args += operations;
        p.start(QStringLiteral("/usr/sbin/runuser"), args);
        if (!p.waitForStarted())
            return r;
        p.write((username + QLatin1Char('\n') + password + QLatin1Char('\n')).toUtf8());
        p.closeWriteChannel();
        if (meanwhile)
            meanwhile(p);
        p.waitForFinished(240000);
        r.exitCode = p.exitCode();
        for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0)
                r.results.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
        }
        r.log = readText(userHome(kUser) + QStringLiteral("/.local/state/log/Zendrel/zdauth_client.1.log"));
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
        const QString built = qEnvironmentVariable("KESTRA_TEST_HELPERS") + QStringLiteral("/zdauth_client");
        m_helper = m_sandbox->path(QStringLiteral("bin/zdauth_client"));
        QDir().mkpath(m_sandbox->path(QStringLiteral("bin")));
        QVERIFY2(QFile::copy(built, m_helper), qPrintable(built));
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
        if (!QFile::exists(QStringLiteral("/usr/bin/sudo")) || !QFile::exists(QStringLiteral("/usr/bin/su"))
            || run(QStringLiteral("/usr/bin/getent"), {QStringLiteral("group"), QStringLiteral("sudo")}) != 0) {
            m_noAccountsReason = QStringLiteral("su, sudo or the group sudo is missing (scripts/bootstrap.sh installs sudo)");
            return;
        }
        QVERIFY(createAccount(kAdmin, m_adminPassword, {QStringLiteral("-G"), QStringLiteral("sudo")}));
        QVERIFY(createAccount(kSudoer, m_sudoerPassword, {}));
        QVERIFY(createAccount(kUser, m_userPassword, {}));
        QVERIFY(ZDTestSandbox::writeFile(kSudoersFile, (kSudoer + QStringLiteral(" ALL=(ALL:ALL) ALL\n")).toUtf8()));
        QVERIFY(::chmod(QFile::encodeName(kSudoersFile).constData(), 0440) == 0);
        QCOMPARE(run(QStringLiteral("/usr/sbin/visudo"), {QStringLiteral("-c"), QStringLiteral("-q"), QStringLiteral("-f"), kSudoersFile}), 0);
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

        const QString folder = m_sandbox->path(QStringLiteral("work/a/b"));
        QVERIFY(auth.authCreateDir(folder));
        QVERIFY(QFileInfo(folder).isDir());
        const QString file = sandboxFile(QStringLiteral("work/file.txt"), "contents");
        QVERIFY(auth.authCopyFile(file, folder + QStringLiteral("/copy.txt")));
        QCOMPARE(ZDTestSandbox::readFile(folder + QStringLiteral("/copy.txt")), QByteArray("contents"));
        QVERIFY(auth.authMoveFile(file, folder + QStringLiteral("/moved.txt")));
        QVERIFY(!QFile::exists(file));
        QVERIFY(QFile::exists(folder + QStringLiteral("/moved.txt")));
        QVERIFY(auth.authRemoveFile(m_sandbox->path(QStringLiteral("work/a"))));
        QVERIFY(!QFile::exists(m_sandbox->path(QStringLiteral("work/a"))));

        // A missing source, or no path at all, starts nothing and says which path was missing.
        using Op = bool (Auth::*)(const QString &, const QString &);
        for (const auto &[op, name] : {std::pair<Op, const char *> {&Auth::authMoveFile, "authMoveFile"},
                                       std::pair<Op, const char *> {&Auth::authCopyFile, "authCopyFile"}}) {
            QVERIFY(!(auth.*op)(file, folder));
            QVERIFY(!(auth.*op)(QString(), folder));
            QVERIFY(!(auth.*op)(file, QString()));
            for (const char *which : {"old", "new"})
                QVERIFY(ownLog().contains(QStringLiteral("Error in %1: %2 path is null").arg(name, which)));
        }

        const QString touched = m_sandbox->path(QStringLiteral("work/touched"));
        QCOMPARE(auth.authExecTask(QStringLiteral("/bin/touch"), {touched}, Auth::Launch::Waited),
                 Auth::ExecResult::Started);
        QVERIFY(QFile::exists(touched));
        const QString later = m_sandbox->path(QStringLiteral("work/later"));
        QCOMPARE(auth.authExecTask(QStringLiteral("/bin/touch"), {later}), Auth::ExecResult::Started);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(later), 30000);
        const QString noTool = m_sandbox->path(QStringLiteral("no/such/tool"));
        QCOMPARE(auth.authExecTask(noTool, {}), Auth::ExecResult::ToolMissing);
        QVERIFY(ownLog().contains(QStringLiteral("Unable to execute task: path %1 doesn't exist").arg(noTool)));
    }

    void protectedFoldersAreRefused()
    {
        ZDAuthorization &auth = Auth::sharedController(Auth::Dialog::Never);
        const QString apps = ZDLocalPaths::applicationDirectory(false);
        QCOMPARE(apps, m_sandbox->path(QStringLiteral("opt")));
        const QString inside = sandboxFile(QStringLiteral("opt/Tool.app"));
        const QString target = m_sandbox->path(QStringLiteral("elsewhere"));

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
            const QString path = m_sandbox->path(QStringLiteral("docs/") + QLatin1String(name));
            ZDTestSandbox::writeFile(path, "first");
            QVERIFY(auth.authTrashFile(path));
            QCOMPARE(ZDTestSandbox::readFile(trash + QStringLiteral("/files/") + QLatin1String(name)), "first");
            QVERIFY(readText(trash + QStringLiteral("/info/") + QLatin1String(name) + QStringLiteral(".trashinfo"))
                        .startsWith(QStringLiteral("[Trash Info]\nPath=") + path + QLatin1Char('\n')));
            ZDTestSandbox::writeFile(path, "second");
            QVERIFY(auth.authTrashFile(path));
            const QStringList dated = QDir(trash + QStringLiteral("/files"))
                                          .entryList({QString::fromLatin1(name).section(u'.', 0, 0) + QStringLiteral("_*")});
            QCOMPARE(dated.size(), 1);
            QVERIFY2(QRegularExpression(QLatin1String(pattern)).match(dated.first()).hasMatch(),
                     qPrintable(dated.first()));
            QVERIFY(QFile::exists(trash + QStringLiteral("/info/") + dated.first() + QStringLiteral(".trashinfo")));
        }

        // Root without a user's folder removes instead of trashing.
        const qsizetype trashed = QDir(trash + QStringLiteral("/files")).count();
        const QString doomed = sandboxFile(QStringLiteral("docs/doomed.txt"));
        QVERIFY(auth.authTrashFile(doomed, Auth::RootTrash::Delete));
        QVERIFY(!QFile::exists(doomed));
        QCOMPARE(QDir(trash + QStringLiteral("/files")).count(), trashed);

        const QString full = m_sandbox->path(QStringLiteral("full"));
        sandboxFile(QStringLiteral("full/one"));
        sandboxFile(QStringLiteral("full/.two"));
        sandboxFile(QStringLiteral("full/sub/three"));
        QVERIFY(auth.authTrashFolderContents(full, Auth::RootTrash::Delete));
        QVERIFY(QDir(full).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
        QCOMPARE(QDir(trash + QStringLiteral("/files")).count(), trashed);
        QVERIFY(auth.authTrashFolderContents(full)); // empty
        sandboxFile(QStringLiteral("full/kept"));
        QVERIFY(auth.authTrashFolderContents(full));
        QVERIFY(QFile::exists(trash + QStringLiteral("/files/kept")));

        const QString destination = m_sandbox->path(QStringLiteral("moved"));
        QDir().mkpath(destination);
        sandboxFile(QStringLiteral("tomove/a"));
        sandboxFile(QStringLiteral("tomove/.b"));
        QVERIFY(auth.authMoveFolderContents(m_sandbox->path(QStringLiteral("tomove")), destination));
        QVERIFY(QFile::exists(destination + QStringLiteral("/a")));
        QVERIFY(QFile::exists(destination + QStringLiteral("/.b")));
        QVERIFY(!QFile::exists(m_sandbox->path(QStringLiteral("tomove/a"))));
    }

    void rootChecksPasswordsItself()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(ZDAuthorization::validateAdministrator(kAdmin, m_adminPassword));
        qInfo("credential check as root (PAM), valid: %lld ms", timer.restart());
        QVERIFY(!ZDAuthorization::validateAdministrator(kAdmin, m_adminPassword + QLatin1Char('x')));
        qInfo("credential check as root (PAM), wrong password: %lld ms", timer.elapsed());

        QVERIFY(ZDAuthorization::validateAdministrator(kSudoer, m_sudoerPassword));
        QVERIFY(!ZDAuthorization::validateAdministrator(kUser, m_userPassword)); // right password, no rights
        QVERIFY(!ZDAuthorization::validateAdministrator(QStringLiteral("kestra_nobody"), m_adminPassword));
        QVERIFY(!ZDAuthorization::validateAdministrator(kAdmin, QString()));
        QVERIFY(!ZDAuthorization::validateAdministrator(QString(), m_adminPassword));
    }

    void userGetsRightsFromAnAdministratorsPassword()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        const QString locked = m_sandbox->path(QStringLiteral("rootonly"));
        const QString source = sandboxFile(QStringLiteral("rootonly/source.txt"), "secret data");
        const QString trashed = sandboxFile(QStringLiteral("rootonly/Trashed.txt"));
        const QString later = m_sandbox->path(QStringLiteral("readonly/later"));

        const HelperRun r = runAsUser(
            {QStringLiteral("validate"), QStringLiteral("start"), QStringLiteral("authorized"),
             QStringLiteral("mkdir"), locked + QStringLiteral("/made/deep"),
             QStringLiteral("copy"), source, locked + QStringLiteral("/copy.txt"),
             QStringLiteral("move"), locked + QStringLiteral("/copy.txt"), locked + QStringLiteral("/moved.txt"),
             QStringLiteral("remove"), source,
             QStringLiteral("trash"), trashed,
             QStringLiteral("exec"), QStringLiteral("/bin/touch"), QStringLiteral("1"), locked + QStringLiteral("/touched"),
             QStringLiteral("execasync"), QStringLiteral("/bin/touch"), QStringLiteral("1"), later,
             QStringLiteral("waitfile"), later,
             QStringLiteral("remove"), m_sandbox->path(QStringLiteral("opt")),
             QStringLiteral("exec"), m_sandbox->path(QStringLiteral("no/tool")), QStringLiteral("0")},
            kAdmin, m_adminPassword);
        qInfo("credential check as %s through su and sudo, valid: %s ms", qPrintable(kUser),
              qPrintable(r.results.value(QStringLiteral("validate_ms"))));
        QCOMPARE(r.exitCode, 0);
        // The last remove is of a protected folder, the last exec of a missing tool.
        const Results expected {{"validate", "1"}, {"start", "1"}, {"authorized", "1"}, {"mkdir", "1"},
                                {"copy", "1"}, {"move", "1"}, {"remove", "0"}, {"trash", "1"},
                                {"exec", "-2"}, {"execasync", "0"}, {"waitfile", "1"}};
        QCOMPARE(r.pick(expected), expected);
        QCOMPARE(ownerOf(locked + QStringLiteral("/made/deep")), uid_t(0));
        QCOMPARE(ZDTestSandbox::readFile(locked + QStringLiteral("/moved.txt")), QByteArray("secret data"));
        QVERIFY(!QFile::exists(source));
        QVERIFY(QFileInfo(m_sandbox->path(QStringLiteral("opt"))).isDir());
        QVERIFY(r.log.contains(QStringLiteral("Unable to delete path %1 because it is a system directory.")
                                   .arg(m_sandbox->path(QStringLiteral("opt")))));
        QCOMPARE(ownerOf(locked + QStringLiteral("/touched")), uid_t(0));
        QCOMPARE(ownerOf(later), uid_t(0));

        // Into the user's own Trash, with its restore record.
        const QString userTrash = userHome(kUser) + QStringLiteral("/.local/share/Trash");
        QVERIFY(!QFile::exists(trashed));
        QVERIFY(QFile::exists(userTrash + QStringLiteral("/files/Trashed.txt")));
        QVERIFY(readText(userTrash + QStringLiteral("/info/Trashed.txt.trashinfo")).contains(trashed));
    }

    void waitingRunEndsWithItsTool()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        // Not with whatever the tool left behind.
        const QString fifo = m_sandbox->path(QStringLiteral("linger"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        bool endedFirst = false;
        const HelperRun lingering = runAsUser(
            {QStringLiteral("start"), QStringLiteral("exec"), QStringLiteral("/bin/sh"), QStringLiteral("4"),
             QStringLiteral("-c"), QStringLiteral("(read line < \"$1\") & exit 0"), QStringLiteral("sh"), fifo},
            kAdmin, m_adminPassword, [&](QProcess &p) {
                endedFirst = p.waitForFinished(120000);
                const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    [[maybe_unused]] const ssize_t n = ::write(fd, "go\n", 3);
                    ::close(fd);
                }
            });
        QVERIFY(endedFirst);
        QCOMPARE(lingering.results.value(QStringLiteral("exec")), QStringLiteral("0"));
    }

    void userIsRefusedWithoutValidCredentials_data()
    {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("logged");
        QTest::newRow("wrong password") << kAdmin << QStringLiteral("wrong") << true;
        QTest::newRow("an account that is not an administrator") << kUser << QString() << true;
        QTest::newRow("no such account") << QStringLiteral("kestra_nobody") << QStringLiteral("whatever") << true;
        QTest::newRow("a name su would take for an option") << QStringLiteral("-c") << QStringLiteral("x") << true;
        QTest::newRow("no credentials") << QString() << QString() << false;
    }

    void userIsRefusedWithoutValidCredentials()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        QFETCH(QString, username);
        QFETCH(QString, password);
        QFETCH(bool, logged);
        if (username == kUser)
            password = m_userPassword; // its own, correct password
        const QString target = m_sandbox->path(QStringLiteral("rootonly/refused"));
        const HelperRun r = runAsUser({QStringLiteral("validate"), QStringLiteral("start"), QStringLiteral("authorized"),
                                       QStringLiteral("mkdir"), target, QStringLiteral("exec"),
                                       QStringLiteral("/bin/touch"), QStringLiteral("1"), target},
                                      username, password);
        qInfo("credential check as %s through su and sudo, refused: %s ms", qPrintable(kUser),
              qPrintable(r.results.value(QStringLiteral("validate_ms"))));
        const Results expected {{"validate", "0"}, {"start", "0"}, {"authorized", "0"}, {"mkdir", "0"}, {"exec", "-1"}};
        QCOMPARE(r.pick(expected), expected);
        QVERIFY(!QFile::exists(target));
        QCOMPARE(r.log.contains(kInvalid), logged);
        QVERIFY(r.log.contains(QStringLiteral("Unable to authorize")));
    }

    void aRefusedRunDropsTheRights()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        const QString go = m_sandbox->path(QStringLiteral("readonly/password-changed"));
        const QString target = m_sandbox->path(QStringLiteral("rootonly/after-change"));
        const QString changed = newPassword();
        const HelperRun r = runAsUser(
            {QStringLiteral("start"), QStringLiteral("waitfile"), go, QStringLiteral("mkdir"), target,
             QStringLiteral("authorized")},
            kAdmin, m_adminPassword, [&](QProcess &p) {
                while (!p.peek(p.bytesAvailable()).contains("start_ms") && p.waitForReadyRead(60000)) {
                }
                run(QStringLiteral("/usr/sbin/chpasswd"), {}, (kAdmin + QLatin1Char(':') + changed + QLatin1Char('\n')).toUtf8());
                ZDTestSandbox::writeFile(go, "");
            });
        QVERIFY(run(QStringLiteral("/usr/sbin/chpasswd"), {},
                    (kAdmin + QLatin1Char(':') + m_adminPassword + QLatin1Char('\n')).toUtf8()) == 0);
        const Results expected {{"start", "1"}, {"mkdir", "0"}, {"authorized", "0"}};
        QCOMPARE(r.pick(expected), expected);
        QVERIFY(!QFile::exists(target));
    }

    void dialogWithoutAnyoneToAskFails()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        // No polkit agent answers here, whether or not pkexec is installed.
        const HelperRun r = runAsUser({QStringLiteral("--gui"), QStringLiteral("startgui"), QStringLiteral("authorized")},
                                      QString(), QString());
        const Results expected {{"startgui", "0"}, {"authorized", "0"}};
        QCOMPARE(r.pick(expected), expected);
    }

    void passwordLeavesNoTrace()
    {
        if (!m_noAccountsReason.isEmpty())
            QSKIP(qPrintable(m_noAccountsReason));
        const QString fifo = m_sandbox->path(QStringLiteral("release"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const QByteArray needle = m_adminPassword.toUtf8();
        const QString probe = QStringLiteral("kestra-trace-probe");
        QStringList leaks;
        bool sawProbe = false;

        auto scan = [&] {
            for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
                if (!pid.front().isDigit())
                    continue;
                const QByteArray cmdline = ZDTestSandbox::readFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
                const QByteArray environ = ZDTestSandbox::readFile(QStringLiteral("/proc/%1/environ").arg(pid));
                if (cmdline.contains(probe.toUtf8()))
                    sawProbe = true;
                if (cmdline.contains(needle) || environ.contains(needle))
                    leaks << QString::fromUtf8(cmdline).replace(QLatin1Char('\0'), QLatin1Char(' '));
            }
        };
        auto probeRunning = [&] {
            scan();
            return sawProbe;
        };
        // The privileged shell waits on the fifo, so su and sudo are alive while we look.
        const HelperRun r = runAsUser(
            {QStringLiteral("start"), QStringLiteral("exec"), QStringLiteral("/bin/sh"), QStringLiteral("4"),
             QStringLiteral("-c"), QStringLiteral("read line < \"$1\""), probe, fifo},
            kAdmin, m_adminPassword, [&](QProcess &) {
                static_cast<void>(QTest::qWaitFor(probeRunning, 60000));
                // Opening succeeds once the privileged shell reads the fifo.
                int fd = -1;
                static_cast<void>(QTest::qWaitFor([&] {
                    fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                    return fd >= 0;
                }, 60000));
                if (fd >= 0) {
                    [[maybe_unused]] const ssize_t n = ::write(fd, "go\n", 3);
                    ::close(fd);
                }
            });
        QVERIFY(sawProbe);
        QCOMPARE(r.results.value(QStringLiteral("exec")), QStringLiteral("0"));
        QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(QLatin1Char('\n'))));

        // Nor in any file this test's runs wrote: logs, Trash records, the sandbox.
        QVERIFY(!r.log.isEmpty());
        const QStringList inFiles = filesContaining(userHome(kUser), needle) + filesContaining(m_sandbox->root(), needle);
        QVERIFY2(inFiles.isEmpty(), qPrintable(inFiles.join(QLatin1Char('\n'))));
    }
};

QTEST_GUILESS_MAIN(TestZDAuthorization)
#include "tst_zdauthorization.moc"
