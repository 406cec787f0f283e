#pragma once
// One answer of one long-running remote repair run: the console creates it with the
// notification name the tool answers with and the computer it concerns, and passes
// its remoteObject() by reference with the run. The agent's oneway postCallback:
// stores the information; objectDidPostCallback is emitted on this object's thread.
#include "rpc/ZDRemoteObject.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class ZDCallback : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kOutput = "output";
    // Bound on the text an agent may send back in one answer.
    static constexpr int kMaxOutputLength = 4 * 1024 * 1024;

    explicit ZDCallback(const QString &name, const QString &hostname = QString(), QObject *parent = nullptr);
    ~ZDCallback() override;

    QString name() const { return m_name; }
    QString hostname() const { return m_hostname; }
    QVariantMap info() const;
    // The "output" text of the last answer; empty when none.
    QString output() const;
    // The output says the agent could not obtain administrator rights with the credentials
    // sent ("Unable to authorize", "Cannot authorize", any case).
    bool reportsRefusedAuthorization() const;
    static bool reportsRefusedAuthorization(const QString &output);

    // The object the agent receives by reference.
    ZDRemoteObjectPtr remoteObject() const { return m_remote; }

    // False when the information is not usable (wrong types, too long).
    bool postCallback(const QVariantMap &info);

Q_SIGNALS:
    void objectDidPostCallback(ZDCallback *callback);

private:
    struct Guard;
    std::shared_ptr<Guard> m_guard;
    const QString m_name;
    const QString m_hostname;
    ZDRemoteObjectPtr m_remote;
    mutable QMutex m_mutex;
    QVariantMap m_info;
};
