#pragma once
// Fake agents as child processes. ZDFakeAgent: one zdfake_orvagent, started on
// a port (0: any), its "CALL" lines counted, stopped cleanly or killed. Waiting
// spins the event loop so that the records under test keep working.
// ZDFakeTaskAgent: one zdfake_orvagent --tasks, which records the calls it serves.
#include "ZDTestProcess.h"
#include <QtTest>

#include <memory>

class ZDFakeAgent
{
public:
    explicit ZDFakeAgent(QStringList args = {}) : m_args(std::move(args)) {}
    ~ZDFakeAgent() { stop(); }
    ZDFakeAgent(const ZDFakeAgent &) = delete;
    ZDFakeAgent &operator=(const ZDFakeAgent &) = delete;
    static QString program() { return qEnvironmentVariable("KESTRA_TEST_HELPERS") + QStringLiteral("/zdfake_orvagent"); }
    bool start(quint16 port = 0)
    {
        stop();
        m_lines.clear();
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->start(program(), m_args + QStringList{QStringLiteral("--port"), QString::number(port)});
        if (!m_process->waitForStarted(10000) || !waitForLine(QStringLiteral("PORT "), 20000))
            return false;
        for (const QString &line : std::as_const(m_lines)) {
            if (line.startsWith(QLatin1String("PORT ")))
                m_port = quint16(line.mid(5).toUInt());
        }
        return m_port != 0;
    }
    quint16 port() const { return m_port; }
    bool waitForLine(const QString &prefix, int ms = 30000)
    {
        return QTest::qWaitFor([&] { return drain(), countLines(prefix) > 0; }, ms);
    }
    int calls(const QString &op)
    {
        drain();
        return countLines(QStringLiteral("CALL ") + op);
    }
    void send(const QByteArray &command)
    {
        if (m_process)
            m_process->write(command + '\n');
    }
    // As a crash would: no goodbye.
    void kill()
    {
        zdtest::killChild(m_process);
    }
    // End of input: the agent withdraws and quits.
    void stop()
    {
        if (!m_process)
            return;
        m_process->closeWriteChannel();
        if (!m_process->waitForFinished(10000))
            m_process->kill();
        m_process->waitForFinished(10000);
        m_process.reset();
    }

private:
    void drain()
    {
        if (!m_process)
            return;
        m_buffer += m_process->readAllStandardOutput();
        qsizetype nl;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            m_lines << QString::fromUtf8(m_buffer.left(nl));
            m_buffer.remove(0, nl + 1);
        }
    }
    int countLines(const QString &prefix) const
    {
        int n = 0;
        for (const QString &line : m_lines)
            n += line.startsWith(prefix) ? 1 : 0;
        return n;
    }
    QStringList m_args;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_buffer;
    QStringList m_lines;
    quint16 m_port = 0;
};

struct ZDFakeTaskAgent
{
    QString host;
    quint16 port = 0; // 0 before the first start: any
    std::unique_ptr<QProcess> process;
    ZDFakeTaskAgent(QString hostName = {}) : host(std::move(hostName)) {}
    ZDFakeTaskAgent(ZDFakeTaskAgent &&) = default;
    ZDFakeTaskAgent &operator=(ZDFakeTaskAgent &&) = default;
    ~ZDFakeTaskAgent() { kill(); }
    // An administrator `user` whose password is in `passwordFile`, if given; again on the same port.
    bool start(const QString &user = {}, const QString &passwordFile = {})
    {
        kill();
        QStringList args{QStringLiteral("--tasks"), QStringLiteral("--host"), host, QStringLiteral("--port"), QString::number(port)};
        if (!user.isEmpty())
            args << QStringLiteral("--user") << user << QStringLiteral("--password-file") << passwordFile;
        process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(ZDFakeAgent::program(), args);
        if (!process->waitForStarted(10000) || !process->waitForReadyRead(20000))
            return false;
        const QByteArray line = process->readLine().trimmed();
        if (!line.startsWith("PORT "))
            return false;
        port = quint16(line.mid(5).toUInt());
        return port != 0;
    }
    void kill()
    {
        zdtest::killChild(process);
    }
};
