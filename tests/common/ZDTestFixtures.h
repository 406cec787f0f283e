#pragma once
// Steps that many tests and their helper programs share: finding and running a
// helper, talking to one that stays up, and names no parallel test shares.
#include <QCoreApplication>
#include <QProcess>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>

#include <unistd.h>

namespace zdtest {

// A helper of the tests by name, or any program by its absolute path.
inline QString helperPath(const QString &name)
{
    return name.startsWith(QLatin1Char('/')) ? name : qEnvironmentVariable("KESTRA_TEST_HELPERS") + QLatin1Char('/') + name;
}

#if defined(KESTRA_TEST_SOURCE_DIR) && defined(KESTRA_TEST_BINARY_DIR)
// A file of the source tree, as CMake configured it (KESTRA_SOURCE_DIR overrides).
inline QString sourcePath(const QString &relative)
{
    const QString root = qEnvironmentVariable("KESTRA_SOURCE_DIR", QStringLiteral(KESTRA_TEST_SOURCE_DIR));
    return root + QLatin1Char('/') + relative;
}
// A file of the build folder these tests were built in.
inline QString buildPath(const QString &relative)
{
    return QStringLiteral(KESTRA_TEST_BINARY_DIR) + QLatin1Char('/') + relative;
}
#endif

// Unique per test process, so that parallel tests on one bus never meet.
// A child that crashes on purpose, as the agent's own crash case runs it: the
// sanitizer stands aside so that the fault reaches the child's crash handler.
inline QProcessEnvironment crashingChildEnvironment(QProcessEnvironment env)
{
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":handle_segv=0:handle_abort=0"));
    return env;
}

inline QString uniqueName(const QString &prefix, const char *what)
{
    return prefix + QString::number(QCoreApplication::applicationPid()) + QLatin1String(what);
}

struct Ran
{
    QProcess::ExitStatus status = QProcess::CrashExit;
    int code = -1; // the signal's number after a crash
    QString out;
    QString err;
    int exit() const { return status == QProcess::NormalExit ? code : -1; } // -1: crashed
};

// Runs a program fed `input` to its end (bounded); a hung one is killed and reads as crashed.
inline Ran runProgram(const QString &program, const QStringList &arguments, const QProcessEnvironment &env = {},
                      const QByteArray &input = {})
{
    QProcess p;
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    p.start(program, arguments);
    if (p.waitForStarted(10000)) {
        p.write(input);
        p.closeWriteChannel();
    }
    Ran r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.status = p.exitStatus();
    r.code = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// A helper that stays up until its standard input closes (when this goes).
class HelperProcess
{
public:
    HelperProcess(const QString &helper, const QStringList &args, const QProcessEnvironment &env = {},
                  const std::function<void()> &modifier = {})
    {
        if (!env.isEmpty())
            m_process.setProcessEnvironment(env);
        if (modifier)
            m_process.setChildProcessModifier(modifier);
        m_process.start(helperPath(helper), args);
    }
    ~HelperProcess() { finish(); }
    HelperProcess(const HelperProcess &) = delete;
    HelperProcess &operator=(const HelperProcess &) = delete;
    void finish()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished();
    }
    // Its next line that starts with one of the prefixes, past whatever the log
    // prints on the way; empty when none comes.
    QByteArray line(std::initializer_list<const char *> prefixes = {"ready"}, int timeoutMs = 20000)
    {
        for (;;) {
            while (!m_process.canReadLine()) {
                if (!m_process.waitForReadyRead(timeoutMs))
                    return {};
            }
            const QByteArray l = m_process.readLine().trimmed();
            for (const char *p : prefixes)
                if (l.startsWith(p))
                    return l;
        }
    }
    qint64 pid() const { return m_process.processId(); }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
};

// In a helper: quits the application once the test closes its standard input.
inline void quitWhenInputCloses(QCoreApplication &app)
{
    auto *input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    QObject::connect(input, &QSocketNotifier::activated, &app, [&app] {
        char buf[256];
        if (::read(STDIN_FILENO, buf, sizeof buf) <= 0)
            app.quit();
    });
}

// In a helper: runs "name" or "name=value" commands in order; a leading "qapp"
// makes a QCoreApplication first. The handler answers false for an unknown one.
template <typename Handler>
int runCommands(int argc, char **argv, Handler handle)
{
    std::unique_ptr<QCoreApplication> app;
    int first = 1;
    if (argc > 1 && QByteArray(argv[1]) == "qapp") {
        app = std::make_unique<QCoreApplication>(argc, argv);
        first = 2;
    }
    for (int i = first; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        if (!handle(eq < 0 ? arg : arg.left(eq), eq < 0 ? QString() : arg.mid(eq + 1), app.get())) {
            std::fprintf(stderr, "unknown command %s\n", argv[i]);
            return 2;
        }
    }
    return 0;
}

} // namespace zdtest
