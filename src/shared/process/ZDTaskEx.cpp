#include "process/ZDTaskEx.h"

#include "process/ZDChildProcess.h"
#include "log/ZDException.h"
#include "log/ZDLog.h"
#include "log/ZDSystemLog.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kNotExecutable = QStringLiteral("Error: %@ is not executable");
const QString kException = QStringLiteral("Exception running task %@: %@");

constexpr size_t kChunkSize = 64 * 1024;

using Fd = ZDChildProcess::Fd;

QString reasonOf(const std::exception &e)
{
    return QString::fromLocal8Bit(e.what());
}

void reportNotExecutableToSystemLog(const QString &path)
{
    zdSystemLog(zdFormat(kNotExecutable, path));
    ZDLog::appendLog(kNotExecutable, path);
}

[[noreturn]] void throwErrno(const char *what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Stores the child in the caller's slot for the duration of a run.
class SlotGuard
{
public:
    SlotGuard(ZDTaskHandle *slot, std::shared_ptr<ZDChildProcess> child) : m_slot(slot)
    {
        if (m_slot)
            m_slot->set(std::move(child));
    }
    ~SlotGuard()
    {
        if (m_slot)
            m_slot->clear();
    }
    SlotGuard(const SlotGuard &) = delete;
    SlotGuard &operator=(const SlotGuard &) = delete;

private:
    ZDTaskHandle *m_slot;
};

// Appends one read's worth to the buffer; false at end of file.
bool readChunk(Fd &fd, QByteArray &buffer)
{
    char chunk[kChunkSize];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n > 0) {
            buffer.append(chunk, n);
            return true;
        }
        if (n == 0)
            return false;
        if (errno == EAGAIN)
            return true;
        if (errno != EINTR)
            throwErrno("read");
    }
}

// Drains both pipes together so a child blocked on a full one can never stall us.
void readToEnd(Fd &out, QByteArray &outData, Fd &err, QByteArray &errData)
{
    while (out.isOpen() || err.isOpen()) {
        pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}}; // poll ignores -1
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("poll");
        }
        if (fds[0].revents && !readChunk(out, outData))
            out.reset();
        if (fds[1].revents && !readChunk(err, errData))
            err.reset();
    }
}

QString decode(const QByteArray &data, ZDStringEncoding encoding)
{
    switch (encoding) {
    case ZDStringEncoding::Utf8:
        return QString::fromUtf8(data);
    case ZDStringEncoding::Latin1:
        return QString::fromLatin1(data);
    case ZDStringEncoding::Ascii:
        break;
    }
    QString text(data.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char c : data)
        *out++ = static_cast<unsigned char>(c) < 0x80 ? QChar(QLatin1Char(c)) : QChar(QChar::ReplacementCharacter);
    return text;
}

constexpr std::chrono::seconds kKillGrace(5);

std::chrono::seconds clampedTimeout(std::chrono::seconds timeout)
{
    // Far enough to mean "never" without overflowing the clock's arithmetic.
    constexpr std::chrono::seconds kLongest(std::int64_t(100) * 365 * 24 * 3600);
    return std::clamp(timeout, std::chrono::seconds(0), kLongest);
}

// Wakes the streaming thread out of poll() when the stream is terminated.
class Wakeup
{
public:
    Wakeup() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (!m_fd.isOpen())
            throwErrno("eventfd");
    }
    int fd() const { return m_fd.get(); }
    void signal()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_fd.get(), &one, sizeof one);
    }

private:
    Fd m_fd;
};

} // namespace

struct ZDTaskEx::State
{
    std::mutex runMutex; // one timed run at a time
    ZDTaskHandle task;

    std::mutex mutex; // the fields of the current stream
    Delegate delegate;
    QVariant object;
    std::uint64_t generation = 0; // bumped by every start and termination
    std::optional<ZDChildProcess::Options> pending;
    std::shared_ptr<Wakeup> wakeup;

    std::mutex threadMutex;
    std::thread thread;

    // Stops the stream of `generation`, or the current one when none is given.
    void terminateStream(std::optional<std::uint64_t> ofGeneration = std::nullopt);
    void deliver(ZDTaskEx *runner, std::uint64_t gen, const QByteArray &chunk);
    void launchAsyncTask(ZDTaskEx *runner, std::uint64_t gen, const Wakeup &wake);
};

void ZDTaskEx::State::terminateStream(std::optional<std::uint64_t> ofGeneration)
{
    // Released outside the lock: their destructors may call back into the runner.
    Delegate oldDelegate;
    QVariant oldObject;
    std::shared_ptr<Wakeup> wake;
    {
        std::lock_guard lock(mutex);
        if (ofGeneration && *ofGeneration != generation)
            return;
        ++generation;
        std::swap(oldDelegate, delegate);
        std::swap(oldObject, object);
        pending.reset();
        wake = std::move(wakeup);
        task.terminate();
        task.clear();
    }
    if (wake)
        wake->signal();
}

void ZDTaskEx::State::deliver(ZDTaskEx *runner, std::uint64_t gen, const QByteArray &chunk)
{
    Delegate call;
    QVariant value;
    {
        std::lock_guard lock(mutex);
        if (gen != generation || !delegate)
            return;
        call = delegate; // a copy keeps the callable alive if the delegate ends the stream
        value = object;
    }
    try {
        call(chunk, runner, value);
    } catch (const std::exception &e) {
        ZDException::logException(e, "asyncTaskReturnData");
    } catch (...) {
        ZDException::logUnknownException("asyncTaskReturnData");
    }
}

void ZDTaskEx::State::launchAsyncTask(ZDTaskEx *runner, std::uint64_t gen, const Wakeup &wake)
{
    std::optional<ZDChildProcess::Options> options;
    {
        std::lock_guard lock(mutex);
        if (gen == generation)
            options.swap(pending);
    }
    if (!options) {
        ZDLog::appendLogAndPrint(QStringLiteral("Unable to launch async task - no task set"));
        return;
    }
    if (!isRunnable(options->path)) {
        ZDLog::appendLog(QStringLiteral("Unable to launch async task - task does not exist or is not executable"));
        return;
    }

    ZDChildProcess::Started started = ZDChildProcess::start(*options);
    struct Reap
    {
        std::shared_ptr<ZDChildProcess> child;
        ~Reap() { ZDChildProcess::reapInBackground(std::move(child)); }
    } reap{started.child};

    {
        std::lock_guard lock(mutex);
        if (gen == generation) {
            task.set(started.child);
        } else {
            started.child->terminate(); // ended before it could be reached
            return;
        }
    }

    Fd &out = started.standardOutput;
    for (;;) {
        pollfd fds[2] = {{out.get(), POLLIN, 0}, {wake.fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("poll");
        }
        if (fds[1].revents)
            break;
        if (!fds[0].revents)
            continue;
        QByteArray chunk;
        if (!readChunk(out, chunk)) {
            deliver(runner, gen, QByteArray());
            terminateStream(gen);
            break;
        }
        if (!chunk.isEmpty())
            deliver(runner, gen, chunk);
    }
    // Closing before reaping lets a child still writing end on SIGPIPE.
    out.reset();
}

ZDTaskEx::ZDTaskEx() : d(std::make_shared<State>()) {}

ZDTaskEx::~ZDTaskEx()
{
    terminateAsyncTask();
    std::thread t;
    {
        std::lock_guard lock(d->threadMutex);
        t.swap(d->thread);
    }
    if (!t.joinable())
        return;
    // Destroyed from its own delegate: the thread only holds the shared state.
    if (t.get_id() == std::this_thread::get_id())
        t.detach();
    else
        t.join();
}

bool ZDTaskEx::isRunnable(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    return ::faccessat(AT_FDCWD, native.constData(), X_OK, AT_EACCESS) == 0;
}

bool ZDTaskEx::runTask(const QString &path, const QStringList &arguments, ZDTaskHandle *task)
{
    if (!isRunnable(path)) {
        ZDLog::appendLogAndPrint(kNotExecutable, path);
        return false;
    }
    try {
        auto started = ZDChildProcess::start({path, arguments, std::nullopt, ZDChildProcess::Output::Null,
                                              ZDChildProcess::Output::Null});
        SlotGuard slot(task, started.child);
        started.child->waitForExit();
        return true;
    } catch (const std::exception &e) {
        ZDLog::appendLog(kException, path, reasonOf(e));
    } catch (...) {
        ZDLog::appendLog(kException, path, QStringLiteral("unknown"));
    }
    return false;
}

void ZDTaskEx::runTaskAndReturn(const QString &path, const QStringList &arguments)
{
    if (!isRunnable(path)) {
        reportNotExecutableToSystemLog(path);
        return;
    }
    try {
        auto started = ZDChildProcess::start({path, arguments, std::nullopt, ZDChildProcess::Output::Null,
                                              ZDChildProcess::Output::Null});
        ZDChildProcess::reapInBackground(std::move(started.child));
    } catch (const std::exception &e) {
        ZDLog::appendLog(kException, path, reasonOf(e));
    } catch (...) {
        ZDLog::appendLog(kException, path, QStringLiteral("unknown"));
    }
}

int ZDTaskEx::terminationCodeFromTask(const QString &path, const QStringList &arguments, ZDTaskHandle *task)
{
    if (!isRunnable(path)) {
        reportNotExecutableToSystemLog(path);
        return -1;
    }
    try {
        auto started = ZDChildProcess::start({path, arguments, std::nullopt, ZDChildProcess::Output::Null,
                                              ZDChildProcess::Output::Null});
        SlotGuard slot(task, started.child);
        return started.child->waitForExit();
    } catch (const std::exception &e) {
        ZDLog::appendLog(kException, path, reasonOf(e));
    } catch (...) {
        ZDLog::appendLog(kException, path, QStringLiteral("unknown"));
    }
    return -1;
}

std::optional<QByteArray> ZDTaskEx::dataFromTask(const QString &path, const QStringList &arguments,
                                                 ZDTaskHandle *task, const std::optional<Environment> &environment,
                                                 bool logOutput)
{
    if (!isRunnable(path)) {
        ZDLog::appendLogAndPrint(kNotExecutable, path);
        return std::nullopt;
    }
    try {
        auto started = ZDChildProcess::start(
            {path, arguments, environment,
             logOutput ? ZDChildProcess::Output::Pipe : ZDChildProcess::Output::Inherit,
             ZDChildProcess::Output::Pipe});
        SlotGuard slot(task, started.child);
        QByteArray out;
        QByteArray err;
        readToEnd(started.standardOutput, out, started.standardError, err);
        started.child->waitForExit();
        // Some tools answer on standard error only.
        return out.isEmpty() && !err.isEmpty() ? err : out;
    } catch (const std::exception &e) {
        zdSystemLog(zdFormat(kException, path, reasonOf(e)));
    } catch (...) {
        zdSystemLog(zdFormat(kException, path, QStringLiteral("unknown")));
    }
    return std::nullopt;
}

QString ZDTaskEx::stringFromTask(const QString &path, const QStringList &arguments, ZDTaskHandle *task)
{
    return stringFromTask(path, arguments, ZDStringEncoding::Ascii, task);
}

QString ZDTaskEx::stringFromTask(const QString &path, const QStringList &arguments, ZDStringEncoding encoding,
                                 ZDTaskHandle *task)
{
    try {
        const auto data = dataFromTask(path, arguments, task);
        if (data && !data->isEmpty())
            return decode(*data, encoding);
    } catch (...) {
        // Only an allocation can fail here; the caller gets "" like any failed run.
    }
    return QStringLiteral("");
}

template <typename Result, typename Run>
Result ZDTaskEx::timed(std::chrono::seconds timeout, Result failure, Run run)
{
    std::lock_guard runLock(d->runMutex);
    struct Timer
    {
        std::mutex mutex;
        std::condition_variable wake;
        bool done = false;
        std::thread thread;
        // Cancels at once and joins, so the timer can never outlive the run.
        ~Timer()
        {
            {
                std::lock_guard lock(mutex);
                done = true;
            }
            wake.notify_all();
            if (thread.joinable())
                thread.join();
        }
    };
    struct ClearTask
    {
        ZDTaskHandle &task;
        ~ClearTask() { task.clear(); }
    } clearTask{d->task};

    try {
        Timer timer;
        timer.thread = std::thread([&timer, task = &d->task, delay = clampedTimeout(timeout)] {
            std::unique_lock lock(timer.mutex);
            if (timer.wake.wait_for(lock, delay, [&timer] { return timer.done; }))
                return;
            lock.unlock();
            const QString path = task->path();
            if (task->expire() == ZDTaskHandle::Expiry::Nothing)
                return;
            zdSystemLog(QStringLiteral("Task timed out. Terminating..."));
            ZDLog::appendLog(QStringLiteral("Task %@ timed out. Terminating..."), path);
            // A child that ignores SIGTERM must not hold its caller for ever.
            lock.lock();
            if (timer.wake.wait_for(lock, kKillGrace, [&timer] { return timer.done; }))
                return;
            lock.unlock();
            if (task->kill())
                ZDLog::appendLog(QStringLiteral("Task %@ ignored the terminate signal. Killing..."), path);
        });
        return run(&d->task);
    } catch (const std::exception &e) {
        ZDException::logException(e, "timed task");
    } catch (...) {
        ZDException::logUnknownException("timed task");
    }
    return failure;
}

bool ZDTaskEx::runTaskWithTimeout(const QString &path, const QStringList &arguments, std::chrono::seconds timeout)
{
    return timed(timeout, false, [&](ZDTaskHandle *task) { return runTask(path, arguments, task); });
}

std::optional<QByteArray> ZDTaskEx::dataFromTaskWithTimeout(const QString &path, const QStringList &arguments,
                                                            std::chrono::seconds timeout)
{
    return timed(timeout, std::optional<QByteArray>(),
                 [&](ZDTaskHandle *task) { return dataFromTask(path, arguments, task); });
}

int ZDTaskEx::terminationCodeFromTaskWithTimeout(const QString &path, const QStringList &arguments,
                                                 std::chrono::seconds timeout)
{
    return timed(timeout, -1, [&](ZDTaskHandle *task) { return terminationCodeFromTask(path, arguments, task); });
}

QString ZDTaskEx::stringFromTaskWithTimeout(const QString &path, const QStringList &arguments,
                                            ZDStringEncoding encoding, std::chrono::seconds timeout)
{
    return timed(timeout, QStringLiteral(""),
                 [&](ZDTaskHandle *task) { return stringFromTask(path, arguments, encoding, task); });
}

namespace {
// Every timed class operation gets a runner of its own.
template <typename Result, typename Run>
Result withFreshRunner(Result failure, Run run)
{
    try {
        ZDTaskEx runner;
        return run(runner);
    } catch (...) {
        return failure;
    }
}
} // namespace

bool ZDTaskEx::runTask(const QString &path, const QStringList &arguments, std::chrono::seconds timeout)
{
    return withFreshRunner(false, [&](ZDTaskEx &r) { return r.runTaskWithTimeout(path, arguments, timeout); });
}

std::optional<QByteArray> ZDTaskEx::dataFromTask(const QString &path, const QStringList &arguments, std::chrono::seconds timeout)
{
    return withFreshRunner(std::optional<QByteArray>(),
                           [&](ZDTaskEx &r) { return r.dataFromTaskWithTimeout(path, arguments, timeout); });
}

int ZDTaskEx::terminationCodeFromTask(const QString &path, const QStringList &arguments, std::chrono::seconds timeout)
{
    return withFreshRunner(
        -1, [&](ZDTaskEx &r) { return r.terminationCodeFromTaskWithTimeout(path, arguments, timeout); });
}

QString ZDTaskEx::stringFromTask(const QString &path, const QStringList &arguments, std::chrono::seconds timeout)
{
    return stringFromTask(path, arguments, ZDStringEncoding::Ascii, timeout);
}

QString ZDTaskEx::stringFromTask(const QString &path, const QStringList &arguments, ZDStringEncoding encoding,
                                 std::chrono::seconds timeout)
{
    return withFreshRunner(QStringLiteral(""), [&](ZDTaskEx &r) {
        return r.stringFromTaskWithTimeout(path, arguments, encoding, timeout);
    });
}

ZDTaskHandle &ZDTaskEx::theTask()
{
    return d->task;
}

void ZDTaskEx::asyncDataFromTask(const QString &path, const QStringList &arguments, Delegate delegate,
                                 const QVariant &object, const std::optional<Environment> &environment)
{
    try {
        terminateAsyncTask();
        auto wake = std::make_shared<Wakeup>();
        std::uint64_t gen;
        {
            std::lock_guard lock(d->mutex);
            gen = ++d->generation;
            d->delegate = std::move(delegate);
            d->object = object;
            d->pending = ZDChildProcess::Options{path, arguments, environment, ZDChildProcess::Output::Pipe,
                                                 ZDChildProcess::Output::Null};
            d->wakeup = wake;
        }
        std::lock_guard lock(d->threadMutex);
        // The new thread joins the old one; it may be the caller, inside its delegate.
        auto previous = std::make_shared<std::thread>(std::move(d->thread));
        try {
            d->thread = std::thread([state = d, runner = this, gen, wake, previous]() mutable {
                if (previous->joinable())
                    previous->join();
                previous.reset();
                try {
                    state->launchAsyncTask(runner, gen, *wake);
                } catch (const std::exception &e) {
                    ZDException::logException(e, "launchAsyncTask");
                } catch (...) {
                    ZDException::logUnknownException("launchAsyncTask");
                }
            });
        } catch (...) {
            d->thread = std::move(*previous);
            d->terminateStream(gen);
            throw;
        }
    } catch (const std::exception &e) {
        ZDException::logException(e, "asyncDataFromTask");
    } catch (...) {
        ZDException::logUnknownException("asyncDataFromTask");
    }
}

void ZDTaskEx::terminateAsyncTask()
{
    try {
        d->terminateStream();
    } catch (...) {
        // Only the release of a caller's object could throw; nothing left to undo.
    }
}

void ZDTaskEx::waitForAsyncTask()
{
    std::thread t;
    {
        std::lock_guard lock(d->threadMutex);
        if (d->thread.get_id() == std::this_thread::get_id())
            return;
        t.swap(d->thread);
    }
    if (t.joinable())
        t.join();
}
