#pragma once
// The session bus on which this process meets the programs of the desktop session.
//
// An ordinary process uses its own session bus. A root process (a tool run with
// administrator rights, the uninstaller) usually has none, or one nobody listens on,
// so it uses the bus of the user at the console when that user's socket
// <root>/run/user/<uid>/bus exists and lets it in, and its own session bus otherwise.
#include <QDBusConnection>
#include <QString>

class ZDSessionBus
{
public:
    ZDSessionBus() = delete;

    // Resolved on every call, so a change of console user is followed. Never throws;
    // the connection may be disconnected when no bus is reachable at all.
    static QDBusConnection connection();

    // The console user's bus socket that a root process would use; empty when not
    // root, nobody (or root) is at the console, or the socket does not exist.
    static QString consoleUserBusPath();
};
