#include "wire/ZDWireRecords.h"

#include <QByteArray>
#include <QHash>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>

namespace {

constexpr qint64 kSweepEveryMs = 2000;

// Nested records each keep their own bytes: the bytes are bounded apart from the count.
constexpr qsizetype kMaxKeptBytes = 8 * 1024 * 1024;

struct Table
{
    std::shared_mutex mutex;
    QHash<QByteArray, QVariant> records;
    qsizetype bytes = 0;
    std::atomic<qint64> lastSweepMs{0};
};

Table &table()
{
    static Table *const t = new Table; // never ends: decoding may run during exit
    return *t;
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool heldElsewhere(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::QVariantMap:
        return !static_cast<const QVariantMap *>(value.constData())->isDetached();
    case QMetaType::QVariantList:
        return !static_cast<const QVariantList *>(value.constData())->isDetached();
    default:
        return false;
    }
}

void sweepLocked(Table &t)
{
    t.lastSweepMs = nowMs();
    for (auto it = t.records.begin(); it != t.records.end();) {
        if (heldElsewhere(it.value())) {
            ++it;
        } else {
            t.bytes -= it.key().size();
            it = t.records.erase(it);
        }
    }
}

} // namespace

bool ZDWireRecords::find(QByteArrayView bytes, QVariant *value)
{
    Table &t = table();
    const std::shared_lock lock(t.mutex);
    const auto it = t.records.constFind(QByteArray::fromRawData(bytes.data(), bytes.size()));
    if (it == t.records.constEnd())
        return false;
    *value = it.value();
    return true;
}

bool ZDWireRecords::keep(QByteArrayView bytes, const QVariant &value)
{
    if (bytes.size() < kMinBytes || bytes.size() > kMaxBytes)
        return true;
    Table &t = table();
    const std::unique_lock lock(t.mutex);
    const auto full = [&] { return t.records.size() >= kMaxEntries || t.bytes + bytes.size() > kMaxKeptBytes; };
    // Full of records still in use (a fleet of unlike computers): sharing stops
    // until they are let go, rather than sweeping at every record.
    if (full() && nowMs() - t.lastSweepMs.load() >= kSweepEveryMs)
        sweepLocked(t);
    if (full())
        return false;
    QByteArray key = bytes.toByteArray();
    if (t.records.contains(key))
        return true; // two links met it at once
    t.records.insert(std::move(key), value);
    t.bytes += bytes.size();
    return true;
}

void ZDWireRecords::sweepIfDue()
{
    Table &t = table();
    if (nowMs() - t.lastSweepMs.load() < kSweepEveryMs)
        return;
    const std::unique_lock lock(t.mutex);
    sweepLocked(t);
}

qsizetype ZDWireRecords::size()
{
    Table &t = table();
    const std::shared_lock lock(t.mutex);
    return t.records.size();
}
