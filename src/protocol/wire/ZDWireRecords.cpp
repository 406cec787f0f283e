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

bool heldElsewhere(const QString &text) { return !text.isDetached(); }

template<typename Value>
class Table
{
public:
    Table(qsizetype maxEntries, qsizetype maxBytes)
        : m_maxEntries(maxEntries)
        , m_maxBytes(maxBytes)
    {
    }

    bool find(QByteArrayView bytes, Value *value)
    {
        const std::shared_lock lock(m_mutex);
        const auto it = m_entries.constFind(QByteArray::fromRawData(bytes.data(), bytes.size()));
        if (it == m_entries.constEnd())
            return false;
        *value = it.value();
        return true;
    }

    bool keep(QByteArrayView bytes, const Value &value)
    {
        const std::unique_lock lock(m_mutex);
        const auto full = [&] { return m_entries.size() >= m_maxEntries || m_bytes + bytes.size() > m_maxBytes; };
        // Full of values still in use (a fleet of unlike computers): sharing stops
        // until they are let go, rather than sweeping at every value.
        if (full() && nowMs() - m_lastSweepMs.load() >= kSweepEveryMs)
            sweepLocked();
        if (full())
            return false;
        QByteArray key = bytes.toByteArray();
        if (m_entries.contains(key))
            return true; // two links met it at once
        m_entries.insert(std::move(key), value);
        m_bytes += bytes.size();
        return true;
    }

    void sweepIfDue()
    {
        if (nowMs() - m_lastSweepMs.load() < kSweepEveryMs)
            return;
        const std::unique_lock lock(m_mutex);
        sweepLocked();
    }

    qsizetype size()
    {
        const std::shared_lock lock(m_mutex);
        return m_entries.size();
    }

private:
    void sweepLocked()
    {
        m_lastSweepMs = nowMs();
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            if (heldElsewhere(it.value())) {
                ++it;
            } else {
                m_bytes -= it.key().size();
                it = m_entries.erase(it);
            }
        }
    }

    const qsizetype m_maxEntries;
    const qsizetype m_maxBytes;
    std::shared_mutex m_mutex;
    QHash<QByteArray, Value> m_entries;
    qsizetype m_bytes = 0;
    std::atomic<qint64> m_lastSweepMs{0};
};

// Nested records each keep their own bytes: the bytes are bounded apart from the count.
Table<QVariant> &records()
{
    static auto *const t = new Table<QVariant>(ZDWireRecords::kMaxEntries, 8 * 1024 * 1024); // never ends: decoding may run during exit
    return *t;
}

Table<QString> &texts()
{
    static auto *const t = new Table<QString>(65536, 4 * 1024 * 1024);
    return *t;
}

} // namespace

bool ZDWireRecords::find(QByteArrayView bytes, QVariant *value) { return records().find(bytes, value); }

bool ZDWireRecords::keep(QByteArrayView bytes, const QVariant &value)
{
    if (bytes.size() < kMinBytes || bytes.size() > kMaxBytes)
        return true;
    return records().keep(bytes, value);
}

bool ZDWireRecords::findText(QByteArrayView bytes, QString *text) { return texts().find(bytes, text); }

void ZDWireRecords::keepText(QByteArrayView bytes, const QString &text)
{
    if (bytes.size() <= kMaxTextBytes)
        texts().keep(bytes, text);
}

void ZDWireRecords::sweepIfDue()
{
    records().sweepIfDue();
    texts().sweepIfDue();
}

qsizetype ZDWireRecords::size() { return records().size(); }

qsizetype ZDWireRecords::textCount() { return texts().size(); }
