#pragma once
// Threads that run incoming calls. Grows while every thread is busy (up to a
// cap) so that long calls do not hold up short ones.
#include <functional>
#include <memory>

class ZDWorkerPool
{
public:
    explicit ZDWorkerPool(int maxThreads = 64);
    ~ZDWorkerPool();
    ZDWorkerPool(const ZDWorkerPool &) = delete;
    ZDWorkerPool &operator=(const ZDWorkerPool &) = delete;

    void run(std::function<void()> task);
    int threadCount() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};
