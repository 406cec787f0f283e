#pragma once
// Threads that run incoming calls. Grows while every thread is busy (up to a
// cap) so that long calls do not hold up short ones. Tasks waiting for a thread
// are bounded too: past that, run() refuses.
#include <functional>
#include <memory>

class ZDWorkerPool
{
public:
    // Every link already bounds the calls it holds, so this is only reached when
    // many peers flood at once; a handful of consoles never come near it.
    static constexpr int kMaxQueuedTasks = 4096;

    explicit ZDWorkerPool(int maxThreads = 64, int maxQueued = kMaxQueuedTasks);
    ~ZDWorkerPool();
    ZDWorkerPool(const ZDWorkerPool &) = delete;
    ZDWorkerPool &operator=(const ZDWorkerPool &) = delete;

    // False (and the task left untouched) when the queue is full or the pool stops.
    [[nodiscard]] bool run(std::function<void()> &&task);
    int threadCount() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};
