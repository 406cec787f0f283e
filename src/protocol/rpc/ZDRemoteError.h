#pragma once
// An error object that travels by copy: domain, code and user information.
#include <QMetaType>
#include <QString>
#include <QVariantMap>

class ZDRemoteError
{
public:
    ZDRemoteError() = default;
    ZDRemoteError(QString domain, qint64 code, QVariantMap userInfo = {});

    const QString &domain() const { return m_domain; }
    qint64 code() const { return m_code; }
    const QVariantMap &userInfo() const { return m_userInfo; }
    // The "NSLocalizedDescription" entry when present, else domain and code.
    QString localizedDescription() const;

    friend bool operator==(const ZDRemoteError &a, const ZDRemoteError &b)
    {
        return a.m_code == b.m_code && a.m_domain == b.m_domain && a.m_userInfo == b.m_userInfo;
    }
    friend bool operator!=(const ZDRemoteError &a, const ZDRemoteError &b) { return !(a == b); }

private:
    QString m_domain;
    qint64 m_code = 0;
    QVariantMap m_userInfo;
};
Q_DECLARE_METATYPE(ZDRemoteError)
