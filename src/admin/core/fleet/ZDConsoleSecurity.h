#pragma once
// The console's side of the secure transport: its key pair, TLS options that
// check an agent's key against its pin (pinned on first use), the pin's name for
// a computer record, enrolment tokens and taking an agent's new key on purpose.
#include "link/ZDConnection.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <memory>

class ZDService;

class ZDConsoleSecurity
{
public:
    ZDConsoleSecurity() = delete;

    // Empty when the console has no key pair (then it cannot speak TLS).
    static QString fingerprint();
    // Turns `options` into TLS options for the computer pinned as `pinKey`; sets
    // *changed (and refuses the link) when the agent's key differs from its pin.
    // False when this console has no key pair.
    static bool useTls(ZDConnectionOptions &options, const QString &pinKey, std::shared_ptr<std::atomic<bool>> changed);
    // Manual entries by address and port (two agents may share an address), found
    // ones by their registered name.
    static QString pinKey(const ZDService &service);

    // TLS options that take whatever key the agent shows (the connection's
    // peerKey()); the caller checks it. False when this console has no key pair.
    static bool useTlsAnyKey(ZDConnectionOptions &options);

    static QString enrollToken(const QDateTime &expiry, QString *error);
    static constexpr int kDefaultTokenMinutes = 60;

    // Connects over TLS, reads the agent's fingerprint and pins it (only when it
    // equals `expected`, if given). The fingerprint, or empty with *error set.
    static QString trust(const QString &host, quint16 port, const QString &pinKey, const QString &expected,
                         QString *error);
};
