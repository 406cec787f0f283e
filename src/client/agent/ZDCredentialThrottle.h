#pragma once
// Slows down the guessing of administrator passwords over the network. After
// kFreeFailures failed checks from one peer address, or for one user name, further
// checks from it or for it are refused at once, without checking, for a delay that
// doubles with every further failure up to kMaxDelay. A refusal neither waits nor
// holds the agent's privileged lock, so real tasks never queue behind a guessing
// peer. The peer is the one whose call runs on the calling thread. Thread-safe.
#include <QHash>
#include <QString>

#include <chrono>
#include <mutex>

class ZDCredentialThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    // A mistyped password or two and a retry stay free.
    static constexpr int kFreeFailures = 3;
    static constexpr std::chrono::seconds kFirstDelay{2};
    // One guess a minute per address and per name at worst; an administrator whose
    // name someone else is guessing gets in again within that minute.
    static constexpr std::chrono::seconds kMaxDelay{60};
    // Failures older than this are forgotten.
    static constexpr std::chrono::minutes kForgetAfter{15};
    // Addresses and names tracked at once; a peer inventing names cannot grow it past this.
    static constexpr int kMaxTracked = 4096;

    // False, with one log line, while the peer or the name is held off. Without a
    // password there is no guess: always admitted, and record() ignores it.
    bool admits(const QString &user, const QString &password);
    // The outcome of an admitted check. Checks run one at a time under the agent's
    // privileged lock, so calling admits() there again stops guesses queued at once.
    void record(const QString &user, const QString &password, bool succeeded);

    // The address of the peer whose call runs on this thread, without its port; "local" when none.
    static QString currentPeer();

private:
    struct Entry
    {
        int failures = 0;
        Clock::time_point lockedUntil;
        Clock::time_point lastFailure;
    };
    void makeRoomLocked(Clock::time_point now);

    std::mutex m_mutex;
    QHash<QString, Entry> m_entries;
};
