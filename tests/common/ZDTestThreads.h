#pragma once
// Blocking console calls (dispatcher reads, credential prompts) must not run on the
// thread whose event loop serves the records and windows they wait for.
#include <QTest>
#include <QtGlobal>

#include <atomic>
#include <thread>

namespace zdtest {

// Runs f on a thread of its own while this thread's event loop keeps running.
template <typename F>
void offMain(F f)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        f();
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done.load(); }, 120000))
        qWarning("call still running after 120 s");
    worker.join();
}

} // namespace zdtest
