#pragma once
// A raw peer of a real agent that holds the key of this test's console (the one
// ZDRealAgent enrols), so calls reach the agent as they would from the console.
#include "link/ZDConnection.h"
#include "link/ZDTlsTransport.h"
#include "trust/ZDKnownAgents.h"

namespace zdtest {

// A peer holding `identity` (default: this test's console).
inline ZDConnectionOptions enrolledOptions(ZDConnectionOptions options = {}, ZDTlsIdentity console = {})
{
    QString error;
    if (!console.isValid())
        console = ZDKnownAgents::consoleIdentity(&error);
    ZDTlsPolicy policy;
    policy.context = ZDTlsContext::create(console, false, &error);
    options.transportFactory = ZDTlsTransport::factory([policy] { return policy; }, ZDConnection::sendQueueLimit(options));
    return options;
}

} // namespace zdtest
