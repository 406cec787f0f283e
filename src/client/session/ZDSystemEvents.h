#pragma once
// The system's session, sleep and shutdown events, from logind on the system bus:
// the Active property of this user's display session (log-in / log-out),
// PrepareForSleep (sleep / wake) and PrepareForShutdown. Without a system bus or
// logind there are no events; that is logged once and is not an error.
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusMessage;

class ZDSystemEvents : public QObject
{
    Q_OBJECT
public:
    explicit ZDSystemEvents(QObject *parent = nullptr);
    // False (one log line) when nothing could be watched.
    bool start();

Q_SIGNALS:
    void sessionBecameActive();
    void sessionResignedActive();
    void willSleep();
    void didWake();
    void willPowerOff();

private Q_SLOTS:
    void prepareForSleep(bool start);
    void prepareForShutdown(bool start);
    void sessionPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated);

private:
    QString m_sessionPath;
    bool m_active = true;
};
