#pragma once
// "KestraClient -pair MINUTES" as root of a real agent's computer (its sandbox root),
// its output read and its y/N prompt answered through its standard input.
#include "ZDRealAgent.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

class ZDRootPairingWindow
{
public:
    ZDRootPairingWindow(const QString &root, int minutes)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), root);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(ZDRealAgent::program(), {QStringLiteral("-pair"), QString::number(minutes)});
    }
    ~ZDRootPairingWindow()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }
    QString output()
    {
        m_output += QString::fromUtf8(m_process.readAll());
        return m_output;
    }
    bool waitFor(const QString &text, int timeoutMs = 30000)
    {
        return QTest::qWaitFor([&] { return output().contains(text) || m_process.state() == QProcess::NotRunning; },
                               timeoutMs)
            && output().contains(text);
    }
    // The code and the agent's key root was shown.
    QString shownCode() { return QRegularExpression(QStringLiteral("Pairing code: (\\d{3} \\d{3})")).match(output()).captured(1); }
    QString shownAgentKey() { return QRegularExpression(QStringLiteral("agent key ([0-9a-f]{64})")).match(output()).captured(1); }
    void answer(const QByteArray &line)
    {
        m_process.write(line);
        m_process.waitForBytesWritten(10000);
    }
    int exitCode()
    {
        if (!QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, 120000))
            return -1;
        output();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    QProcess m_process;
    QString m_output;
};

