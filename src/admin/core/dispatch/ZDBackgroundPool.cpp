#include "dispatch/ZDBackgroundPool.h"

QThreadPool *ZDBackgroundPool::pool()
{
    static QThreadPool *const instance = [] {
        auto *p = new QThreadPool; // intentionally never deleted, see the header
        p->setMaxThreadCount(kMaxThreads);
        return p;
    }();
    return instance;
}

bool ZDBackgroundPool::waitForDone(std::chrono::milliseconds bound)
{
    return pool()->waitForDone(int(bound.count()));
}
