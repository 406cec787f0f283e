#pragma once
// A console's callback object that records what agents tell it, in order. Calls
// may arrive on any connection's thread.
#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteObject.h"

#include <QList>
#include <QPair>
#include <QStringList>
#include <QVariant>

#include <mutex>

class ZDRecordingConsole
{
public:
    static QStringList allOperations()
    {
        QStringList ops;
        for (const char *op : {ZDOrv::kPing, ZDOrv::kAddErrorToQueueHostname, ZDOrv::kAddErrorToQueueUserInfo,
                               ZDOrv::kAddStringToQueueHostname, ZDOrv::kAddStringToQueueUserInfo,
                               ZDOrv::kIncrementProgress, ZDOrv::kTaskFinished, ZDOrv::kUpdateConfig})
            ops << QString::fromLatin1(op);
        return ops;
    }
    explicit ZDRecordingConsole(const QStringList &ops = allOperations())
    {
        for (const QString &op : ops)
            object->addOperation(op, [this, op](const QVariantList &args) {
                std::lock_guard lock(m_mutex);
                m_calls.append({op, args});
                return QVariant();
            });
    }
    ZDRecordingConsole(const ZDRecordingConsole &) = delete;
    ZDRecordingConsole &operator=(const ZDRecordingConsole &) = delete;
    QList<QVariantList> of(const QString &op) const
    {
        std::lock_guard lock(m_mutex);
        QList<QVariantList> found;
        for (const auto &c : m_calls)
            if (c.first == op)
                found << c.second;
        return found;
    }
    int countOf(const QString &op) const { return int(of(op).size()); }
    QVariantList last(const QString &op) const { return of(op).value(of(op).size() - 1); }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_calls.clear();
    }
    const ZDRemoteObjectPtr object = ZDRemoteObject::create();

private:
    mutable std::mutex m_mutex;
    QList<QPair<QString, QVariantList>> m_calls;
};
