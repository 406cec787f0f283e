#pragma once
// The pairing window. The agent runs as the session user and cannot write the
// root-owned trust file, so root's "KestraClient -pair [MINUTES]" holds the window:
// a unix socket in a folder only root may change (<root>/run/kestra) until a
// deadline, and a question at root's terminal. The agent forwards a console's
// request to it (the console's key as the TLS link proved it, never as a caller
// says) and waits for root's verdict. Both sides show a code derived from both
// keys: a request some local user injected shows a code no console shows.
#include <QString>

class ZDPairingWindow
{
public:
    ZDPairingWindow() = delete;

    static constexpr int kDefaultMinutes = 10;
    static constexpr int kMaxMinutes = 60;

    static QString folder();     // <root>/run/kestra
    static QString socketPath(); // folder()/pair.sock

    // Root: opens the window for `minutes`, asks on file descriptor `in` and reports
    // on `out`; enrols the first console root confirms. The exit status: 0 when a
    // console was enrolled, 1 otherwise.
    static int hold(int minutes, int in, int out);

    // The agent: forwards the request of the console with this key and waits for
    // the verdict; one of the kPairing... words of the protocol.
    static QString request(const QString &consoleFingerprint, const QString &agentFingerprint);
};
