#pragma once
// The console's one pool for short blocking work off the GUI thread: remote
// calls a window asks for, configuration processing, icon fetches, keyring
// clean-up. Bounded, so a thousand computers never mean a thousand threads.
// Never destroyed: a job may still wait on a dying link as the program ends;
// the main window waits for the pool, with a bound, before it goes.
#include <QThreadPool>

#include <chrono>
#include <utility>

namespace ZDBackgroundPool {

inline constexpr int kMaxThreads = 8;

QThreadPool *pool();

template <typename F>
void start(F &&work)
{
    pool()->start(std::forward<F>(work));
}

// True when every job ended within the bound.
bool waitForDone(std::chrono::milliseconds bound);

} // namespace ZDBackgroundPool
