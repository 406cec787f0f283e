#pragma once
// Pairing a computer through the window its root opened ("KestraClient -pair"):
// connects over TLS, shows the code both sides derive from both keys, asks the
// agent to have this console enrolled and, once root confirmed, pins the agent's
// key. Blocks until root answers (at most the window's hour): never on the GUI thread.
#include <QString>

#include <functional>

class ZDPairing
{
public:
    ZDPairing() = delete;

    enum class Outcome { Paired, Refused, Busy, Expired, NoWindow, Failed };
    struct Result
    {
        Outcome outcome = Outcome::Failed;
        QString code;             // "NNN NNN", once the agent's key was seen
        QString agentFingerprint;
        QString message;          // what happened, in a sentence
    };

    // codeKnown runs (on the calling thread) as soon as the code is known, before
    // the wait for root's answer. pinKey: where the agent's key is pinned.
    static Result pair(const QString &host, quint16 port, const QString &pinKey,
                       const std::function<void(const QString &code, const QString &agentFingerprint)> &codeKnown);
};
