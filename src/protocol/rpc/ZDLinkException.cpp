#include "rpc/ZDLinkException.h"

#include <utility>

ZDLinkException::ZDLinkException(Kind kind, QString name, QString reason)
    : ZDNamedException(std::move(name), std::move(reason))
    , m_kind(kind)
{
}

ZDLinkException ZDLinkException::linkFailure(const QString &reason)
{
    return {Kind::LinkFailure, QString::fromLatin1(kLinkFailureName), reason};
}

ZDLinkException ZDLinkException::timeout(const QString &reason)
{
    return {Kind::Timeout, QString::fromLatin1(ZDException::kTimeoutName), reason};
}

ZDLinkException ZDLinkException::invalid(const QString &reason)
{
    return {Kind::Invalid, QString::fromLatin1(kInvalidArgumentName), reason};
}
