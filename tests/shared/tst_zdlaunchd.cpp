#include "ZDLaunchd.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>

#include <memory>

namespace {

using Calls = QList<QStringList>;

const QString kLabel = QStringLiteral("com.zendrel.KestraClient");
const QString kUnit = QStringLiteral("com.zendrel.KestraClient.service");

// What systemctl is told to address a user's own manager from this process.
QStringList userArgs(const QStringList &rest)
{
    QStringList args {QStringLiteral("--user")};
    const QString console = ZDLocalPaths::currentConsoleUser();
    if (ZDLocalPaths::isRoot() && !console.isEmpty() && console != QLatin1String("root"))
        args << QStringLiteral("--machine=") + console + QLatin1Char('@');
    return args + rest;
}

struct Sheet
{
    QString message;
    QString informative;
};

} // namespace

class TestZDLaunchd : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    QString m_callLog;
    QList<Sheet> m_sheets;
    QString m_program;
    mode_t m_umask = 022;

    Calls calls() const
    {
        Calls out;
        for (const QByteArray &line : ZDTestSandbox::readFile(m_callLog).split('\n')) {
            if (line.isEmpty())
                continue;
            QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
            out << fields.mid(3); // program, uid, cwd
        }
        return out;
    }
    void forgetCalls() { QFile::remove(m_callLog); }

    QVariantMap clientSettings() const
    {
        return {{QStringLiteral("Label"), kLabel},
                {QStringLiteral("Program"), m_program},
                {QStringLiteral("WorkingDirectory"), QFileInfo(m_program).path()},
                {QStringLiteral("RunAtLoad"), true},
                {QStringLiteral("KeepAlive"), QVariantMap {{QStringLiteral("SuccessfulExit"), false}}}};
    }

    static QString unitText(const QString &path) { return QString::fromUtf8(ZDTestSandbox::readFile(path)); }

    static mode_t modeOf(const QString &path)
    {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : mode_t(0);
    }

    static void verifyRootOwned644(const QString &path)
    {
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0644));
        QCOMPARE(st.st_uid, uid_t(0));
        QCOMPARE(st.st_gid, gid_t(0));
    }

private Q_SLOTS:
    void init()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zdlaunchd"));

        // systemd is not the service manager here: the recording stand-in goes first on PATH.
        const QString bin = m_sandbox->path(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        QString sourceDir = qEnvironmentVariable("KESTRA_SOURCE_DIR");
        if (sourceDir.isEmpty())
            sourceDir = QStringLiteral(QT_TESTCASE_SOURCEDIR "/../..");
        const QString source = sourceDir + QStringLiteral("/tools/standins/systemctl");
        QVERIFY2(QFile::copy(source, bin + QStringLiteral("/systemctl")), qPrintable(source));
        QVERIFY(QFile::setPermissions(bin + QStringLiteral("/systemctl"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                          | QFile::ExeOther));
        m_sandbox->setEnv("PATH", (bin + QLatin1Char(':') + qEnvironmentVariable("PATH")).toUtf8());
        m_callLog = m_sandbox->path(QStringLiteral("systemctl.calls"));
        m_sandbox->setEnv("KESTRA_STANDIN_LOG", m_callLog.toUtf8());
        QCOMPARE(QStandardPaths::findExecutable(QStringLiteral("systemctl")), bin + QStringLiteral("/systemctl"));

        m_program = m_sandbox->path(QStringLiteral("opt/Kestra Client.app/Contents/MacOS/KestraClient"));
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
        QVERIFY(ZDLaunchd::startLaunchAgent(kLabel, clientSettings(), true));
        const QString path = m_sandbox->home() + QStringLiteral("/.config/systemd/user/") + kUnit;
        QCOMPARE(ZDLaunchd::jobPath(kLabel, true, true), path);
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(modeOf(path), mode_t(0644));

        const QString unit = unitText(path);
        QVERIFY2(unit.contains(QStringLiteral("ExecStart=\"") + m_program + QLatin1Char('"')), qPrintable(unit));
        QVERIFY(unit.contains(QStringLiteral("\nWorkingDirectory=") + QFileInfo(m_program).path() + QLatin1Char('\n')));
        QVERIFY(unit.contains(QStringLiteral("\nRestart=on-failure\n")));
        QVERIFY(unit.contains(QStringLiteral("\n[Install]\nWantedBy=default.target\n")));

        QCOMPARE(calls(), (Calls {userArgs({QStringLiteral("disable"), QStringLiteral("--now"), kUnit}),
                                  userArgs({QStringLiteral("daemon-reload")}),
                                  userArgs({QStringLiteral("enable"), QStringLiteral("--now"), kUnit})}));

        // Stopping leaves the file; removing takes it and has the manager forget it.
        forgetCalls();
        ZDLaunchd::stopJob(kLabel, true, true, false);
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(calls(), (Calls {userArgs({QStringLiteral("disable"), QStringLiteral("--now"), kUnit}),
                                  userArgs({QStringLiteral("stop"), kUnit})}));
        forgetCalls();
        QVERIFY(ZDLaunchd::removeLaunchAgent(kLabel, true));
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(calls().last(), userArgs({QStringLiteral("daemon-reload")}));

        // A job whose file is missing is still stopped; an empty label does nothing.
        forgetCalls();
        QVERIFY(ZDLaunchd::removeJob(kLabel, true, true, false));
        QCOMPARE(calls(), (Calls {userArgs({QStringLiteral("disable"), QStringLiteral("--now"), kUnit}),
                                  userArgs({QStringLiteral("stop"), kUnit})}));
        forgetCalls();
        ZDLaunchd::stopJob(QString(), true, true, false);
        QVERIFY(calls().isEmpty());
        QVERIFY(m_sheets.isEmpty());
    }

    void computerWideAgentIsRootOwnedAndReplacedCleanly()
    {
        if (!ZDLocalPaths::isRoot())
            QSKIP("making files root-owned needs root");
        QVERIFY(ZDLaunchd::startJob(kLabel, clientSettings(), false, true, false));
        const QString path = m_sandbox->path(QStringLiteral("etc/systemd/user/")) + kUnit;
        QCOMPARE(ZDLaunchd::jobPath(kLabel, false, true), path);
        verifyRootOwned644(path);
        const QStringList globalEnable {QStringLiteral("--global"), QStringLiteral("enable"), kUnit};
        const QStringList globalDisable {QStringLiteral("--global"), QStringLiteral("disable"), kUnit};
        QCOMPARE(calls(), (Calls {userArgs({QStringLiteral("stop"), kUnit}), globalDisable, globalEnable,
                                  userArgs({QStringLiteral("daemon-reload")}),
                                  userArgs({QStringLiteral("start"), kUnit})}));

        // Starting again over an existing file: the old job goes first, then the new file.
        forgetCalls();
        QVariantMap changed = clientSettings();
        changed[QStringLiteral("KeepAlive")] = true;
        QVERIFY(ZDLaunchd::startJob(kLabel, changed, false, true, false));
        const Calls again = calls();
        QCOMPARE(again.mid(0, 3), (Calls {userArgs({QStringLiteral("stop"), kUnit}), globalDisable,
                                          userArgs({QStringLiteral("stop"), kUnit})}));
        QCOMPARE(again.at(3), userArgs({QStringLiteral("daemon-reload")}));
        QCOMPARE(again.last(), userArgs({QStringLiteral("start"), kUnit}));
        QVERIFY(unitText(path).contains(QStringLiteral("\nRestart=always\n")));
        verifyRootOwned644(path);
    }

    void privilegedDaemonKillsTheNamedProcess()
    {
        if (!ZDLocalPaths::isRoot())
            QSKIP("the privileged path without a password needs root");
        // A program of a name nothing else on the machine has.
        const QString name = QStringLiteral("kzlsleep") + ZDLocalPaths::randomString(4);
        const QString sleeper = m_sandbox->path(QStringLiteral("bin/")) + name;
        QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), sleeper));
        QVERIFY(QFile::setPermissions(sleeper, QFile::ReadOwner | QFile::ExeOwner));
        QProcess running;
        running.start(sleeper, {QStringLiteral("300")});
        QVERIFY(running.waitForStarted());

        QVariantMap settings = clientSettings();
        settings[QStringLiteral("UserName")] = QStringLiteral("nobody");
        QVERIFY(ZDLaunchd::startJob(kLabel, settings, false, false, true, name));
        QVERIFY(running.waitForFinished(30000));
        QCOMPARE(running.exitStatus(), QProcess::CrashExit);

        const QString path = m_sandbox->path(QStringLiteral("etc/systemd/system/")) + kUnit;
        verifyRootOwned644(path);
        const QString unit = unitText(path);
        QVERIFY(unit.contains(QStringLiteral("\nUser=nobody\n")));
        QVERIFY(unit.contains(QStringLiteral("\nWantedBy=multi-user.target\n")));
        QCOMPARE(calls(), (Calls {{QStringLiteral("disable"), QStringLiteral("--now"), kUnit},
                                  {QStringLiteral("daemon-reload")},
                                  {QStringLiteral("enable"), QStringLiteral("--now"), kUnit}}));

        forgetCalls();
        QVERIFY(ZDLaunchd::removeJob(kLabel, false, false, true));
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(calls(), (Calls {{QStringLiteral("disable"), QStringLiteral("--now"), kUnit},
                                  {QStringLiteral("stop"), kUnit},
                                  {QStringLiteral("daemon-reload")}}));
    }

    void unwritableFoldersEndInASheetAndNothingHalfDone()
    {
        // A file where the folder should be: no one, not even root, can write the unit there.
        QVERIFY(QDir().mkpath(m_sandbox->path(QStringLiteral("etc"))));
        QVERIFY(ZDTestSandbox::writeFile(m_sandbox->path(QStringLiteral("etc/systemd")), "not a folder"));
        const QString folder = m_sandbox->path(QStringLiteral("etc/systemd/system"));
        const QString tmp = m_sandbox->path(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(tmp));
        m_sandbox->setEnv("TMPDIR", tmp.toUtf8());

        QVERIFY(!ZDLaunchd::startJob(kLabel, clientSettings(), false, false, false));
        QCOMPARE(m_sheets.size(), 1);
        QCOMPARE(m_sheets[0].message, QStringLiteral("Error: Unable to create LaunchAgent"));
        QCOMPARE(m_sheets[0].informative,
                 QStringLiteral("Please check you have correct permissions for the directory %1.").arg(folder));
        QVERIFY(QDir(tmp).isEmpty());
        QVERIFY(calls().isEmpty());

        // With no place to write even the temporary copy, the other sheet.
        m_sheets.clear();
        m_sandbox->setEnv("TMPDIR", m_sandbox->path(QStringLiteral("etc/systemd/tmp")).toUtf8());
        QVERIFY(!ZDLaunchd::startJob(kLabel, clientSettings(), false, false, true));
        QCOMPARE(m_sheets.size(), 1);
        QCOMPARE(m_sheets[0].message, QStringLiteral("Error: Unable to write LaunchAgent data"));
        QVERIFY(calls().isEmpty());

        ZDLog::finishWriting();
        const QByteArray log = ZDTestSandbox::readFile(ZDLog::availableLogs().value(0));
        QVERIFY(log.contains("Unable to write launchd plist - trying to authorize..."));
        QVERIFY(log.contains("Error: Unable to create LaunchAgent. Please check you have correct permissions"));
    }

    void untrustedSettingsAreRefusedOrEscaped()
    {
        // Labels that would leave the folder or break a unit name write nothing.
        for (const QString &label : {QStringLiteral("../evil"), QStringLiteral("a/b"), QString(),
                                     QStringLiteral("x y"), QString(ZDLaunchd::kMaxLabelLength + 1, QLatin1Char('l'))}) {
            QVERIFY2(!ZDLaunchd::startJob(label, clientSettings(), true, true, false), qPrintable(label));
            QVERIFY(ZDLaunchd::jobPath(label, true, true).isEmpty());
        }
        QVERIFY(!ZDLaunchd::removeJob(QStringLiteral("../evil"), true, true, false));
        QVERIFY(calls().isEmpty());

        // A link planted where the unit goes is replaced, never written through.
        const QString victim = m_sandbox->path(QStringLiteral("victim"));
        QVERIFY(ZDTestSandbox::writeFile(victim, "keep me"));
        QVERIFY(QFile::setPermissions(victim, QFile::ReadOwner | QFile::WriteOwner));
        const QString path = ZDLaunchd::jobPath(kLabel, true, true);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(QFile::link(victim, path));
        QVERIFY(ZDLaunchd::startLaunchAgent(kLabel, clientSettings(), true));
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(ZDTestSandbox::readFile(victim), QByteArray("keep me"));
        QCOMPARE(modeOf(victim), mode_t(0600));
        QVERIFY(ZDLaunchd::removeJob(kLabel, true, true, false));
        QVERIFY(QFileInfo::exists(victim));
        forgetCalls();

        auto unitFor = [](const QVariantMap &settings, bool daemon = false) {
            return ZDLaunchd::unitFromSettings(kLabel, settings, daemon);
        };
        const QString program = QStringLiteral("/opt/bin/tool");
        // A line break would smuggle in lines of its own; relative programs are not run.
        QVERIFY(unitFor({{QStringLiteral("Program"), QStringLiteral("/opt/x\nExecStartPre=/bin/rm")}}).isEmpty());
        QVERIFY(unitFor({{QStringLiteral("Program"), QStringLiteral("tool")}}).isEmpty());
        QVERIFY(unitFor({{QStringLiteral("Program"), program},
                         {QStringLiteral("WorkingDirectory"), QStringLiteral("/tmp\n[Service]")}})
                    .isEmpty());
        QVERIFY(unitFor({{QStringLiteral("ProgramArguments"), QVariantList {program, 5}}}).isEmpty());
        QVERIFY(unitFor({{QStringLiteral("ProgramArguments"),
                          QVariantList(ZDLaunchd::kMaxArguments + 1, QVariant(program))}})
                    .isEmpty());
        QVERIFY(unitFor({{QStringLiteral("Program"), program},
                         {QStringLiteral("EnvironmentVariables"), QVariantMap {{QStringLiteral("A B"), QStringLiteral("1")}}}})
                    .isEmpty());
        QVERIFY(unitFor({{QStringLiteral("Program"), program}, {QStringLiteral("UserName"), QStringLiteral("a b")}}, true)
                    .isEmpty());

        // Specifiers, variables and quotes reach the program literally.
        const QString unit = unitFor({{QStringLiteral("ProgramArguments"),
                                       QVariantList {program, QStringLiteral("100%"), QStringLiteral("$HOME"),
                                                     QStringLiteral("say \"hi\"\\")}},
                                      {QStringLiteral("EnvironmentVariables"),
                                       QVariantMap {{QStringLiteral("GREETING"), QStringLiteral("a \"b\" 5%")}}},
                                      {QStringLiteral("RunAtLoad"), false},
                                      {QStringLiteral("KeepAlive"),
                                       QVariantMap {{QStringLiteral("SuccessfulExit"), true}}},
                                      {QStringLiteral("ThrottleInterval"), 3},
                                      {QStringLiteral("Sockets"), QVariantMap()}});
        QVERIFY2(unit.contains(QStringLiteral(
                     "ExecStart=\"/opt/bin/tool\" \"100%%\" \"$$HOME\" \"say \\\"hi\\\"\\\\\"\n")),
                 qPrintable(unit));
        QVERIFY(unit.contains(QStringLiteral("Environment=\"GREETING=a \\\"b\\\" 5%%\"\n")));
        QVERIFY(unit.contains(QStringLiteral("Restart=on-success\nRestartSec=3\n")));
        // Not started at load: no install section, so the manager only reloads.
        QVERIFY(!unit.contains(QStringLiteral("[Install]")));
        QVERIFY(!unit.contains(QStringLiteral("Sockets")));
        QVERIFY(!unitFor({{QStringLiteral("Program"), program}}).contains(QStringLiteral("Restart=")));

        QVERIFY(ZDLaunchd::startLaunchAgent(kLabel, {{QStringLiteral("Program"), program}}, true));
        QCOMPARE(calls(), (Calls {userArgs({QStringLiteral("disable"), QStringLiteral("--now"), kUnit}),
                                  userArgs({QStringLiteral("daemon-reload")})}));
    }

    void writtenUnitsPassSystemdsOwnCheck()
    {
        const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
        if (analyze.isEmpty())
            QSKIP("systemd-analyze is not installed");
        QVERIFY(QDir().mkpath(QFileInfo(m_program).path()));
        QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("true")), m_program));
        QVERIFY(QFile::setPermissions(m_program, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        QVariantMap settings = clientSettings();
        settings[QStringLiteral("ProgramArguments")] =
            QVariantList {m_program, QStringLiteral("50% \"quoted\""), QStringLiteral("$HOME\\")};
        settings[QStringLiteral("EnvironmentVariables")] = QVariantMap {{QStringLiteral("A"), QStringLiteral("b \"c\" 5%")}};
        QVERIFY(ZDLaunchd::startLaunchAgent(kLabel, settings, true));

        QProcess verify;
        verify.start(analyze, {QStringLiteral("verify"), QStringLiteral("--man=no"),
                               ZDLaunchd::jobPath(kLabel, true, true)});
        QVERIFY(verify.waitForFinished(60000));
        const QString output = QString::fromUtf8(verify.readAllStandardOutput() + verify.readAllStandardError());
        if (output.contains(QStringLiteral("Failed to initialize manager"))
            || output.contains(QStringLiteral("Failed to setup working directory")))
            QSKIP(qPrintable(QStringLiteral("systemd-analyze cannot run here: ") + output));
        QVERIFY2(verify.exitStatus() == QProcess::NormalExit && verify.exitCode() == 0, qPrintable(output));
        QVERIFY2(!output.contains(kUnit), qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestZDLaunchd)
#include "tst_zdlaunchd.moc"
