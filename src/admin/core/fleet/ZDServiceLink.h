#pragma once
// What a record's connection thread shares with the record: the link while it
// lives, the request to stop, and the news that the thread is done. It outlives
// the record when the thread is still finishing. The thread runs run().
#include "link/ZDConnection.h"
#include "process/ZDThreads.h"

#include <QEventLoop>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class ZDService;

class ZDServiceLink
{
public:
    std::mutex mutex;
    std::condition_variable finishedCv;
    bool stop = false;
    bool died = false; // the link ended without being asked to
    bool running = true;
    QThread *thread = nullptr;
    QEventLoop *loop = nullptr;
    std::shared_ptr<ZDConnection> connection;
    ZDRemoteProxyPtr proxy;

    void requestStop()
    {
        std::shared_ptr<ZDConnection> cut;
        {
            std::lock_guard lock(mutex);
            stop = true;
            if (loop)
                ZDThreads::post(loop, [loop = loop] { loop->quit(); });
            cut = connection;
        }
        // Outside the lock: the link's end handler takes it.
        if (cut)
            cut->invalidate();
    }
    bool stopped()
    {
        std::lock_guard lock(mutex);
        return stop;
    }
    bool isRunning()
    {
        std::lock_guard lock(mutex);
        return running;
    }
    void finish()
    {
        std::lock_guard lock(mutex);
        running = false;
        finishedCv.notify_all();
    }
    // The thread itself never waits for its own end.
    bool waitFinished(int ms)
    {
        std::unique_lock lock(mutex);
        if (thread == QThread::currentThread())
            return !running;
        return finishedCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running; });
    }

    // The connection thread: connect, configure, then serve the agent's calls
    // until stopped.
    static void run(std::weak_ptr<ZDService> weak, std::shared_ptr<ZDServiceLink> link, ZDRemoteObjectPtr callbackObject);
};
