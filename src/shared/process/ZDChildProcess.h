#pragma once
// One child process: started with posix_spawn, signalled and reaped without
// a pid-reuse race. A signal is only sent under the lock that reaping takes,
// while the child is known to be alive and unreaped.
#include <QMap>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>

class ZDChildProcess
{
public:
    // An owned file descriptor, closed on destruction.
    class Fd
    {
    public:
        Fd() = default;
        explicit Fd(int fd) : m_fd(fd) {}
        Fd(Fd &&other) noexcept : m_fd(other.release()) {}
        Fd &operator=(Fd &&other) noexcept;
        Fd(const Fd &) = delete;
        Fd &operator=(const Fd &) = delete;
        ~Fd() { reset(); }

        int get() const { return m_fd; }
        bool isOpen() const { return m_fd >= 0; }
        int release();
        void reset();

    private:
        int m_fd = -1;
    };

    enum class Output { Null, Pipe, Inherit };

    struct Options
    {
        QString path;
        QStringList arguments;
        std::optional<QMap<QString, QString>> environment; // replaces the inherited one when set
        Output standardOutput = Output::Null;
        Output standardError = Output::Null;
    };

    struct Started
    {
        std::shared_ptr<ZDChildProcess> child;
        Fd standardOutput; // read ends, open only for Output::Pipe
        Fd standardError;
    };

    // The child's standard input is a pipe whose write end is closed at once, so
    // it reads end of file and never the caller's input. Throws std::system_error.
    static Started start(const Options &options);

    ZDChildProcess(const ZDChildProcess &) = delete;
    ZDChildProcess &operator=(const ZDChildProcess &) = delete;
    ~ZDChildProcess();

    pid_t pid() const { return m_pid; }
    const QString &path() const { return m_path; }

    // Neither exited nor reaped.
    bool isRunning() const;
    // SIGTERM, only to a child still running. True when the signal was sent.
    bool terminate();
    // SIGKILL, for a child that ignored SIGTERM.
    bool kill();
    // Blocks until the child ends, reaps it and returns its exit status, or the
    // number of the signal that ended it; -1 if someone else reaped it.
    int waitForExit();
    // Reaps now when the child has ended, otherwise on a detached thread.
    static void reapInBackground(std::shared_ptr<ZDChildProcess> child);

private:
    ZDChildProcess(pid_t pid, QString path) : m_pid(pid), m_path(std::move(path)) {}
    bool hasExitedLocked() const;

    const pid_t m_pid;
    const QString m_path;
    mutable std::mutex m_mutex;
    bool m_reaped = false;
    int m_status = -1;
};
