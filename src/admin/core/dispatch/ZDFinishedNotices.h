#pragma once
// The agents' finished-task notices as the console's error callback hears them,
// counted, so that a run that handed a task to N computers can wait for N notices
// after it started. Blocking: never on the GUI thread.
#include <condition_variable>
#include <mutex>

class QObject;
class ZDDispatcher;
class ZDErrorCallback;

class ZDFinishedNotices
{
public:
    // callback may be null: then nothing is heard and a wait returns 0 at once.
    // context: the owner, whose end ends the listening.
    ZDFinishedNotices(const ZDDispatcher &dispatcher, ZDErrorCallback *callback, QObject *context);
    ZDFinishedNotices(const ZDFinishedNotices &) = delete;
    ZDFinishedNotices &operator=(const ZDFinishedNotices &) = delete;

    // The notices heard so far: where a run starts counting.
    int mark();
    // Waits until `count` notices came after `from`, the bound passed or the
    // dispatcher's processing was cancelled; the notices that came.
    int waitFor(int from, int count, double seconds);

private:
    const ZDDispatcher &m_dispatcher;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_finished = 0;
    bool m_hears = false;
};
