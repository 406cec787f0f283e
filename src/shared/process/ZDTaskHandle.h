#pragma once
// A caller's reach into a run in progress: the runner stores its child here
// before it waits and clears it afterwards, so another thread can stop the child.
// Every operation is thread-safe; on an empty handle they do nothing.
#include <QString>

#include <sys/types.h>

#include <memory>
#include <mutex>

class ZDChildProcess;

class ZDTaskHandle
{
public:
    ZDTaskHandle() = default;
    ZDTaskHandle(const ZDTaskHandle &) = delete;
    ZDTaskHandle &operator=(const ZDTaskHandle &) = delete;

    bool isSet() const;
    pid_t pid() const;        // 0 when empty
    QString path() const;
    bool isRunning() const;
    // SIGTERM to the child when it is still running; true when it was sent.
    bool terminate();
    // SIGKILL to the child when it is still running.
    bool kill();

    // For the runner.
    void set(std::shared_ptr<ZDChildProcess> child);
    void clear();
    std::shared_ptr<ZDChildProcess> child() const;

    enum class Expiry { Signalled, Deferred, Nothing };
    // Terminates the child now, or, while none is stored, the next one as soon as
    // it is stored; clear() forgets that. A time-out may fire before the launch.
    Expiry expire();

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<ZDChildProcess> m_child;
    bool m_expired = false;
};
