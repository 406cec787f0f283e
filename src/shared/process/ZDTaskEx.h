#pragma once
// Runs an external program as a child process and hands back nothing, its exit
// status, its output, or its output as text. Every form first checks that the
// path names a runnable program. No operation throws.
//
// Children never see the caller's standard input (they get a pipe that is
// already at end of file) nor any of its other descriptors.
//
// The untimed forms are stateless and may be called from any thread; they block
// it until the child ends (except runTaskAndReturn); they are the ones without a
// time-out. A timed form stops the child with SIGTERM once its timeout has passed
// (at once when it is zero or less), from a timer of its own, so no thread (main
// or other) has to be free for the time-out to happen.
#include "process/ZDTaskHandle.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

enum class ZDStringEncoding { Ascii = 1, Utf8 = 4, Latin1 = 5 };

class ZDTaskEx
{
public:
    using Environment = QMap<QString, QString>;
    // Called on the streaming thread with each non-empty chunk, then once with an
    // empty chunk at the end. `object` is invalid when none was given.
    using Delegate = std::function<void(const QByteArray &chunk, ZDTaskEx *runner, const QVariant &object)>;

    ZDTaskEx();
    // Stops a stream in progress and waits for its thread.
    ~ZDTaskEx();
    ZDTaskEx(const ZDTaskEx &) = delete;
    ZDTaskEx &operator=(const ZDTaskEx &) = delete;

    // Exists, is executable by the caller and is not a folder (an ".app" bundle is one).
    static bool isRunnable(const QString &path);

    // Output and error to the null device. True when the child ran and ended.
    static bool runTask(const QString &path, const QStringList &arguments, ZDTaskHandle *task = nullptr);
    // Starts the child and returns; it is reaped when it ends.
    static void runTaskAndReturn(const QString &path, const QStringList &arguments);
    // The exit status, the signal number when a signal ended it, -1 when not runnable.
    static int terminationCodeFromTask(const QString &path, const QStringList &arguments,
                                       ZDTaskHandle *task = nullptr);
    // Standard output, or standard error when only that has something. Without
    // logOutput the child's standard output is the caller's and only errors come back.
    // nullopt when the path is not runnable or the run failed.
    static std::optional<QByteArray> dataFromTask(const QString &path, const QStringList &arguments,
                                                  ZDTaskHandle *task = nullptr,
                                                  const std::optional<Environment> &environment = std::nullopt,
                                                  bool logOutput = true);
    // As dataFromTask, decoded; "" when nothing came back. ASCII maps other bytes to U+FFFD.
    static QString stringFromTask(const QString &path, const QStringList &arguments, ZDTaskHandle *task = nullptr);
    static QString stringFromTask(const QString &path, const QStringList &arguments, ZDStringEncoding encoding,
                                  ZDTaskHandle *task = nullptr);

    // Timed forms: each uses a runner of its own.
    static bool runTask(const QString &path, const QStringList &arguments, std::chrono::seconds timeout);
    static std::optional<QByteArray> dataFromTask(const QString &path, const QStringList &arguments,
                                                  std::chrono::seconds timeout);
    static int terminationCodeFromTask(const QString &path, const QStringList &arguments, std::chrono::seconds timeout);
    static QString stringFromTask(const QString &path, const QStringList &arguments, std::chrono::seconds timeout);
    static QString stringFromTask(const QString &path, const QStringList &arguments, ZDStringEncoding encoding,
                                  std::chrono::seconds timeout);

    // The same on this runner, one timed run at a time; theTask() reaches the child meanwhile.
    bool runTaskWithTimeout(const QString &path, const QStringList &arguments, std::chrono::seconds timeout);
    std::optional<QByteArray> dataFromTaskWithTimeout(const QString &path, const QStringList &arguments,
                                                      std::chrono::seconds timeout);
    int terminationCodeFromTaskWithTimeout(const QString &path, const QStringList &arguments, std::chrono::seconds timeout);
    QString stringFromTaskWithTimeout(const QString &path, const QStringList &arguments,
                                      ZDStringEncoding encoding, std::chrono::seconds timeout);

    // The child of the run in progress; empty before launch and after the run.
    // Timed runs and the stream share it, so one runner does one of them at a time.
    ZDTaskHandle &theTask();

    // Starts the child on a thread of its own and returns at once. Its standard
    // output streams to the delegate; its standard error goes to the null device.
    // A stream still running on this runner is terminated first.
    void asyncDataFromTask(const QString &path, const QStringList &arguments, Delegate delegate,
                           const QVariant &object = QVariant(),
                           const std::optional<Environment> &environment = std::nullopt);
    // Releases delegate and object, stops reading and sends SIGTERM to the child if
    // it still runs. Safe from any thread, the delegate included.
    void terminateAsyncTask();
    // Blocks until the streaming thread has finished (returns at once on that thread).
    void waitForAsyncTask();

private:
    struct State;
    template <typename Result, typename Run>
    Result timed(std::chrono::seconds timeout, Result failure, Run run);

    std::shared_ptr<State> d;
};
