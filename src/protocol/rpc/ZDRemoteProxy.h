#pragma once
// The stand-in for an object of the peer. Thread-safe. Every failure raises
// ZDLinkException: link gone (kLinkFailureName), no answer in time
// ("NSPortTimeoutException", see ZDException::didTimeout), the peer refused the
// call (unknown operation, wrong argument count, or the handler raised). Tell
// them apart by kind(): a peer's error never has the Timeout or LinkFailure kind.
// Dropping the last reference tells the peer it may forget the object.
#include <QHash>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

class ZDConnection;

class ZDRemoteProxy
{
public:
    ~ZDRemoteProxy();
    ZDRemoteProxy(const ZDRemoteProxy &) = delete;
    ZDRemoteProxy &operator=(const ZDRemoteProxy &) = delete;

    // Blocks until the reply; the result by copy or as a reference.
    QVariant call(const QString &op, const QVariantList &args = {}) const;
    // Returns once the call is queued on the link.
    void callOneway(const QString &op, const QVariantList &args = {}) const;
    // Answered from the object's operation table, never by running the operation;
    // remembered per operation.
    bool respondsToSelector(const QString &op) const;
    // The questions not answered yet, asked together: one round trip for all.
    void learnSelectors(const QStringList &ops) const;
    // call() when the object responds to op, else nothing. Asked for the first
    // time, the question and the call go out together (one round trip, not two); a
    // call the object does not take is answered with an error nobody waits for.
    std::optional<QVariant> callIfResponds(const QString &op, const QVariantList &args = {}) const;

    // callIfResponds in two halves, so that one thread has calls under way on many
    // links before it waits for the first answer. Replies of a half never finished
    // are dropped; the reply time-out counts from the begin.
    class Begun
    {
    public:
        Begun();
        Begun(Begun &&) noexcept;
        Begun &operator=(Begun &&) noexcept;
        ~Begun();

    private:
        friend class ZDRemoteProxy;
        struct Calls;
        std::unique_ptr<Calls> m_calls;
    };
    Begun beginIfResponds(const QString &op, const QVariantList &args = {}) const;
    std::optional<QVariant> finish(Begun begun) const;

    bool isValid() const;
    quint64 objectId() const { return m_id; }
    const std::shared_ptr<ZDConnection> &connection() const { return m_connection; }
    void setReplyTimeout(int ms) { m_replyTimeoutMs = ms; }
    int replyTimeout() const { return m_replyTimeoutMs; }

    // The proxy a value holds, or null.
    static std::shared_ptr<ZDRemoteProxy> fromVariant(const QVariant &value);

private:
    friend class ZDConnection;
    ZDRemoteProxy(std::shared_ptr<ZDConnection> connection, quint64 id, int replyTimeoutMs);

    std::shared_ptr<ZDConnection> m_connection;
    quint64 m_id;
    std::atomic<int> m_replyTimeoutMs;
    mutable std::mutex m_cacheMutex;
    mutable QHash<QString, bool> m_responds;
};

using ZDRemoteProxyPtr = std::shared_ptr<ZDRemoteProxy>;
Q_DECLARE_METATYPE(ZDRemoteProxyPtr)
