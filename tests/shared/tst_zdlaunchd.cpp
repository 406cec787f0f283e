#include "ZDLaunchd.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <sys/stat.h>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

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

class TestZDLaunchd : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_sandbox;
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

private Q_SLOTS:
    void init()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(u"tst_zdlaunchd"_s);
        // systemd is not the service manager here: the recording stand-in goes first on PATH.
        const QString bin = m_sandbox->path(u"bin"_s);
        QVERIFY(QDir().mkpath(bin));
        QString sourceDir = qEnvironmentVariable("KESTRA_SOURCE_DIR");
        if (sourceDir.isEmpty())
            sourceDir = QStringLiteral(QT_TESTCASE_SOURCEDIR "/../..");
        const QString source = sourceDir + u"/tools/standins/systemctl"_s;
        QVERIFY2(QFile::copy(source, bin + u"/systemctl"_s), qPrintable(source));
        QVERIFY(QFile::setPermissions(bin + u"/systemctl"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                                 | QFile::ReadOther | QFile::ExeOther));
        m_sandbox->setEnv("PATH", (bin + u':' + qEnvironmentVariable("PATH")).toUtf8());
        m_callLog = m_sandbox->path(u"systemctl.calls"_s);
        m_sandbox->setEnv("KESTRA_STANDIN_LOG", m_callLog.toUtf8());
        QCOMPARE(QStandardPaths::findExecutable(u"systemctl"_s), bin + u"/systemctl"_s);
        m_program = m_sandbox->path(u"opt/Kestra Client.app/Contents/MacOS/KestraClient"_s);
        m_sheets.clear();
        ZDLaunchd::setSheetPresenter([this](const QString &m, const QString &i) { m_sheets.append({m, i}); });
        // A restrictive umask shows that the mode is set, not inherited.
        m_umask = ::umask(077);
    }
    void cleanup()
    {
        ::umask(m_umask);
        ZDLaunchd::setSheetPresenter(nullptr);
        ZDLog::finishWriting();
        m_sandbox.reset();
    }
    void userAgentIsWrittenEnabledAndRemoved()
    {
        QVERIFY(ZDLaunchd::startLaunchAgent(kLabel, clientSettings(), Domain::User));
        const QString path = m_sandbox->home() + u"/.config/systemd/user/"_s + kUnit;
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
        const QString path = m_sandbox->path(u"etc/systemd/user/"_s) + kUnit;
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
        const QString sleeper = m_sandbox->path(u"bin/"_s) + name;
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
        const QString daemon = m_sandbox->path(u"etc/systemd/system/"_s) + kUnit;
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
        QVERIFY(QDir().mkpath(m_sandbox->path(u"etc"_s)));
        QVERIFY(ZDTestSandbox::writeFile(m_sandbox->path(u"etc/systemd"_s), "not a folder"));
        const QString tmp = m_sandbox->path(u"tmp"_s);
        QVERIFY(QDir().mkpath(tmp));
        m_sandbox->setEnv("TMPDIR", tmp.toUtf8());
        QVERIFY(!ZDLaunchd::startJob(kLabel, clientSettings(), Domain::Computer, Kind::Daemon, Rights::AsIs));
        QCOMPARE(m_sheets, (QList<QPair<QString, QString>> {
                               {u"Error: Unable to create LaunchAgent"_s,
                                u"Please check you have correct permissions for the directory %1."_s.arg(
                                    m_sandbox->path(u"etc/systemd/system"_s))}}));
        QVERIFY(QDir(tmp).isEmpty());
        // With no place to write even the temporary copy, the other sheet.
        m_sheets.clear();
        m_sandbox->setEnv("TMPDIR", m_sandbox->path(u"etc/systemd/tmp"_s).toUtf8());
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
        const QString victim = m_sandbox->path(u"victim"_s);
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

QTEST_GUILESS_MAIN(TestZDLaunchd)
#include "tst_zdlaunchd.moc"
