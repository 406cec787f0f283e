#pragma once
// A child whose standard input, output and error are a fresh pseudo-terminal,
// in a session of its own with that terminal as its controlling terminal, for
// the system tools that only take a password from a terminal.
//
// The terminal starts with echo off, so nothing written to it comes back.
#include <QMap>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <chrono>
#include <cstddef>

class ZDPseudoTerminal
{
public:
    using Clock = std::chrono::steady_clock;
    enum class ReadResult { Data, TimedOut, Closed };

    // The environment replaces the inherited one. Throws std::system_error.
    ZDPseudoTerminal(const QString &path, const QStringList &arguments, const QMap<QString, QString> &environment);
    // Hangs up and reaps the child unless wait() already did.
    ~ZDPseudoTerminal();
    ZDPseudoTerminal(const ZDPseudoTerminal &) = delete;
    ZDPseudoTerminal &operator=(const ZDPseudoTerminal &) = delete;

    pid_t pid() const { return m_pid; }

    // Up to `capacity` bytes of output into `buffer`, waiting no later than the deadline.
    ReadResult read(char *buffer, size_t capacity, size_t &count, Clock::time_point deadline);
    // False when the terminal has gone.
    bool write(const char *data, size_t size);
    // Throws away output until the child ends or nobody holds the terminal any more.
    void drain();
    // Closes our side, which hangs up the session, and asks the child to end.
    void hangUp();
    // Reaps the child: its exit status, or 128 + the signal that ended it.
    int wait();

private:
    int m_master = -1;
    pid_t m_pid = -1;
    int m_pidfd = -1;
    bool m_reaped = false;
    int m_status = -1;
};
