#include "dispatch/ZDFinishedNotices.h"

#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"

#include <chrono>

ZDFinishedNotices::ZDFinishedNotices(const ZDDispatcher &dispatcher, ZDErrorCallback *callback, QObject *context)
    : m_dispatcher(dispatcher)
{
    if (!callback)
        return;
    m_hears = true;
    QObject::connect(callback, &ZDErrorCallback::taskFinished, context, [this] {
        std::lock_guard lock(m_mutex);
        ++m_finished;
        m_changed.notify_all();
    }, Qt::DirectConnection);
}

int ZDFinishedNotices::mark()
{
    std::lock_guard lock(m_mutex);
    return m_finished;
}

int ZDFinishedNotices::waitFor(int from, int count, double seconds)
{
    std::unique_lock lock(m_mutex);
    if (!m_hears)
        return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(qint64(seconds * 1000));
    // Woken by every notice; the short step only notices a cancellation.
    while (m_finished - from < count && !m_dispatcher.isProcessingCancelled()
           && std::chrono::steady_clock::now() < deadline)
        m_changed.wait_for(lock, std::chrono::milliseconds(250));
    return m_finished - from;
}
