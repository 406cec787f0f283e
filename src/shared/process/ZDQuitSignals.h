#pragma once
// SIGTERM and SIGINT turned into a call on the main thread's event loop, so a
// program stopped by its service manager or a terminal ends the way it ends on
// its own (goodbyes sent, log and crash reporter's "exit" mark written).
#include <functional>

class QCoreApplication;

class ZDQuitSignals
{
public:
    ZDQuitSignals() = delete;

    // onSignal runs on the application's thread; the default quits the event loop.
    // A second signal while the first is being handled quits at once.
    static bool install(QCoreApplication &app, std::function<void()> onSignal = {});
};
