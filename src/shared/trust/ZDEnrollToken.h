#pragma once
// A one-time enrolment token: a console's public key, an expiry and a random nonce,
// signed with that console's key. Whoever pastes it on an agent adds exactly that
// console; a changed byte breaks the signature. The agent keeps the nonces it took.
#include "trust/ZDTlsIdentity.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

class ZDEnrollToken
{
public:
    struct Content
    {
        QString fingerprint;
        QDateTime expiry;
        QByteArray nonce;
    };

    static constexpr int kMaxTextLength = 512;

    // Empty on failure.
    static QString make(const ZDTlsIdentity &identity, const QDateTime &expiry);
    // Form and signature only; the expiry and the nonce are the taker's to judge.
    static std::optional<Content> parse(const QString &token, QString *error);
};
