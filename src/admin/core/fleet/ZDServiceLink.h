#pragma once
// What a record's connection shares with the record: the link while it lives,
// the request to stop, and the news that the link is done. It outlives the
// record when the link is still ending.
//
// A link holds no thread of its own: connecting runs on a bounded pool, which
// waits for no silent peer (the wire's threads do), the
// agent's calls to the console run on a few serving threads shared by every
// link, and the reactor of the transport reads them. A thousand computers cost
// a handful of threads, not a thousand.
#include "fleet/ZDServiceConnector.h"
#include "link/ZDConnection.h"

#include <QThread>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class ZDService;

class ZDServiceLink
{
public:
    std::mutex mutex;
    std::condition_variable finishedCv;
    bool stop = false;
    bool running = true;  // until the link has ended and its record heard of it
    bool serving = false; // connected and configured: the agent's calls are being served
    bool ending = false;  // the end is queued or under way; it runs once
    std::thread::id worker; // the pool thread connecting or configuring, while it does
    QThread *servingThread = nullptr;
    std::shared_ptr<ZDConnection> connection;
    ZDRemoteProxyPtr proxy;

    void requestStop()
    {
        std::shared_ptr<ZDConnection> cut;
        {
            std::lock_guard lock(mutex);
            stop = true;
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
    // Never waits on a thread the end itself needs: the connecting worker, or the
    // serving thread (a handler that ends its own link).
    bool waitFinished(int ms)
    {
        std::unique_lock lock(mutex);
        if (worker == std::this_thread::get_id() || servingThread == QThread::currentThread())
            return !running;
        return finishedCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running; });
    }
    // Runs work on the link's serving thread after the agent's calls already
    // queued there; false when the link is not serving.
    bool postAfterQueuedCalls(std::function<void()> work);

    // Connects and configures on the pool, then serves the agent's calls until
    // stopped or the agent goes away; the record hears of the end.
    static void start(std::weak_ptr<ZDService> weak, std::shared_ptr<ZDServiceLink> link,
                      ZDRemoteObjectPtr callbackObject);

private:
    static void connectAndConfigure(const std::weak_ptr<ZDService> &weak, const std::shared_ptr<ZDServiceLink> &link,
                                    const ZDRemoteObjectPtr &callbackObject);
    // Once the agent answered, or every way to it failed: on a pool thread.
    static void configure(const std::weak_ptr<ZDService> &weak, const std::shared_ptr<ZDServiceLink> &link,
                          const ZDRemoteObjectPtr &callbackObject, ZDServiceConnector::Result result);
    // After the link ended while serving: the end, once, on the serving thread.
    static void scheduleEnd(const std::weak_ptr<ZDService> &weak, const std::shared_ptr<ZDServiceLink> &link);
    // Once, after the link ended or failed to come up.
    static void end(const std::weak_ptr<ZDService> &weak, const std::shared_ptr<ZDServiceLink> &link, bool lost);
};
