#pragma once
// The one exception the wire raises into its callers: the link failed or timed
// out, the peer refused the call, or a value could not travel.
#include "log/ZDException.h"

class ZDLinkException : public ZDNamedException
{
public:
    enum class Kind { LinkFailure, Timeout, Remote, Invalid };

    static constexpr const char *kLinkFailureName = "ZDLinkFailureException";
    static constexpr const char *kUnknownOperationName = "ZDUnknownOperationException";
    static constexpr const char *kInvalidArgumentName = "ZDInvalidArgumentException";
    static constexpr const char *kUnknownObjectName = "ZDUnknownObjectException";
    // The peer had no room to take the call; nothing of it ran.
    static constexpr const char *kBusyName = "ZDBusyException";
    // How a peer's failure carrying one of this side's own link names (time-out,
    // link failure) arrives: prefixed, so a name check cannot take it for ours.
    static constexpr const char *kPeerNamePrefix = "Peer";

    ZDLinkException(Kind kind, QString name, QString reason);

    static ZDLinkException linkFailure(const QString &reason);
    // Named so that ZDException::didTimeout recognises it.
    static ZDLinkException timeout(const QString &reason);
    static ZDLinkException invalid(const QString &reason);

    Kind kind() const noexcept { return m_kind; }
    // A time-out this side recorded; a peer's reply never makes one.
    bool timedOutHere() const noexcept { return m_kind == Kind::Timeout; }

private:
    Kind m_kind;
};
