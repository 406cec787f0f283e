// Root in a home another user controls: links planted at every folder the crash handler
// (installed first by every program) and the crash-log consolidation helper touch. Run as
// root, the real programs change no owner and no file outside that home, put root's own
// crash reports into the computer's log folder, and gather for the workstation's user,
// never for the administrator whose password sudo took.
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"

#include <QDirIterator>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Every item below (and including) a folder: name, owner, mode and modification time.
QStringList snapshot(const QString &folder)
{
    QStringList items;
    const auto add = [&items](const QString &path) {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0)
            items << u"%1 %2:%3 %4 %5.%6"_s.arg(path).arg(st.st_uid).arg(st.st_gid).arg(st.st_mode, 0, 8)
                         .arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec);
    };
    add(folder);
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        add(it.next());
    items.sort();
    return items;
}

uid_t uidOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_uid : uid_t(-1);
}

} // namespace

class TestZDRootLinks : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_box;
    QString m_user, m_admin;

    bool makeUser(const QString &name)
    {
        zdtest::removeAccount(name);
        const QString home = m_box.path(u"home/"_s + name);
        return zdtest::run(u"/usr/sbin/useradd"_s, {u"-M"_s, u"-d"_s, home, u"-s"_s, u"/usr/sbin/nologin"_s, name}) == 0
            && QDir().mkpath(home) && zdtest::run(u"/bin/chown"_s, {name + u":"_s, home}) == 0;
    }
    QString home(const QString &name) const { return m_box.path(u"home/"_s + name); }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *var : {"XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "DISPLAY",
                                "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(var));
        env.insert(u"KESTRA_SYSTEM_ROOT"_s, m_box.root());
        env.insert(u"HOME"_s, m_box.path(u"root"_s)); // root's own home, rebased to the user's
        return env;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the case is root's");
        QVERIFY(QFileInfo(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/KestraClient.app"_s).isDir());
        const QString pid = QString::number(QCoreApplication::applicationPid() % 100000);
        m_user = u"kbay"_s + pid;
        m_admin = u"kadm"_s + pid;
        QVERIFY(makeUser(m_user) && makeUser(m_admin));
        QVERIFY(QDir().mkpath(m_box.path(u"root"_s)) && QDir().mkpath(m_box.path(u"run"_s)));
        QVERIFY(ZDTestSandbox::writeUtmp(m_box.path(u"run/utmp"_s), m_user.toLatin1().constData(), ":0"));
        // The folder standing for /etc, and a system crash record to gather.
        QVERIFY(ZDTestSandbox::writeFile(m_box.path(u"etc/passwd"_s), "root:x:0:0::/root:/bin/sh\n"));
        QVERIFY(ZDTestSandbox::writeFile(m_box.path(u"var/crash/_usr_bin_motion.0.crash"_s),
                                         "ExecutablePath: /usr/bin/motion\nProcPid: 42\nSignal: 11\n"
                                         "Date: Mon Jan  5 10:00:00 2026\nStacktraceTop:\n main () from /usr/bin/motion\n"));
    }
    void cleanupTestCase()
    {
        for (const QString &name : {m_user, m_admin})
            if (!name.isEmpty())
                zdtest::removeAccount(name);
    }
    void linksInTheUsersHome_data()
    {
        QTest::addColumn<QString>("link");
        for (const char *at : {".local", ".local/state", ".local/state/log", ".local/state/log/DiagnosticReports",
                               ".local/state/log/CrashReporter"})
            QTest::newRow(at) << QString::fromLatin1(at);
    }
    void linksInTheUsersHome()
    {
        QFETCH(QString, link);
        const QString userHome = home(m_user), etc = m_box.path(u"etc"_s);
        QDir(userHome + u"/.local"_s).removeRecursively();
        QFile::remove(userHome + u"/.local"_s);
        const QString planted = userHome + u"/"_s + link;
        QVERIFY(QDir().mkpath(QFileInfo(planted).path()));
        QVERIFY(zdtest::run(u"/bin/chown"_s, {u"-R"_s, m_user + u":"_s, userHome}) == 0);
        QVERIFY(QFile::link(etc, planted));
        const QStringList before = snapshot(etc);
        const QStringList adminBefore = snapshot(home(m_admin));

        // The crash handler is the first thing the agent's main() does.
        const QString agent = qEnvironmentVariable("KESTRA_APPS_DIR") + u"/KestraClient.app/Contents/MacOS/KestraClient"_s;
        zdtest::runProgram(agent, {u"-fingerprint"_s}, environment());
        // The helper as sudo starts it for an administrator's password, and as the agent names its user.
        const QString helper = qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app/Contents/Helpers/LogConsolidator"_s;
        QProcessEnvironment sudo = environment();
        sudo.insert(u"SUDO_UID"_s, QString::number(uidOf(home(m_admin))));
        sudo.insert(u"SUDO_USER"_s, m_admin);
        zdtest::runProgram(helper, {}, sudo);
        zdtest::runProgram(helper, {u"-user"_s, m_user}, sudo);

        QCOMPARE(snapshot(etc).join(u"\n"_s), before.join(u"\n"_s));
        QCOMPARE(snapshot(home(m_admin)), adminBefore);
        // Root's own reports have the computer's folder, which is root's.
        const QString reports = m_box.path(u"var/log/DiagnosticReports"_s);
        QVERIFY(QFileInfo(reports).isDir() && !QFileInfo(reports).isSymLink());
        QCOMPARE(uidOf(reports), uid_t(0));
    }
    // Without links the consolidated reports reach the workstation user's folder, the user's own.
    void gathersForTheWorkstationUser()
    {
        const QString userHome = home(m_user);
        QDir(userHome + u"/.local"_s).removeRecursively();
        QFile::remove(userHome + u"/.local"_s);
        const QString helper = qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app/Contents/Helpers/LogConsolidator"_s;
        QProcessEnvironment sudo = environment();
        sudo.insert(u"SUDO_UID"_s, QString::number(uidOf(home(m_admin))));
        zdtest::runProgram(helper, {}, sudo);
        const QString folder = userHome + u"/.local/state/log/CrashReporter"_s;
        const QStringList gathered = QDir(folder).entryList({u"motion_*.crash"_s}, QDir::Files);
        QCOMPARE(gathered.size(), 1);
        QCOMPARE(uidOf(folder + u"/"_s + gathered.first()), uidOf(userHome));
        for (const QString &sub : {u"/.local"_s, u"/.local/state"_s, u"/.local/state/log"_s, u"/.local/state/log/CrashReporter"_s})
            QCOMPARE(uidOf(userHome + sub), uidOf(userHome));
        QVERIFY(!QFileInfo::exists(home(m_admin) + u"/.local"_s));
    }
};

QTEST_GUILESS_MAIN(TestZDRootLinks)
#include "tst_zdrootlinks.moc"
