#pragma once
// Running work on the thread a QObject lives on: the one way the program hands
// work to another thread's event loop. Qt drops a queued call whose context is
// deleted before it runs, so the work may capture the context itself.
#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <utility>

namespace ZDThreads {

inline bool isMainThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

inline bool isOwnThread(const QObject *context) { return QThread::currentThread() == context->thread(); }

// Later, in the context's event loop, even when called there: never re-entrant.
template <typename F>
void post(QObject *context, F &&work)
{
    QMetaObject::invokeMethod(context, std::forward<F>(work), Qt::QueuedConnection);
}

// At once when already on the context's thread, otherwise later there.
template <typename F>
void runOn(QObject *context, F &&work)
{
    if (isOwnThread(context))
        std::forward<F>(work)();
    else
        post(context, std::forward<F>(work));
}

// At once on the context's thread, returning when done. Never from a thread the
// context's thread may itself be waiting for.
template <typename F>
void runOnAndWait(QObject *context, F &&work)
{
    if (isOwnThread(context))
        std::forward<F>(work)();
    else
        QMetaObject::invokeMethod(context, std::forward<F>(work), Qt::BlockingQueuedConnection);
}

} // namespace ZDThreads
