#pragma once
// The agent's side of the secure transport: its key pair, the listener's options
// (TLS offered to every console; plain TCP only while the computer does not ask
// for enrolled consoles) and the root-only commands that enrol and revoke consoles.
#include "link/ZDConnection.h"
#include "trust/ZDTlsIdentity.h"

class ZDAgentSecurity
{
public:
    ZDAgentSecurity() = delete;

    // <user application support>/KestraClient/Security, made on first use; cached.
    static ZDTlsIdentity identity();
    static bool requiresEnrolledConsoles();
    static ZDConnectionOptions listenerOptions();

    // -enroll TOKEN, -enroll-fingerprint FP, -revoke FP, -require-enrolled yes|no
    // (root), -fingerprint. The exit status, or -1 when none of them was asked.
    static int runCommandLine(int argc, char **argv);
};
