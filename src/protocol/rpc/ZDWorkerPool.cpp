#include "rpc/ZDWorkerPool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

struct ZDWorkerPool::State
{
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    std::vector<std::thread> threads;
    int idle = 0;
    int maxThreads = 1;
    size_t maxQueued = 1;
    bool stopping = false;

    static void work(const std::shared_ptr<State> &self)
    {
        std::unique_lock lock(self->mutex);
        for (;;) {
            while (!self->stopping && self->tasks.empty()) {
                ++self->idle;
                self->wake.wait(lock);
                --self->idle;
            }
            if (self->stopping)
                return;
            std::function<void()> task = std::move(self->tasks.front());
            self->tasks.pop_front();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
        }
    }
};

ZDWorkerPool::ZDWorkerPool(int maxThreads, int maxQueued)
    : m_state(std::make_shared<State>())
{
    m_state->maxThreads = maxThreads < 1 ? 1 : maxThreads;
    m_state->maxQueued = size_t(maxQueued < 1 ? 1 : maxQueued);
}

ZDWorkerPool::~ZDWorkerPool()
{
    std::vector<std::thread> threads;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
        threads.swap(m_state->threads);
        dropped.swap(m_state->tasks);
    }
    m_state->wake.notify_all();
    for (auto &t : threads) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
}

bool ZDWorkerPool::run(std::function<void()> &&task)
{
    std::lock_guard lock(m_state->mutex);
    // Tasks an idle thread takes at once are not waiting.
    if (m_state->stopping || m_state->tasks.size() >= m_state->maxQueued + size_t(m_state->idle))
        return false;
    m_state->tasks.push_back(std::move(task));
    if (m_state->tasks.size() > size_t(m_state->idle) && int(m_state->threads.size()) < m_state->maxThreads)
        m_state->threads.emplace_back([state = m_state] { State::work(state); });
    else if (m_state->idle > 0)
        m_state->wake.notify_one();
    return true;
}

int ZDWorkerPool::threadCount() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->threads.size());
}
