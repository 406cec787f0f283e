#include "process/ZDChildProcess.h"
#include "process/ZDCStringArray.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

ZDChildProcess::Fd &ZDChildProcess::Fd::operator=(Fd &&other) noexcept
{
    if (this != &other) {
        reset();
        m_fd = other.release();
    }
    return *this;
}

int ZDChildProcess::Fd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void ZDChildProcess::Fd::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

namespace {

[[noreturn]] void throwErrno(int error, const char *what)
{
    throw std::system_error(error, std::generic_category(), what);
}

struct Pipe
{
    ZDChildProcess::Fd read;
    ZDChildProcess::Fd write;
};

// A caller with closed standard descriptors would get pipes on 0..2, where the
// child's dup2 sequence could overwrite one with another.
ZDChildProcess::Fd aboveStandard(ZDChildProcess::Fd fd)
{
    if (fd.get() > STDERR_FILENO)
        return fd;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        throwErrno(errno, "fcntl");
    return ZDChildProcess::Fd(moved);
}

Pipe makePipe()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throwErrno(errno, "pipe2");
    ZDChildProcess::Fd read(fds[0]);
    ZDChildProcess::Fd write(fds[1]);
    return {aboveStandard(std::move(read)), aboveStandard(std::move(write))};
}

class FileActions
{
public:
    FileActions()
    {
        if (const int rc = ::posix_spawn_file_actions_init(&m_actions))
            throwErrno(rc, "posix_spawn_file_actions_init");
    }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&m_actions); }
    FileActions(const FileActions &) = delete;
    FileActions &operator=(const FileActions &) = delete;

    void dup2(int fd, int target) { check(::posix_spawn_file_actions_adddup2(&m_actions, fd, target)); }
    void openNull(int target, int flags)
    {
        check(::posix_spawn_file_actions_addopen(&m_actions, target, "/dev/null", flags, 0));
    }
    // Descriptors another library opened without O_CLOEXEC must not reach the child.
    void closeFrom(int first) { check(::posix_spawn_file_actions_addclosefrom_np(&m_actions, first)); }
    const posix_spawn_file_actions_t *get() const { return &m_actions; }

private:
    static void check(int rc)
    {
        if (rc)
            throwErrno(rc, "posix_spawn_file_actions");
    }
    posix_spawn_file_actions_t m_actions;
};

class SpawnAttributes
{
public:
    SpawnAttributes()
    {
        if (const int rc = ::posix_spawnattr_init(&m_attr))
            throwErrno(rc, "posix_spawnattr_init");
        // The caller's thread may block or ignore signals; the child starts clean,
        // otherwise a blocked SIGTERM would make it unstoppable.
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        int rc = ::posix_spawnattr_setsigmask(&m_attr, &none);
        if (!rc)
            rc = ::posix_spawnattr_setsigdefault(&m_attr, &all);
        if (!rc)
            rc = ::posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (rc) {
            ::posix_spawnattr_destroy(&m_attr);
            throwErrno(rc, "posix_spawnattr");
        }
    }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&m_attr); }
    SpawnAttributes(const SpawnAttributes &) = delete;
    SpawnAttributes &operator=(const SpawnAttributes &) = delete;
    const posix_spawnattr_t *get() const { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
};


void connectOutput(FileActions &actions, ZDChildProcess::Output mode, std::optional<Pipe> &pipe, int target)
{
    switch (mode) {
    case ZDChildProcess::Output::Null:
        actions.openNull(target, O_WRONLY);
        break;
    case ZDChildProcess::Output::Pipe:
        pipe = makePipe();
        actions.dup2(pipe->write.get(), target);
        break;
    case ZDChildProcess::Output::Inherit:
        break;
    }
}

int decodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return WTERMSIG(status);
    return -1;
}

} // namespace

ZDChildProcess::Started ZDChildProcess::start(const Options &options)
{
    Pipe input = makePipe();
    std::optional<Pipe> output;
    std::optional<Pipe> error;

    FileActions actions;
    actions.dup2(input.read.get(), STDIN_FILENO);
    connectOutput(actions, options.standardOutput, output, STDOUT_FILENO);
    connectOutput(actions, options.standardError, error, STDERR_FILENO);
    actions.closeFrom(STDERR_FILENO + 1);
    SpawnAttributes attributes;

    ZDCStringArray argv;
    argv.append(options.path);
    for (const QString &a : options.arguments)
        argv.append(a);
    ZDCStringArray envp;
    if (options.environment) {
        for (auto it = options.environment->cbegin(); it != options.environment->cend(); ++it)
            envp.append(it.key() + QLatin1Char('=') + it.value());
    }

    const QByteArray path = options.path.toLocal8Bit();
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, path.constData(), actions.get(), attributes.get(), argv.pointers(),
                                 options.environment ? envp.pointers() : environ);
    if (rc)
        throwErrno(rc, "posix_spawn");

    Started started;
    started.child = std::shared_ptr<ZDChildProcess>(new ZDChildProcess(pid, options.path));
    if (output)
        started.standardOutput = std::move(output->read);
    if (error)
        started.standardError = std::move(error->read);
    return started;
}

ZDChildProcess::~ZDChildProcess()
{
    // Nobody can signal it any more, so a plain waitpid cannot hit a reused pid.
    if (!m_reaped) {
        const pid_t pid = m_pid;
        try {
            std::thread([pid] {
                int status = 0;
                while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        } catch (...) {
        }
    }
}

bool ZDChildProcess::hasExitedLocked() const
{
    if (m_reaped)
        return true;
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    int rc;
    do {
        rc = ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (rc < 0 && errno == EINTR);
    // ECHILD: reaped behind our back; treat as gone.
    return rc < 0 || info.si_pid != 0;
}

bool ZDChildProcess::isRunning() const
{
    std::lock_guard lock(m_mutex);
    return !hasExitedLocked();
}

bool ZDChildProcess::terminate()
{
    std::lock_guard lock(m_mutex);
    if (hasExitedLocked())
        return false;
    return ::kill(m_pid, SIGTERM) == 0;
}

bool ZDChildProcess::kill()
{
    std::lock_guard lock(m_mutex);
    if (hasExitedLocked())
        return false;
    return ::kill(m_pid, SIGKILL) == 0;
}

int ZDChildProcess::waitForExit()
{
    // Wait without reaping so the pid stays ours until the lock is held.
    siginfo_t info;
    int rc;
    do {
        std::memset(&info, 0, sizeof info);
        rc = ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT);
    } while (rc < 0 && errno == EINTR);

    std::lock_guard lock(m_mutex);
    if (!m_reaped) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(m_pid, &status, 0);
        } while (r < 0 && errno == EINTR);
        m_reaped = true;
        m_status = r == m_pid ? decodeStatus(status) : -1;
    }
    return m_status;
}

void ZDChildProcess::reapInBackground(std::shared_ptr<ZDChildProcess> child)
{
    if (!child)
        return;
    if (!child->isRunning()) {
        child->waitForExit();
        return;
    }
    try {
        std::thread([c = std::move(child)] { c->waitForExit(); }).detach();
    } catch (...) {
        // No thread to spare: the destructor's reaper is the last resort.
    }
}
