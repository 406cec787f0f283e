#pragma once
// One zdfake_orvagent child process: started on a port (0: any), its "CALL"
// lines counted, stopped cleanly or killed. Waiting spins the event loop so
// that the records under test keep working.
#include <QProcess>
#include <QStringList>
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
        if (!m_process)
            return;
        m_process->kill();
        m_process->waitForFinished(10000);
        m_process.reset();
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
