#pragma once
// Runs blocking work (remote calls, files) on the console's pool and hands its result
// to `done` on the owner's thread. Nothing is delivered once the owner is gone;
// whatever the work uses must outlive it (the dispatcher lives as long as the console).
#include "dispatch/ZDBackgroundPool.h"

#include <QFutureWatcher>
#include <QObject>
#include <QtConcurrent/QtConcurrentRun>

#include <functional>
#include <utility>

namespace ZDBackground {

template <typename R, typename Work, typename Done>
void run(QObject *owner, Work &&work, Done &&done)
{
    auto *watcher = new QFutureWatcher<R>(owner);
    QObject::connect(watcher, &QFutureWatcher<R>::finished, owner,
                     [watcher, done = std::forward<Done>(done)]() mutable {
                         done(watcher->result());
                         watcher->deleteLater();
                     });
    watcher->setFuture(QtConcurrent::run(ZDBackgroundPool::pool(), std::forward<Work>(work)));
}

} // namespace ZDBackground
