#pragma once
// The agent's side of the secure transport: its key pair, the listener's options
// (TLS offered to every peer; what a peer may call follows from whether its key
// is enrolled, and whether root chose open mode) and the root-only commands that
// enrol and revoke consoles.
#include "link/ZDConnection.h"
#include "trust/ZDTlsIdentity.h"

#include <QVariantMap>

class ZDAgentSecurity
{
public:
    ZDAgentSecurity() = delete;

    // <user application support>/KestraClient/Security (root: <root>/var/lib/KestraClient/Security), made on first use; cached.
    static ZDTlsIdentity identity();
    static bool requiresEnrolledConsoles();
    static ZDConnectionOptions listenerOptions();
    // What a link's transport granted its peer.
    enum Grant : unsigned { Enrolled = 1, OpenMode = 2, Tls = 4 };
    // configuration plus what it says about the asking link: open mode, and
    // whether the console is enrolled (from the current call's link).
    static QVariantMap describeLink(QVariantMap configuration);

    // The pairing operation: asks the computer's pairing window (root) to enrol the
    // console whose key the current call's TLS link proved.
    static QString requestPairing();

    // -pair [MINUTES], -enroll TOKEN, -enroll-fingerprint FP, -revoke FP, -require-enrolled yes|no
    // (root), -fingerprint. The exit status, or -1 when none of them was asked.
    static int runCommandLine(int argc, char **argv);
};
