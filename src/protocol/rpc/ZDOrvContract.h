#pragma once
// The one table of every remote operation: its wire name (from ZDOrvProtocol.h),
// the object that serves it, whether the caller waits, the kinds of its arguments
// and result, and, for operations no agent serves yet, the feature that brings
// them. Served operations check their arguments against it before they run.
#include "rpc/ZDRemoteObject.h"

#include <QString>
#include <QVariantList>

#include <array>
#include <span>
#include <string_view>

namespace ZDOrv {

// Who serves an operation.
enum class Side {
    Agent,          // the agent's vended object
    Console,        // a console's error callback object
    ComputerRecord, // the console's record of one computer
    TaskCallback,   // a tool's answer record (ZDCallback)
    Local,          // the agent's machine-local callback object
};

enum class Kind {
    None,       // no value
    Any,        // not checked (operations of later features)
    Bool,       // a number used as a truth value
    Integer,
    Text,       // at most kMaxText characters
    OptionalText, // the same, or none (a missing text)
    HostName,   // text of at most kMaxHostName characters
    Path,       // text of 1 to kMaxPath characters, no NUL
    Data,       // none means empty
    Date,
    Error,      // an error object
    Size,       // a side length, [width, height] or {width, height}
    TextArray,  // an array of texts; none means empty
    Array,      // none means empty
    Dictionary, // none means empty
    Reference,  // an object passed by reference
    OptionalReference, // the same, or none (the operation answers that case itself)
};

// Generous: receivers cut what they show; the contract only refuses the absurd.
inline constexpr qsizetype kMaxText = 1024 * 1024;
inline constexpr qsizetype kMaxHostName = 255;
inline constexpr qsizetype kMaxPath = 4096;
inline constexpr qsizetype kMaxElements = 100000;
inline constexpr int kMaxArguments = 7;

using Call = ZDRemoteObject::Call;

// What a console may still send to a computer that is not fully usable.
enum Taken : unsigned {
    TakenWithError = 1,     // the computer has an error code (outdated, no configuration)
    TakenWhenDisabled = 2,  // the computer is disabled in the list (reads)
    TakenWithErrorWithRights = 4, // with an error code, as a call with administrator rights
};

// "1" in an agent's DNS-SD record: it serves any console (open mode), not only enrolled ones.
inline constexpr const char *kTxtOpen = "open";
// In an agent's configuration: 1 in open mode; 1 when the asking console's key is
// enrolled on that computer (credentials may go there).
inline constexpr const char *kConfigOpenMode = "openMode";
inline constexpr const char *kConfigConsoleEnrolled = "consoleEnrolled";

// Who an agent serves an operation to. A console is enrolled when the computer's
// root trusts its key; an agent in open mode serves Open operations to anyone.
enum class Access {
    Open,       // enrolled consoles; anyone in open mode
    Unenrolled, // anyone: the handshake's companions (ping)
    Pairing,    // any peer on a TLS link (its key is what pairing enrols), never plain TCP
    Enrolled,   // enrolled consoles only, even in open mode (settings, registrations)
};

struct Operation
{
    const char *name;
    Side side;
    Call call;
    std::array<Kind, kMaxArguments> arguments;
    Kind result;
    const char *feature; // null: served today; else the feature that will serve it
    unsigned taken = 0;  // Taken flags
    Access access = Access::Open;

    constexpr int argumentCount() const
    {
        int n = 0;
        for (const char *c = name; *c; ++c)
            n += *c == ':';
        return n;
    }
};

std::span<const Operation> operations();
const Operation *find(Side side, std::string_view name);
// Whether the agent's operation name carries the Taken flag.
bool isTaken(std::string_view name, Taken flag);
// Whether an agent serves name to a peer whose key is (not) enrolled, in open mode
// or not. Names the contract lacks are refused to anyone not enrolled.
bool agentServes(std::string_view name, bool enrolled, bool openMode, bool tls = false);
// Why args do not fit op (count, kind, bounds), or an empty text when they do.
QString refusal(const Operation &op, const QVariantList &args);

} // namespace ZDOrv
