#include "process/ZDPseudoTerminal.h"
#include "process/ZDCStringArray.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void throwErrno(int error, const char *what)
{
    throw std::system_error(error, std::generic_category(), what);
}

class SpawnActions
{
public:
    SpawnActions() { ::posix_spawn_file_actions_init(&m_actions); }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&m_actions); }
    SpawnActions(const SpawnActions &) = delete;
    SpawnActions &operator=(const SpawnActions &) = delete;
    posix_spawn_file_actions_t *get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

class SpawnAttributes
{
public:
    SpawnAttributes() { ::posix_spawnattr_init(&m_attributes); }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&m_attributes); }
    SpawnAttributes(const SpawnAttributes &) = delete;
    SpawnAttributes &operator=(const SpawnAttributes &) = delete;
    posix_spawnattr_t *get() { return &m_attributes; }

private:
    posix_spawnattr_t m_attributes;
};


} // namespace

ZDPseudoTerminal::ZDPseudoTerminal(const QString &path, const QStringList &arguments,
                                   const QMap<QString, QString> &environment)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        throwErrno(errno, "posix_openpt");
    char slaveName[128];
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 || ::ptsname_r(m_master, slaveName, sizeof slaveName) != 0) {
        const int error = errno;
        ::close(m_master);
        throwErrno(error, "pseudo-terminal");
    }
    // Whatever is typed into the terminal must never be echoed back as output.
    termios settings {};
    if (::tcgetattr(m_master, &settings) == 0) {
        settings.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL);
        ::tcsetattr(m_master, TCSANOW, &settings);
    }

    SpawnActions actions;
    SpawnAttributes attributes;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setsigdefault(attributes.get(), &all);
    // A new session leader that opens a terminal makes it its controlling terminal.
    ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    ::posix_spawn_file_actions_addopen(actions.get(), 0, slaveName, O_RDWR, 0);
    ::posix_spawn_file_actions_adddup2(actions.get(), 0, 1);
    ::posix_spawn_file_actions_adddup2(actions.get(), 0, 2);
    ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);

    const QByteArray program = QFile::encodeName(path);
    ZDCStringArray argv;
    argv.append(program);
    for (const QString &a : arguments)
        argv.append(a.toUtf8());
    ZDCStringArray envp;
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        envp.append((it.key() + QLatin1Char('=') + it.value()).toUtf8());

    const int rc = ::posix_spawn(&m_pid, program.constData(), actions.get(), attributes.get(), argv.pointers(), envp.pointers());
    if (rc != 0) {
        ::close(m_master);
        m_master = -1;
        throwErrno(rc, "posix_spawn");
    }
    // Tells when the child ends even if something it left behind keeps the terminal open.
    // (glibc 2.36 declares pidfd_open without C linkage, hence the raw call.)
    m_pidfd = int(::syscall(SYS_pidfd_open, m_pid, 0));
}

ZDPseudoTerminal::~ZDPseudoTerminal()
{
    if (!m_reaped) {
        hangUp();
        wait();
    }
    if (m_master >= 0)
        ::close(m_master);
    if (m_pidfd >= 0)
        ::close(m_pidfd);
}

ZDPseudoTerminal::ReadResult ZDPseudoTerminal::read(char *buffer, size_t capacity, size_t &count,
                                                    Clock::time_point deadline)
{
    count = 0;
    if (m_master < 0)
        return ReadResult::Closed;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return ReadResult::TimedOut;
        pollfd fd {m_master, POLLIN, 0};
        const int ready = ::poll(&fd, 1, int(std::min<long long>(left, 60 * 1000)));
        if (ready < 0 && errno != EINTR)
            return ReadResult::Closed;
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(m_master, buffer, capacity);
        if (n > 0) {
            count = size_t(n);
            return ReadResult::Data;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        // EIO: the last holder of the other side has closed it.
        return ReadResult::Closed;
    }
}

bool ZDPseudoTerminal::write(const char *data, size_t size)
{
    while (size > 0 && m_master >= 0) {
        const ssize_t n = ::write(m_master, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return size == 0;
}

void ZDPseudoTerminal::drain()
{
    char chunk[4096];
    while (m_master >= 0) {
        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_pidfd, POLLIN, 0}}; // poll skips -1
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (!fds[0].revents)
            continue;
        const ssize_t n = ::read(m_master, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return;
    }
}

void ZDPseudoTerminal::hangUp()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
    // Only while unreaped is the process id surely still ours.
    if (!m_reaped && m_pid > 0)
        ::kill(m_pid, SIGTERM);
}

int ZDPseudoTerminal::wait()
{
    if (m_reaped || m_pid <= 0)
        return m_status;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(m_pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    m_reaped = true;
    if (r != m_pid)
        m_status = -1;
    else if (WIFEXITED(status))
        m_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        m_status = 128 + WTERMSIG(status);
    return m_status;
}
