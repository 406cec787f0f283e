#include "log/ZDCrashHandler.h"

#include "platform/ZDLocalPaths.h"
#include "platform/ZDMainBundle.h"
#include "platform/ZDNoFollow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>

#include <execinfo.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
constexpr int kMaxFrames = 128;

// Prepared at install time: the handler may not allocate.
struct Prepared
{
    char folder[4096] = {};
    char name[256] = {};
    // The report folder, opened at install time: the handler writes by descriptor.
    int folderFd = -1;
    char header[8192] = {};
    size_t headerLength = 0;
    struct sigaction previous[std::size(kFatalSignals)] = {};
};

Prepared g_prepared;
std::once_flag g_once;
std::atomic<bool> g_installed{false};
QString g_reportName;
QString g_reportFolder;

// The thread writing the report; 0 while none is.
std::atomic<pid_t> g_crashingThread{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

// Large enough for backtrace() after a stack overflow.
alignas(16) char g_alternateStack[64 * 1024];

// Fixed-size text built without allocating, flushed with write(2).
class SafeText
{
public:
    void add(const char *s)
    {
        while (s && *s && m_length < sizeof m_buffer)
            m_buffer[m_length++] = *s++;
    }
    void addNumber(uint64_t value, int minDigits = 1, unsigned base = 10)
    {
        char digits[32];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0 && n < int(sizeof digits));
        while (n < minDigits && n < int(sizeof digits))
            digits[n++] = '0';
        while (n > 0 && m_length < sizeof m_buffer)
            m_buffer[m_length++] = digits[--n];
    }
    void addSigned(int64_t value)
    {
        if (value < 0) {
            add("-");
            addNumber(uint64_t(-(value + 1)) + 1);
        } else {
            addNumber(uint64_t(value));
        }
    }
    void addHex(uintptr_t value)
    {
        add("0x");
        addNumber(value, int(sizeof value * 2), 16);
    }
    const char *terminated()
    {
        m_buffer[m_length < sizeof m_buffer ? m_length : sizeof m_buffer - 1] = '\0';
        return m_buffer;
    }
    void writeTo(int fd) const
    {
        size_t done = 0;
        while (done < m_length) {
            const ssize_t n = ::write(fd, m_buffer + done, m_length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            done += size_t(n);
        }
    }

private:
    char m_buffer[4096];
    size_t m_length = 0;
};

struct CivilTime
{
    int64_t year;
    unsigned month, day, hour, minute, second;
};

// Days-from-civil inverted; gmtime_r is not async-signal-safe.
CivilTime civilFromEpoch(int64_t seconds)
{
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = unsigned(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    return {int64_t(yoe) + era * 400 + (month <= 2 ? 1 : 0), month, day, unsigned(rest / 3600),
            unsigned(rest % 3600 / 60), unsigned(rest % 60)};
}

const char *signalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV (Segmentation fault)";
    case SIGBUS: return "SIGBUS (Bus error)";
    case SIGILL: return "SIGILL (Illegal instruction)";
    case SIGFPE: return "SIGFPE (Arithmetic exception)";
    case SIGABRT: return "SIGABRT (Aborted)";
    case SIGTRAP: return "SIGTRAP (Trace/breakpoint trap)";
    case SIGSYS: return "SIGSYS (Bad system call)";
    default: return "unknown signal";
    }
}

int signalIndex(int sig)
{
    for (size_t i = 0; i < std::size(kFatalSignals); ++i)
        if (kFatalSignals[i] == sig)
            return int(i);
    return -1;
}

// Gives the signal back to whoever had it before us, or to the default action.
void restoreAndRaise(int sig)
{
    const int index = signalIndex(sig);
    struct sigaction action = {};
    if (index >= 0)
        action = g_prepared.previous[index];
    if (index < 0 || action.sa_handler == SIG_IGN) {
        action = {};
        action.sa_handler = SIG_DFL;
    }
    ::sigaction(sig, &action, nullptr);
    // Still blocked while the handler runs: delivered as it returns (or the fault repeats).
    ::raise(sig);
}

// "YYYY-MM-DD<between>HH<inTime>MM<inTime>SS"
void addTime(SafeText &text, const CivilTime &t, const char *between, const char *inTime)
{
    text.addSigned(t.year);
    text.add("-");
    text.addNumber(t.month, 2);
    text.add("-");
    text.addNumber(t.day, 2);
    text.add(between);
    text.addNumber(t.hour, 2);
    text.add(inTime);
    text.addNumber(t.minute, 2);
    text.add(inTime);
    text.addNumber(t.second, 2);
}

int openReport(const CivilTime &t, SafeText &path)
{
    for (int attempt = 1; attempt <= 9; ++attempt) {
        SafeText candidate;
        candidate.add(g_prepared.name);
        candidate.add("_");
        addTime(candidate, t, "-", "");
        // "_2" sorts after the plain name, so the newest stays last.
        if (attempt > 1) {
            candidate.add("_");
            candidate.addNumber(unsigned(attempt));
        }
        candidate.add(".crash");
        const int fd = ::openat(g_prepared.folderFd, candidate.terminated(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            path.add(g_prepared.folder);
            path.add("/");
            path.add(candidate.terminated());
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Index of the frame of the interrupted instruction, 0 when it cannot be told.
int firstInterruptedFrame(void *const *frames, int count, const void *context)
{
#if defined(__x86_64__)
    if (!context)
        return 0;
    const auto pc = uintptr_t(static_cast<const ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP]);
    for (int i = 0; i < count; ++i) {
        if (uintptr_t(frames[i]) == pc)
            return i;
    }
#else
    (void)frames;
    (void)count;
    (void)context;
#endif
    return 0;
}

void writeReport(int sig, const siginfo_t *info, const void *context)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const CivilTime t = civilFromEpoch(int64_t(now.tv_sec));

    SafeText path;
    const int fd = openReport(t, path);

    SafeText notice;
    notice.add(g_prepared.name);
    notice.add(": fatal signal ");
    notice.add(signalName(sig));
    if (fd >= 0) {
        notice.add("; crash report ");
        notice.add(path.terminated());
    }
    notice.add("\n");
    notice.writeTo(STDERR_FILENO);
    if (fd < 0)
        return;

    SafeText text;
    text.add("Process:         ");
    text.add(g_prepared.name);
    text.add(" [");
    text.addNumber(uint64_t(::getpid()));
    text.add("]\n");
    text.writeTo(fd);
    (void)!::write(fd, g_prepared.header, g_prepared.headerLength);

    text = SafeText();
    text.add("Date/Time:       ");
    addTime(text, t, " ", ":");
    text.add(" +0000\n");
    text.add("Crashed Thread:  ");
    text.addNumber(uint64_t(::gettid()));
    char threadName[17] = {};
    if (::prctl(PR_GET_NAME, threadName, 0, 0, 0) == 0 && threadName[0]) {
        text.add(" (");
        text.add(threadName);
        text.add(")");
    }
    text.add("\n\nException Type:  ");
    text.add(signalName(sig));
    text.add("\nException Codes: code ");
    text.addSigned(info ? info->si_code : 0);
    if (info && (sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGTRAP)) {
        text.add(" at ");
        text.addHex(reinterpret_cast<uintptr_t>(info->si_addr));
    }
    if (info && info->si_code <= 0) {
        text.add(", sent by pid ");
        text.addSigned(info->si_pid);
    }
    // The crashed thread's frames under a "Thread N Crashed:" heading, from the
    // interrupted instruction on (the handler's own frames are left out when found).
    text.add("\n\nBacktrace:\nThread ");
    text.addNumber(uint64_t(::gettid()));
    text.add(" Crashed:\n");
    text.writeTo(fd);

    void *frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    const int first = firstInterruptedFrame(frames, count, context);
    ::backtrace_symbols_fd(frames + first, count - first, fd);
    ::close(fd);
}

void onFatalSignal(int sig, siginfo_t *info, void *context)
{
    const int savedErrno = errno;
    const pid_t self = ::gettid();
    pid_t expected = 0;
    if (!g_crashingThread.compare_exchange_strong(expected, self)) {
        // The report writer itself failed: give up on the report.
        if (expected == self) {
            restoreAndRaise(sig);
            return;
        }
        // Another thread is writing the report and will end the process.
        for (;;)
            ::pause();
    }
    writeReport(sig, info, context);
    restoreAndRaise(sig);
    errno = savedErrno;
}

void copyInto(char *target, size_t size, const QByteArray &source)
{
    const size_t n = std::min(size - 1, size_t(source.size()));
    std::memcpy(target, source.constData(), n);
    target[n] = '\0';
}

QString safeFileName(QString name)
{
    for (QChar &c : name)
        if (c == QLatin1Char('/') || c.unicode() < 0x20)
            c = QLatin1Char('_');
    return name.isEmpty() ? QStringLiteral("Kestra") : name;
}

QString reportFolderFor(bool root)
{
    return ZDLocalPaths::logDirectory(!root) + QStringLiteral("/DiagnosticReports");
}

bool installOnce(const QString &requestedName)
{
    g_reportName = safeFileName(requestedName.isEmpty() ? ZDMainBundle::name() : requestedName);
    g_reportFolder = reportFolderFor(ZDLocalPaths::isRoot());
    ZDOwnedFd folder;
    if (ZDLocalPaths::isRoot()) {
        // Root's reports are the computer's: never made in, or handed over through, a
        // folder another user controls. Each component is opened without following links.
        const QString root = ZDLocalPaths::systemRoot();
        folder = ZDNoFollow::openFolder(root, g_reportFolder.mid(root == QLatin1String("/") ? 0 : root.size()), true, 0755);
    } else if (QDir().mkpath(g_reportFolder)) {
        folder = ZDOwnedFd(::open(QFile::encodeName(g_reportFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!folder.isValid())
        return false;
    g_prepared.folderFd = folder.release(); // for the life of the process

    copyInto(g_prepared.folder, sizeof g_prepared.folder, QFile::encodeName(g_reportFolder));
    copyInto(g_prepared.name, sizeof g_prepared.name, QFile::encodeName(g_reportName));

    QString version = ZDMainBundle::versionText();
    if (version.isEmpty())
        version = QCoreApplication::applicationVersion();
    if (version.isEmpty())
        version = QStringLiteral("unknown");
    QString identifier = ZDMainBundle::identifier();
    if (identifier.isEmpty())
        identifier = g_reportName;
    const QString header = QStringLiteral("Path:            %1\n"
                                          "Identifier:      %2\n"
                                          "Version:         %3\n"
                                          "OS Version:      %4 (%5 %6)\n")
                               .arg(ZDMainBundle::executablePath(), identifier, version,
                                    QSysInfo::prettyProductName(), QSysInfo::kernelType(),
                                    QSysInfo::kernelVersion());
    copyInto(g_prepared.header, sizeof g_prepared.header, header.toUtf8());
    g_prepared.headerLength = std::strlen(g_prepared.header);

    // The first backtrace() loads the unwinder, which allocates: do it now.
    void *warmUp[2];
    ::backtrace(warmUp, 2);

    // A stack overflow leaves no stack for the handler on this thread.
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        stack_t alternate{};
        alternate.ss_sp = g_alternateStack;
        alternate.ss_size = sizeof g_alternateStack;
        ::sigaltstack(&alternate, nullptr);
    }

    for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
        struct sigaction action = {};
        action.sa_sigaction = &onFatalSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(kFatalSignals[i], &action, &g_prepared.previous[i]);
    }
    return true;
}

} // namespace

bool ZDCrashHandler::install(const QString &name)
{
    std::call_once(g_once, [&name] { g_installed = installOnce(name); });
    return g_installed.load();
}

bool ZDCrashHandler::isInstalled()
{
    return g_installed;
}

QString ZDCrashHandler::reportName()
{
    return g_installed ? g_reportName : QString();
}

QString ZDCrashHandler::reportFolder()
{
    return g_installed ? g_reportFolder : reportFolderFor(ZDLocalPaths::isRoot());
}
