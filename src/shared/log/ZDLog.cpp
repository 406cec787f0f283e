#include "log/ZDLog.h"

#include "log/ZDException.h"
#include "platform/ZDLocalPaths.h"
#include "plist/ZDPropertyList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr quint32 kRotateAtBytes = 500000;
constexpr size_t kMaxOperationsFlushedAtQuit = 20;
constexpr qsizetype kShortMessage = 99;

// Dynamic initialisation runs before main(), so this is the thread that loaded us.
const std::thread::id g_mainThread = std::this_thread::get_id();

void printOut(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
    std::fflush(stdout);
}

QString errnoText(int err)
{
    return QString::fromStdString(std::error_code(err, std::generic_category()).message());
}

// Plain libc, so that records can still be stamped while Qt's statics are torn down at exit.
QString timeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char buf[64];
    if (!::localtime_r(&now, &local) || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &local) == 0)
        return QStringLiteral("1970-01-01 00:00:00 +0000");
    return QString::fromLatin1(buf);
}

QString executablePath()
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    QString path = QString::fromLocal8Bit(buf, qsizetype(n));
    const QLatin1String deleted(" (deleted)");
    if (path.endsWith(deleted))
        path.chop(deleted.size());
    return path;
}

// <X>.app/Contents/MacOS/<exe> -> CFBundleVersion of <X>.app/Contents/Info.plist.
QString bundleVersion(const QString &exe)
{
    const QFileInfo macos(QFileInfo(exe).path());
    if (exe.isEmpty() || macos.fileName() != QLatin1String("MacOS"))
        return {};
    const QFileInfo contents(macos.path());
    if (contents.fileName() != QLatin1String("Contents") || !contents.path().endsWith(QLatin1String(".app")))
        return {};
    const QVariant v = ZDPropertyList::readDictionary(contents.filePath() + QStringLiteral("/Info.plist"))
                           .value(QStringLiteral("CFBundleVersion"));
    return v.typeId() == QMetaType::QString ? v.toString().trimmed() : QString();
}

QString systemLine()
{
    const QString os = QSysInfo::prettyProductName() + QLatin1Char(' ') + QSysInfo::kernelVersion();
    const long cpus = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    const double gb = pages > 0 && pageSize > 0 ? double(pages) * double(pageSize) / 1024.0 / 1024.0 / 1024.0 : 0.0;
    return zdFormat(QStringLiteral("System: %@, %li CPU(s), %0.2f GB RAM"), os, qint64(cpus), gb);
}

bool disabledByPreferences()
{
    const QVariant v = ZDPropertyList::readDictionary(ZDLocalPaths::prefsDirectory(true)
                                                      + QStringLiteral("/com.zendrel.global.plist"))
                           .value(QStringLiteral("disable-logging"));
    if (v.typeId() == QMetaType::QString)
        return v.toString() == QLatin1String("1");
    return v.typeId() == QMetaType::Bool && v.toBool();
}

bool present(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

class LogController
{
public:
    static LogController &instance();

    void createNewLog(const QString &name);
    void enqueue(const QString &message, bool mayWait);
    void finishWriting();
    void willTerminate();

    QString appName() const;
    static QString logFolder();
    QString generationPath(int n) const
    {
        return zdFormat(QStringLiteral("%@/%@.%li.log"), logFolder(), appName(), qint64(n));
    }

    std::atomic<bool> disabled{false};
    std::atomic<quint32> bytesWritten{0};
    std::atomic<quint32> bytesInQueue{0};

private:
    LogController();
    void install();
    static void atExit();
    static void onTerminate();
    static void forkPrepare();
    static void forkParent();
    static void forkChild();

    void hookQuit();
    bool isWriterThread() const { return m_writerId.load() == std::this_thread::get_id(); }
    bool mayBlockHere() const { return std::this_thread::get_id() != g_mainThread && !isWriterThread(); }
    bool ensureWriterLocked();
    void queueFrontLocked(const QStringList &lines);
    void dropOrDrain();
    void shutDown();
    void run();

    // Both need m_fileLock held.
    QStringList startNewFileLocked(const QString &name);
    void writeOneLocked(const QString &text);
    void closeFileLocked();

    // Lock order: m_fileLock before m_queueLock. Enqueueing takes m_queueLock only,
    // so code holding m_fileLock may log (property list reads do).
    std::mutex m_fileLock;
    int m_fd = -1;

    std::mutex m_queueLock;
    std::condition_variable m_work;
    std::condition_variable m_drained;
    std::deque<QString> m_queue;
    size_t m_inFlight = 0;
    bool m_writerRunning = false;
    bool m_stop = false;
    bool m_shutDown = false;
    std::atomic<std::thread::id> m_writerId{};

    mutable std::mutex m_nameLock;
    QString m_appName;
    QString m_defaultName;
    QString m_exePath;

    QPointer<QCoreApplication> m_hookedApp; // main thread only
    std::terminate_handler m_previousTerminate = nullptr;
};

LogController *g_controller = nullptr;
std::once_flag g_once;

LogController &LogController::instance()
{
    std::call_once(g_once, [] {
        // Never deleted: other threads may still be logging while the process exits.
        g_controller = new LogController;
        g_controller->install();
    });
    g_controller->hookQuit();
    return *g_controller;
}

LogController::LogController()
    : m_exePath(executablePath())
{
    m_defaultName = QFileInfo(m_exePath).completeBaseName();
    if (m_defaultName.isEmpty())
        m_defaultName = QStringLiteral("Kestra");
}

void LogController::install()
{
    std::atexit(&LogController::atExit);
    m_previousTerminate = std::set_terminate(&LogController::onTerminate);
    ::pthread_atfork(&LogController::forkPrepare, &LogController::forkParent, &LogController::forkChild);
}

void LogController::hookQuit()
{
    if (std::this_thread::get_id() != g_mainThread)
        return;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || m_hookedApp == app)
        return;
    m_hookedApp = app;
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, [] { g_controller->willTerminate(); });
}

QString LogController::appName() const
{
    std::lock_guard<std::mutex> guard(m_nameLock);
    return m_appName.isEmpty() ? m_defaultName : m_appName;
}

QString LogController::logFolder()
{
    // Root writes beside the computer's own logs rather than in some user's folder.
    return ZDLocalPaths::logDirectory(!ZDLocalPaths::isRoot()) + QStringLiteral("/Zendrel");
}

void LogController::createNewLog(const QString &name)
{
    // Records queued before the rotation belong to the file they were written for.
    finishWriting();
    qsizetype systemLength = 0;
    {
        std::lock_guard<std::mutex> fileGuard(m_fileLock);
        const QStringList header = startNewFileLocked(name);
        if (header.isEmpty())
            return;
        systemLength = header.at(header.size() - 2).size();
        // Still under the file lock: nothing queued earlier may reach the new file first.
        std::lock_guard<std::mutex> queueGuard(m_queueLock);
        queueFrontLocked(header);
    }
    m_work.notify_one();
    // The system line is an ordinary appendLog.
    if (mayBlockHere() && systemLength <= kShortMessage && bytesInQueue.load() <= kShortMessage)
        finishWriting();
}

QStringList LogController::startNewFileLocked(const QString &name)
{
    closeFileLocked();
    if (disabled.load())
        return {};
    if (disabledByPreferences()) {
        printOut(QStringLiteral("Logging is disabled\n"));
        disabled = true;
        return {};
    }
    {
        std::lock_guard<std::mutex> guard(m_nameLock);
        if (m_appName.isEmpty() && !name.isEmpty())
            m_appName = name;
    }
    bytesWritten = 0;

    const QString folder = logFolder();
    const QString current = generationPath(1);
    if (!QDir().mkpath(folder)) {
        printOut(zdFormat(QStringLiteral("Unable to create folder %s.\n"), folder));
        return {};
    }
    if (present(current)) {
        const QString oldest = generationPath(5);
        if (present(oldest))
            ::unlink(QFile::encodeName(oldest).constData());
        for (int n = 4; n >= 1; --n) {
            const QString from = generationPath(n);
            const QString to = generationPath(n + 1);
            if (present(from) && ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
                printOut(zdFormat(QStringLiteral("Unable to move file %s to %s.\n"), from, to));
                return {};
            }
        }
    }
    // A new file of its own, never one planted at the name (nor a link's target). Not
    // written through a temporary and synced: every command starts a log, and a sync
    // of an empty file cost each one about 20 ms.
    const QByteArray encoded = QFile::encodeName(current);
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    m_fd = ::open(encoded.constData(), flags, 0666);
    if (m_fd < 0 && errno == EEXIST && ::unlink(encoded.constData()) == 0)
        m_fd = ::open(encoded.constData(), flags, 0666);
    if (m_fd < 0) {
        printOut(zdFormat(QStringLiteral("Unable to create log file %s - %s\n"), current, errnoText(errno)));
        return {};
    }

    QStringList header;
    header << zdFormat(QStringLiteral("Log started: %@"), timeStamp());
    const QString version = bundleVersion(m_exePath);
    if (!version.isEmpty())
        header << zdFormat(QStringLiteral("Version: %@"), version);
    header << zdFormat(QStringLiteral("Path: %@"), m_exePath);
    header << systemLine();
    header << (sizeof(void *) == 8 ? QStringLiteral("Running in 64-bit mode") : QStringLiteral("Running in 32-bit mode"));
    return header;
}

void LogController::closeFileLocked()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void LogController::enqueue(const QString &message, bool mayWait)
{
    // Switched off: the writer would only drop the line, after being woken for it.
    if (disabled.load(std::memory_order_relaxed))
        return;
    const QString text = message.trimmed();
    if (text.isEmpty())
        return;
    quint32 queued = 0;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        if (m_shutDown || !ensureWriterLocked())
            return;
        m_queue.push_back(text);
        queued = bytesInQueue += quint32(text.size());
    }
    m_work.notify_one();
    if (mayWait && mayBlockHere() && text.size() <= kShortMessage && queued <= kShortMessage)
        finishWriting();
}

void LogController::queueFrontLocked(const QStringList &lines)
{
    if (m_shutDown || !ensureWriterLocked())
        return;
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString text = it->trimmed();
        if (text.isEmpty())
            continue;
        m_queue.push_front(text);
        bytesInQueue += quint32(text.size());
    }
}

bool LogController::ensureWriterLocked()
{
    if (m_writerRunning)
        return true;
    try {
        std::thread writer(&LogController::run, this);
        m_writerId = writer.get_id();
        // Detached: process exit must never meet a joinable thread object.
        writer.detach();
    } catch (...) {
        return false;
    }
    m_writerRunning = true;
    return true;
}

void LogController::run()
{
    ::tzset();
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(m_queueLock);
            m_work.wait(guard, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                break;
        }
        std::lock_guard<std::mutex> fileGuard(m_fileLock);
        QString text;
        {
            std::lock_guard<std::mutex> guard(m_queueLock);
            if (m_queue.empty())
                continue;
            text = std::move(m_queue.front());
            m_queue.pop_front();
            ++m_inFlight;
        }
        writeOneLocked(text);
        std::lock_guard<std::mutex> guard(m_queueLock);
        --m_inFlight;
        bytesInQueue -= quint32(text.size());
        if (m_queue.empty() && m_inFlight == 0)
            m_drained.notify_all();
    }
    std::lock_guard<std::mutex> guard(m_queueLock);
    m_writerRunning = false;
    m_writerId = std::thread::id();
    m_drained.notify_all();
}

void LogController::writeOneLocked(const QString &text)
{
    if (disabled.load())
        return;
    try {
        if (m_fd < 0) {
            const QString current = generationPath(1);
            m_fd = ::open(QFile::encodeName(current).constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
            if (m_fd < 0) {
                printOut(zdFormat(QStringLiteral("Unable to log the following information: %s\n"), text));
                printOut(QStringLiteral("Unable to open log for output\n"));
                return;
            }
        }
        const QByteArray record = (timeStamp() + QStringLiteral(" - ") + text + QLatin1Char('\n')).toUtf8();
        qsizetype done = 0;
        int err = 0;
        while (done < record.size()) {
            const ssize_t n = ::write(m_fd, record.constData() + done, size_t(record.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                err = n < 0 ? errno : ENOSPC;
                break;
            }
            done += n;
        }
        bytesWritten += quint32(done);
        if (err != 0)
            printOut(zdFormat(QStringLiteral("Exception writing to log: %s\n"), errnoText(err)));
        if (bytesWritten.load() >= kRotateAtBytes) {
            // The writer must never wait for its own queue: the notice goes in without waiting,
            // right behind the new file's header.
            QStringList lines = startNewFileLocked(appName());
            lines << QStringLiteral("Log truncated at 500KB");
            std::lock_guard<std::mutex> guard(m_queueLock);
            queueFrontLocked(lines);
        }
    } catch (const std::exception &e) {
        if (!disabled.load())
            printOut(zdFormat(QStringLiteral("Exception writing to log: %s\n"), e.what()));
    } catch (...) {
        if (!disabled.load())
            printOut(QStringLiteral("Exception writing to log: unknown exception\n"));
    }
}

void LogController::finishWriting()
{
    if (isWriterThread())
        return;
    std::unique_lock<std::mutex> guard(m_queueLock);
    m_drained.wait(guard, [this] { return !m_writerRunning || (m_queue.empty() && m_inFlight == 0); });
}

void LogController::dropOrDrain()
{
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        if (m_queue.size() + m_inFlight >= kMaxOperationsFlushedAtQuit) {
            for (const QString &text : m_queue)
                bytesInQueue -= quint32(text.size());
            m_queue.clear();
        }
    }
    finishWriting();
}

void LogController::willTerminate()
{
    dropOrDrain();
    std::lock_guard<std::mutex> fileGuard(m_fileLock);
    closeFileLocked();
}

void LogController::shutDown()
{
    if (isWriterThread())
        return;
    dropOrDrain();
    {
        std::unique_lock<std::mutex> guard(m_queueLock);
        m_shutDown = true;
        m_stop = true;
        m_work.notify_all();
        m_drained.wait(guard, [this] { return !m_writerRunning; });
    }
    std::lock_guard<std::mutex> fileGuard(m_fileLock);
    closeFileLocked();
    std::lock_guard<std::mutex> nameGuard(m_nameLock);
    m_appName.clear();
}

void LogController::atExit()
{
    try {
        g_controller->shutDown();
    } catch (...) {
    }
}

void LogController::onTerminate()
{
    static std::atomic<bool> entered{false};
    if (!entered.exchange(true) && g_controller) {
        try {
            if (std::exception_ptr current = std::current_exception()) {
                QString reason;
                try {
                    std::rethrow_exception(current);
                } catch (const std::exception &e) {
                    reason = ZDException::reasonOf(e);
                } catch (...) {
                    reason = QStringLiteral("unknown exception");
                }
                ZDLog::appendLogAndPrint(reason);
                ZDLog::finishWriting();
            }
        } catch (...) {
        }
    }
    if (g_controller && g_controller->m_previousTerminate)
        g_controller->m_previousTerminate();
    std::abort();
}

// A fork copies neither the writer thread nor a lock another thread holds.
void LogController::forkPrepare()
{
    g_controller->m_fileLock.lock();
    g_controller->m_queueLock.lock();
}

void LogController::forkParent()
{
    g_controller->m_queueLock.unlock();
    g_controller->m_fileLock.unlock();
}

void LogController::forkChild()
{
    g_controller->m_writerRunning = false;
    g_controller->m_inFlight = 0;
    g_controller->m_writerId = std::thread::id();
    g_controller->m_queueLock.unlock();
    g_controller->m_fileLock.unlock();
}

} // namespace

void ZDLog::createNewLog(const QString &name)
{
    try {
        LogController::instance().createNewLog(name);
    } catch (...) {
    }
}

void ZDLog::appendLog(const QString &message)
{
    try {
        LogController::instance().enqueue(message, true);
    } catch (...) {
    }
}

void ZDLog::fastAppendLog(const QString &message)
{
    try {
        LogController::instance().enqueue(message, false);
    } catch (...) {
    }
}

void ZDLog::appendLogAndPrint(const QString &message)
{
    try {
        const QString text = message.trimmed();
        LogController::instance().enqueue(text, true);
        printOut(text + QLatin1Char('\n'));
    } catch (...) {
    }
}

void ZDLog::finishWriting()
{
    try {
        LogController::instance().finishWriting();
    } catch (...) {
    }
}

QStringList ZDLog::availableLogs()
{
    QStringList paths;
    try {
        const LogController &log = LogController::instance();
        for (int n = 1; n <= 5; ++n) {
            const QString path = log.generationPath(n);
            if (QFileInfo::exists(path))
                paths << path;
        }
    } catch (...) {
    }
    return paths;
}

QString ZDLog::appName()
{
    return LogController::instance().appName();
}

QString ZDLog::logFolder()
{
    return LogController::logFolder();
}

bool ZDLog::loggingDisabled()
{
    return LogController::instance().disabled.load();
}

quint32 ZDLog::bytesWritten()
{
    return LogController::instance().bytesWritten.load();
}

quint32 ZDLog::bytesInQueue()
{
    return LogController::instance().bytesInQueue.load();
}
