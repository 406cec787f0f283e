#pragma once
// The real KestraClient as a child process. start(): in a home of its own (system
// root, HOME and XDG folders in a temporary folder), listening on a fixed port set
// in its preferences so that it comes back on the same port after a kill. The
// console of the test's environment is enrolled on it first, as an administrator
// pairs a computer before using it.
#include "ZDFreePort.h"
#include "plist/ZDPropertyList.h"
#include "ZDTestProcess.h"
#include "trust/ZDEnrolledConsoles.h"
#include "trust/ZDKnownAgents.h"

#include <QtTest>

#include <memory>

class ZDRealAgent
{
public:
    ~ZDRealAgent()
    {
        kill();
        zdtest::killChild(m_bus);
    }
    ZDRealAgent(const ZDRealAgent &) = delete;
    ZDRealAgent &operator=(const ZDRealAgent &) = delete;
    static QString program()
    {
        return qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/KestraClient.app/Contents/MacOS/KestraClient");
    }
    static bool exists() { return QFileInfo(program()).isExecutable(); }
    // A port nobody listens on right now.
    static quint16 freePort() { return zdtest::freePort(); }
    ZDRealAgent() = default;
    // Started at once in this process's environment (the test's own sandbox), with these arguments.
    explicit ZDRealAgent(const QStringList &arguments) { launch(arguments, QProcessEnvironment::systemEnvironment()); }
    // Also a computer of its own: this host name, a session bus of its own (an agent tells
    // every other agent on its bus to quit) and no DNS-SD.
    bool startAlone(quint16 port, const QByteArray &host)
    {
        if (!m_bus) {
            m_bus = std::make_unique<QProcess>();
            m_bus->start(QStringLiteral("dbus-daemon"),
                         {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
            if (!m_bus->waitForReadyRead(30000))
                return false;
            m_env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(m_bus->readLine().trimmed()));
        }
        QDir().mkpath(m_home.filePath(QStringLiteral("etc")));
        {
            QFile hostname(m_home.filePath(QStringLiteral("etc/hostname")));
            if (!hostname.open(QIODevice::WriteOnly) || hostname.write(host) != host.size())
                return false;
        }
        return start(port, {{QStringLiteral("disableBonjour"), 1}});
    }
    // Enrols the console whose key lives in this process's XDG data folder (made
    // when missing) on the computer at systemRoot; what the file says stays.
    static bool enrollConsole(const QString &systemRoot)
    {
        QString error;
        const ZDTlsIdentity console = ZDKnownAgents::consoleIdentity(&error);
        const QString file = systemRoot + QStringLiteral("/etc/xdg/com.zendrel.KestraClient.consoles.plist");
        return console.isValid() && ZDEnrolledConsoles(file).add(console.fingerprint, &error);
    }
    // No console enrolled for this agent: start() leaves its trust file alone.
    void setEnrollsConsole(bool on) { m_enroll = on; }
    // Another agent program than the build's (one a package installed).
    void setProgram(const QString &path) { m_program = path; }
    // Runs the agent (and a session bus of its own) as this unprivileged user, as a
    // session's agent runs; its home is handed to the user. The test must run as root.
    void setRunAs(const QString &user, const QString &group)
    {
        m_runAs = {QStringLiteral("--reuid=") + user, QStringLiteral("--regid=") + group, QStringLiteral("--clear-groups")};
        m_owner = user + QLatin1Char(':') + group;
    }
    bool start(quint16 port, const QVariantMap &prefs = {})
    {
        kill();
        if (!m_home.isValid() || (m_enroll && !enrollConsole(m_home.path())))
            return false;
        m_port = port;
        const QString config = m_home.filePath(QStringLiteral("home/.config"));
        QDir().mkpath(config);
        // What the agent wrote there itself stays, as across a real restart.
        const QString file = config + QStringLiteral("/com.zendrel.KestraClient.plist");
        QVariantMap all = QFile::exists(file) ? ZDPropertyList::readDictionary(file) : QVariantMap();
        all.insert(QVariantMap{{QStringLiteral("customPortSet"), 1}, {QStringLiteral("customPort"), int(port)},
                               {QStringLiteral("showMenuBarIcon"), 0}});
        all.insert(prefs);
        if (!ZDPropertyList::writeFile(file, all))
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(m_env);
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), m_home.path());
        env.insert(QStringLiteral("HOME"), m_home.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        for (const auto &[var, sub] : {std::pair{"XDG_DATA_HOME", ".local/share"}, {"XDG_CACHE_HOME", ".cache"},
                                       {"XDG_STATE_HOME", ".local/state"}}) {
            const QString path = m_home.filePath(QStringLiteral("home/") + QLatin1String(sub));
            QDir().mkpath(path);
            env.insert(QLatin1String(var), path);
        }
        if (!m_runAs.isEmpty()) {
            const QString runtime = m_home.filePath(QStringLiteral("home/.run"));
            QDir().mkpath(runtime);
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
            // The sandbox's root stays root's; the user's home is the user's.
            if (!QFile::setPermissions(m_home.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther)
                || zdtest::run(QStringLiteral("/bin/chown"), {QStringLiteral("-R"), m_owner, m_home.filePath(QStringLiteral("home"))}) != 0)
                return false;
            if (!m_bus) {
                m_bus = std::make_unique<QProcess>();
                m_bus->setProcessEnvironment(env);
                m_bus->start(QStringLiteral("setpriv"), m_runAs + QStringList{QStringLiteral("dbus-daemon"), QStringLiteral("--session"),
                                                                           QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
                if (!m_bus->waitForReadyRead(30000))
                    return false;
                m_env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(m_bus->readLine().trimmed()));
            }
            env.insert(m_env);
        }
        return launch({}, env) && waitForPort() == port && m_process->state() == QProcess::Running;
    }
    // The first capture of the pattern (or the whole match) once printed past `from`; empty when it never comes.
    QString waitFor(const QString &pattern, qsizetype from = 0, int timeoutMs = 30000)
    {
        const QRegularExpression re(pattern);
        const auto match = [&] { return re.match(output(), from); };
        (void)QTest::qWaitFor([&] {
            return match().hasMatch() || !m_process || m_process->state() == QProcess::NotRunning;
        }, timeoutMs);
        const QRegularExpressionMatch found = match();
        return found.captured(found.lastCapturedIndex() > 0 ? 1 : 0);
    }
    // The port it says it listens on (0 when it does not).
    int waitForPort(qsizetype from = 0)
    {
        return waitFor(QStringLiteral("Listening on (?:port |[0-9.]+:)(\\d+)\\n"), from).toInt();
    }
    bool waitForExit(int timeoutMs = 30000)
    {
        return m_process && QTest::qWaitFor([this] { return m_process->state() == QProcess::NotRunning; }, timeoutMs);
    }
    QProcess &process() { return *m_process; }
    quint16 port() const { return m_port; }
    QString root() const { return m_home.path(); } // "opt": the applications it finds
    qint64 pid() const { return m_process ? m_process->processId() : 0; }
    QString output()
    {
        if (m_process)
            m_output += QString::fromUtf8(m_process->readAllStandardOutput());
        return m_output;
    }
    void kill()
    {
        zdtest::killChild(m_process);
    }
    // As the session ends: the agent says goodbye to its consoles and quits.
    bool terminate()
    {
        if (!m_process)
            return true;
        m_process->terminate();
        const bool ended = QTest::qWaitFor([this] { return m_process->state() == QProcess::NotRunning; }, 30000);
        if (!ended)
            kill();
        m_process.reset();
        return ended;
    }

private:
    bool launch(const QStringList &arguments, const QProcessEnvironment &env)
    {
        m_output.clear();
        m_process = std::make_unique<QProcess>();
        m_process->setProcessEnvironment(env);
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QString agent = m_program.isEmpty() ? program() : m_program;
        if (m_runAs.isEmpty())
            m_process->start(agent, arguments);
        else
            m_process->start(QStringLiteral("setpriv"), m_runAs + QStringList{agent} + arguments);
        return m_process->waitForStarted(10000);
    }
    QTemporaryDir m_home;
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QProcess> m_bus;
    QProcessEnvironment m_env;
    QString m_output;
    quint16 m_port = 0;
    bool m_enroll = true;
    QStringList m_runAs; // setpriv's arguments; empty: as this process
    QString m_owner;
    QString m_program;
};
