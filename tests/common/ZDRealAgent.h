#pragma once
// The real KestraClient as a child process in a home of its own (system root,
// HOME and XDG folders in a temporary folder), listening on a fixed port set in
// its preferences so that it comes back on the same port after a kill.
#include "ZDPropertyList.h"
#include "ZDTestProcess.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class ZDRealAgent
{
public:
    ZDRealAgent() = default;
    ~ZDRealAgent() { kill(); }
    ZDRealAgent(const ZDRealAgent &) = delete;
    ZDRealAgent &operator=(const ZDRealAgent &) = delete;

    static QString program()
    {
        return qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/KestraClient.app/Contents/MacOS/KestraClient");
    }
    static bool exists() { return QFileInfo(program()).isExecutable(); }

    // A port nobody listens on right now.
    static quint16 freePort()
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return 0;
        return probe.serverPort();
    }

    bool start(quint16 port)
    {
        kill();
        if (!m_home.isValid())
            return false;
        m_port = port;
        m_output.clear();
        const QString config = m_home.filePath(QStringLiteral("home/.config"));
        QDir().mkpath(config);
        if (!ZDPropertyList::writeFile(config + QStringLiteral("/com.zendrel.KestraClient.plist"),
                                       QVariantMap{{QStringLiteral("customPortSet"), 1},
                                                   {QStringLiteral("customPort"), int(port)},
                                                   {QStringLiteral("showMenuBarIcon"), 0}}))
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
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
        m_process = std::make_unique<QProcess>();
        m_process->setProcessEnvironment(env);
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->start(program(), {});
        if (!m_process->waitForStarted(10000))
            return false;
        return QTest::qWaitFor([this] {
            m_output += QString::fromUtf8(m_process->readAllStandardOutput());
            return m_output.contains(QStringLiteral("Listening on port %1").arg(m_port))
                || m_process->state() == QProcess::NotRunning;
        }, 30000) && m_process->state() == QProcess::Running;
    }

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
    QTemporaryDir m_home;
    std::unique_ptr<QProcess> m_process;
    QString m_output;
    quint16 m_port = 0;
};
