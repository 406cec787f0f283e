#pragma once
// One link between two peers, used in both directions: calls either way, the
// table of objects this side handed out by reference, and the proxies for the
// peer's objects. Both sides open with a hello (protocol version, registered
// name). Silence is met with a ping; a peer silent for too long is dead, and
// every waiting call then fails at once, as it does when the socket closes.
#include "rpc/ZDLinkException.h"
#include "rpc/ZDRemoteObject.h"
#include "rpc/ZDRemoteProxy.h"
#include "wire/ZDWireFrame.h"
#include "wire/ZDWireMessage.h"
#include "link/ZDWireTransport.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <vector>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

class ZDWorkerPool;

enum class ZDServeMode {
    WorkerThreads, // each incoming call on a worker thread (the agent)
    OwnerThread,   // incoming calls on the thread that made the connection (the console)
};

struct ZDConnectionOptions
{
    ZDWireLimits limits;
    ZDServeMode serveMode = ZDServeMode::OwnerThread;
    // OwnerThread mode, connectToHost: the thread that serves the link's incoming
    // calls, when it is not the connecting one (links sharing a few threads).
    QThread *ownerThread = nullptr;
    int pingAfterIdleMs = 2000;
    int deadAfterSilenceMs = 6000;
    int replyTimeoutMs = 20 * 60 * 1000;
    int connectTimeoutMs = 10000;
    // A peer that has not said hello by then is closed, even while it trickles bytes.
    int helloDeadlineMs = 5000;
    // Incoming calls one link may hold (queued or running) before this side stops
    // reading from it: far above what a console or an agent has in flight, and it
    // bounds a peer that pipelines calls without end. Bytes likewise, counting a
    // decoded message by its frame and its items.
    int maxHeldCalls = 256;
    qint64 maxHeldBytes = 64 * 1024 * 1024;
    // A link whose held calls make no room for this long is closed.
    int heldStallMs = 30000;
    // Listening side only. An agent is reached by a handful of consoles, one link
    // each (a console connects once per computer), plus short probes: the
    // per-address limit leaves room for reconnects and a NAT'd office; the
    // overall one bounds sockets and memory on a flooded agent.
    int maxConnections = 512;
    int maxConnectionsPerAddress = 32;
    // Sent in this side's hello.
    QString localName;
    // Wraps a connected socket (true: accepted by a server). Empty: plain TCP.
    // A TLS transport plugs in here, nothing above it changes.
    std::function<std::unique_ptr<ZDWireTransport>(int fd, bool accepted)> transportFactory;
    // Whether an incoming call to op may run for a peer the transport granted
    // `grant`; a refused call fails unrun (one log line per link). Unset: all run.
    std::function<bool(const QString &op, unsigned grant)> admitsCall;
};

class ZDConnection : public std::enable_shared_from_this<ZDConnection>,
                     private ZDWireTransport::Handler,
                     private ZDWireObjectMapper
{
public:
    static constexpr qint64 kProtocolVersion = 1;

    // The transport for a connected socket, as the options ask.
    static std::unique_ptr<ZDWireTransport> makeTransport(int fd, bool accepted, const ZDConnectionOptions &options);
    // What a transport may queue for a slow peer before it gives up on it.
    static qint64 sendQueueLimit(const ZDConnectionOptions &options);

    // Connects, exchanges hellos and checks the peer's registered name when one is
    // expected. Throws ZDLinkException (time-out or link failure).
    static std::shared_ptr<ZDConnection> connectToHost(const QString &host, quint16 port,
                                                       const QString &expectedName = {},
                                                       const ZDConnectionOptions &options = {});
    // The same, without a thread waiting (OwnerThread mode needs options.ownerThread):
    // done runs once, later, on a thread of the
    // wire (never inline) with the link or, when there is none, the failure that
    // connectToHost would throw. It must not block.
    using Connected = std::function<void(std::shared_ptr<ZDConnection> link, const std::optional<ZDLinkException> &failure)>;
    static void connectToHostAsync(const QString &host, quint16 port, const QString &expectedName,
                                   const ZDConnectionOptions &options, Connected done);
    // Wraps an established stream. ownerContext: a QObject living on the thread that
    // serves calls in OwnerThread mode; pool: the workers in WorkerThreads mode.
    static std::shared_ptr<ZDConnection> create(std::unique_ptr<ZDWireTransport> transport,
                                                const ZDConnectionOptions &options, ZDRemoteObjectPtr root,
                                                std::shared_ptr<ZDWorkerPool> pool,
                                                std::shared_ptr<QObject> ownerContext);
    ~ZDConnection() override;

    // The peer's root object.
    ZDRemoteProxyPtr rootProxy();
    void setRootObject(ZDRemoteObjectPtr root);
    // Runs once, without blocking, when the peer's hello arrived or the link ended
    // (at once when either already happened). Never blocks in it.
    void whenHelloOrEnd(std::function<void()> then);
    QString peerName() const;
    qint64 peerVersion() const;
    QString peerAddress() const;
    // What the transport proved and granted (see ZDWireTransport).
    QString peerKey() const;
    unsigned peerGrant() const;

    bool isValid() const;
    // Closes the link; waiting calls fail with a link failure.
    void invalidate();
    // Called once, on whatever thread noticed, when the link ends.
    void setInvalidationHandler(std::function<void(const QString &reason)> handler);

    int exportedObjectCount() const;
    int proxyCount() const;

    // The connection whose incoming call runs on this thread, or null.
    static ZDConnection *current();
    // A QObject living on the calling thread, to hand to create() for OwnerThread mode.
    static std::shared_ptr<QObject> makeOwnerContext();

private:
    friend class ZDRemoteProxy;
    struct PendingCall;
    struct ProxyEntry
    {
        std::weak_ptr<ZDRemoteProxy> proxy;
        const ZDRemoteProxy *raw = nullptr;
        quint64 received = 0;
    };
    struct ExportEntry
    {
        ZDRemoteObjectPtr object;
        quint64 sent = 0;
    };

    ZDConnection(std::unique_ptr<ZDWireTransport> transport, const ZDConnectionOptions &options);
    void start();

    // A call on its way: sent at once, its reply waited for later, so that a
    // caller may have several on the link before it waits for the first.
    struct Ticket
    {
        quint64 id = 0;
        std::shared_ptr<PendingCall> pc;
        bool onOwner = false;
        QString op;
        std::chrono::steady_clock::time_point sent; // the reply's time-out counts from here
    };
    QVariant sendCall(quint64 target, const QString &op, const QVariantList &args, int timeoutMs);
    Ticket beginCall(quint64 target, const QString &op, const QVariantList &args);
    QVariant waitCall(const Ticket &ticket, int timeoutMs);
    // Its reply, if one comes, is dropped.
    void abandonCall(const Ticket &ticket);
    void sendOneway(quint64 target, const QString &op, const QVariantList &args);
    void proxyDestroyed(quint64 id, const ZDRemoteProxy *proxy);
    bool sendMessage(const ZDWireMessage &message, QString *error);

    void transportReceived(const char *data, qsizetype size) override;
    void transportTick(qint64 msSinceReceive) override;
    void transportClosed(const QString &reason) override;
    bool encodeObject(const QVariant &value, ZDWireReference *ref, QString *error) override;
    QVariant decodeObject(const ZDWireReference &ref, QString *error) override;

    // An incoming call ready to start, counted against the link's bounds.
    struct Ready
    {
        std::function<void()> task;
        quint64 id = 0;
        bool oneway = false;
        bool inOrder = false;
        qint64 weight = 0;
    };
    enum class Hold { Held, Full, Closed };

    void handleMessage(ZDWireMessage &&message);
    void dispatchCall(ZDWireMessage &&message);
    // I/O thread: counts an incoming call against the link's bounds. Full: reading
    // stops until calls end (transportResumed then admits it).
    Hold holdCall(qint64 weight);
    void releaseCall(qint64 weight);
    void admit(Ready &&ready);
    void startCall(Ready &&ready, bool onIoThread);
    void transportResumed() override;
    // Calls after an in-order call start once it has run, as they would if the link
    // read nothing meanwhile: a queue per link, served by one worker at a time.
    void pushSerial(std::function<void()> task);
    void drainSerial();
    bool serialBusy() const;
    void flushOnewayBatch();
    // Runs the next call queued for the owner thread, without the lock; false when none is queued.
    bool runOwnerTask(std::unique_lock<std::mutex> &lock);
    void runCall(const ZDRemoteObjectPtr &object, const ZDWireMessage &message);
    void deliverOnOwner(std::function<void()> task);
    void drainOwnerQueue();
    void fail(ZDLinkException::Kind kind, const QString &reason);
    ZDRemoteProxyPtr proxyFor(quint64 id);

    std::unique_ptr<ZDWireTransport> m_transport;
    ZDConnectionOptions m_options;
    ZDWireFrame m_frames;
    // Oneway calls that arrived in one read, handed to one worker together: waking
    // a worker per message costs more than the messages themselves. I/O thread only.
    std::vector<std::function<void()>> m_onewayBatch;
    std::shared_ptr<ZDWorkerPool> m_pool;
    std::shared_ptr<QObject> m_ownerContext;
    QThread *m_ownerThread = nullptr;
    QString m_peerAddress;

    mutable std::mutex m_mutex;
    std::function<void()> m_helloThen;
    std::condition_variable m_ownerCv;
    int m_heldCalls = 0;
    qint64 m_heldBytes = 0;
    bool m_readPaused = false;
    qint64 m_pausedWeight = 0;
    std::deque<std::function<void()>> m_serial;
    bool m_serialBusy = false;
    std::atomic<bool> m_refusalLogged{false};
    bool m_gateLogged = false; // I/O thread only
    bool m_helloReceived = false;
    QString m_peerName;
    qint64 m_peerVersion = 0;
    bool m_closed = false;
    ZDLinkException::Kind m_closeKind = ZDLinkException::Kind::LinkFailure;
    QString m_closeReason;
    std::function<void(const QString &)> m_invalidationHandler;
    std::unordered_map<quint64, std::shared_ptr<PendingCall>> m_pending;
    ZDRemoteObjectPtr m_root;
    std::unordered_map<quint64, ExportEntry> m_exports;
    std::unordered_map<const ZDRemoteObject *, quint64> m_exportIds;
    std::unordered_map<quint64, ProxyEntry> m_proxies;
    std::deque<std::function<void()>> m_ownerQueue;
    bool m_drainPosted = false;
    quint64 m_nextExportId = 1;
    std::atomic<quint64> m_nextCallId{1};
    qint64 m_lastPingMs = 0;
    // I/O thread only.
    qint64 m_startMs = 0;
    bool m_helloSeen = false;
    std::optional<Ready> m_stalled; // waits for room, reading stopped
    qint64 m_stalledSinceMs = 0;
};
