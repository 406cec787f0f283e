#include "link/ZDConnection.h"

#include "log/ZDLog.h"
#include "link/ZDTcpTransport.h"
#include "process/ZDThreads.h"
#include "rpc/ZDWorkerPool.h"

#include <QPointer>

#include <chrono>
#include <utility>

namespace {

thread_local ZDConnection *t_current = nullptr;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const QString kRespondsToSelector = QStringLiteral("respondsToSelector:");

QString nameForKind(ZDLinkException::Kind kind)
{
    return QString::fromLatin1(kind == ZDLinkException::Kind::Timeout ? ZDException::kTimeoutName
                                                                      : ZDLinkException::kLinkFailureName);
}

// A peer cannot pass its own failure off as this side's time-out or link failure.
QString peerErrorName(const QString &name)
{
    if (name == QLatin1String(ZDException::kTimeoutName) || name == QLatin1String(ZDLinkException::kLinkFailureName))
        return QLatin1String(ZDLinkException::kPeerNamePrefix) + name;
    return name;
}

qint64 queueLimit(const ZDConnectionOptions &options)
{
    return 4 * options.limits.maxFrameBytes + 1024 * 1024;
}

} // namespace

struct ZDConnection::PendingCall
{
    std::condition_variable cv;
    std::condition_variable *waitCv = &cv;
    bool done = false;
    bool failed = false;
    ZDLinkException::Kind kind = ZDLinkException::Kind::Remote;
    QString name;
    QString reason;
    QVariant result;
};

ZDConnection::ZDConnection(std::unique_ptr<ZDWireTransport> transport, const ZDConnectionOptions &options)
    : m_transport(std::move(transport))
    , m_options(options)
    , m_frames(options.limits.maxFrameBytes)
    , m_peerAddress(m_transport->peerDescription())
    , m_startMs(nowMs())
{
}

ZDConnection::~ZDConnection()
{
    m_transport->close();
}

std::shared_ptr<QObject> ZDConnection::makeOwnerContext()
{
    return std::shared_ptr<QObject>(new QObject, [](QObject *context) {
        // A finished thread would never run deleteLater: nothing can reach the object then.
        QThread *owner = context->thread();
        if (owner == QThread::currentThread() || !owner || owner->isFinished())
            delete context;
        else
            context->deleteLater();
    });
}

std::shared_ptr<ZDConnection> ZDConnection::create(std::unique_ptr<ZDWireTransport> transport,
                                                   const ZDConnectionOptions &options, ZDRemoteObjectPtr root,
                                                   std::shared_ptr<ZDWorkerPool> pool,
                                                   std::shared_ptr<QObject> ownerContext)
{
    std::shared_ptr<ZDConnection> c(new ZDConnection(std::move(transport), options));
    c->m_root = std::move(root);
    c->m_pool = std::move(pool);
    c->m_ownerContext = std::move(ownerContext);
    if (c->m_options.serveMode == ZDServeMode::OwnerThread && c->m_ownerContext)
        c->m_ownerThread = c->m_ownerContext->thread();
    else if (!c->m_pool)
        c->m_pool = std::make_shared<ZDWorkerPool>(16);
    c->start();
    return c;
}

std::shared_ptr<ZDConnection> ZDConnection::connectToHost(const QString &host, quint16 port,
                                                          const QString &expectedName,
                                                          const ZDConnectionOptions &options)
{
    struct Outcome
    {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        std::shared_ptr<ZDConnection> link;
        std::optional<ZDLinkException> failure;
    };
    const auto outcome = std::make_shared<Outcome>();
    // Calls to this side are served where the caller is, unless it says where.
    ZDConnectionOptions here = options;
    if (here.serveMode == ZDServeMode::OwnerThread && !here.ownerThread)
        here.ownerThread = QThread::currentThread();
    connectToHostAsync(host, port, expectedName, here,
                       [outcome](std::shared_ptr<ZDConnection> link, const std::optional<ZDLinkException> &failure) {
                           std::lock_guard lock(outcome->mutex);
                           outcome->link = std::move(link);
                           outcome->failure = failure;
                           outcome->done = true;
                           outcome->cv.notify_all();
                       });
    std::unique_lock lock(outcome->mutex);
    // The connect and the hello each end by their own deadline; the margin only
    // covers a program that ends meanwhile and answers no more.
    const auto bound = std::chrono::milliseconds(options.connectTimeoutMs + options.helloDeadlineMs + 5000);
    if (!outcome->cv.wait_for(lock, bound, [&] { return outcome->done; }))
        throw ZDLinkException::timeout(QStringLiteral("no handshake from %1 port %2").arg(host).arg(port));
    if (outcome->failure)
        throw *outcome->failure;
    return outcome->link;
}

void ZDConnection::connectToHostAsync(const QString &host, quint16 port, const QString &expectedName,
                                      const ZDConnectionOptions &options, Connected done)
{
    ZDTcpTransport::connectAsync(host, port, options.connectTimeoutMs, [=](int fd, const QString &error) {
        if (fd < 0) {
            done(nullptr, ZDLinkException::linkFailure(error));
            return;
        }
        std::shared_ptr<ZDConnection> c;
        try {
            std::shared_ptr<QObject> context;
            if (options.serveMode == ZDServeMode::OwnerThread) {
                context = makeOwnerContext();
                if (options.ownerThread)
                    context->moveToThread(options.ownerThread);
            }
            c = create(makeTransport(fd, false, options), options, nullptr, nullptr, std::move(context));
        } catch (const std::exception &e) {
            // Whoever waits hears of it: an attempt that never answers would never end.
            done(nullptr, ZDLinkException::linkFailure(QString::fromLocal8Bit(e.what())));
            return;
        }
        // Held only by the wait until the hello: a link that never says it ends by
        // the hello deadline, and that end answers.
        c->whenHelloOrEnd([c, host, port, expectedName, done] {
            bool helloed = false;
            bool closed = false;
            QString why;
            {
                std::lock_guard lock(c->m_mutex);
                helloed = c->m_helloReceived && !c->m_closed;
                closed = c->m_closed && c->m_closeKind != ZDLinkException::Kind::Timeout;
                why = c->m_closeReason;
            }
            if (!helloed) {
                c->invalidate();
                // A transport's own refusal (a TLS handshake, a key that is not trusted) says why.
                if (closed)
                    done(nullptr, ZDLinkException::linkFailure(
                                      QStringLiteral("%1 port %2 closed the connection during the handshake%3")
                                          .arg(host)
                                          .arg(port)
                                          .arg(why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why))));
                else
                    done(nullptr, ZDLinkException::timeout(QStringLiteral("no handshake from %1 port %2").arg(host).arg(port)));
                return;
            }
            if (!expectedName.isEmpty() && c->peerName() != expectedName) {
                const QString found = c->peerName();
                c->invalidate();
                done(nullptr, ZDLinkException::linkFailure(QStringLiteral("%1 port %2 is registered as \"%3\", not \"%4\"")
                                                               .arg(host)
                                                               .arg(port)
                                                               .arg(found, expectedName)));
                return;
            }
            done(c, std::nullopt);
        });
    });
}

qint64 ZDConnection::sendQueueLimit(const ZDConnectionOptions &options)
{
    return queueLimit(options);
}

std::unique_ptr<ZDWireTransport> ZDConnection::makeTransport(int fd, bool accepted, const ZDConnectionOptions &options)
{
    if (options.transportFactory)
        return options.transportFactory(fd, accepted);
    return std::make_unique<ZDTcpTransport>(fd, queueLimit(options));
}

void ZDConnection::start()
{
    // The transport holds this side weakly, through its handler interface.
    const std::shared_ptr<ZDWireTransport::Handler> handler(shared_from_this(), static_cast<ZDWireTransport::Handler *>(this));
    m_transport->start(handler);
    sendMessage(ZDWireMessage::hello(kProtocolVersion, m_options.localName), nullptr);
}

ZDRemoteProxyPtr ZDConnection::rootProxy()
{
    std::lock_guard lock(m_mutex);
    auto &entry = m_proxies[0];
    if (auto p = entry.proxy.lock())
        return p;
    ZDRemoteProxyPtr p(new ZDRemoteProxy(shared_from_this(), 0, m_options.replyTimeoutMs));
    entry.proxy = p;
    entry.raw = p.get();
    return p;
}

void ZDConnection::setRootObject(ZDRemoteObjectPtr root)
{
    std::lock_guard lock(m_mutex);
    m_root = std::move(root);
}

void ZDConnection::whenHelloOrEnd(std::function<void()> then)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_helloReceived && !m_closed) {
            m_helloThen = std::move(then);
            return;
        }
    }
    then();
}

QString ZDConnection::peerName() const
{
    std::lock_guard lock(m_mutex);
    return m_peerName;
}

qint64 ZDConnection::peerVersion() const
{
    std::lock_guard lock(m_mutex);
    return m_peerVersion;
}

QString ZDConnection::peerAddress() const
{
    return m_peerAddress;
}

QString ZDConnection::peerKey() const
{
    return m_transport->peerKey();
}

unsigned ZDConnection::peerGrant() const
{
    return m_transport->peerGrant();
}

bool ZDConnection::isValid() const
{
    std::lock_guard lock(m_mutex);
    return !m_closed;
}

void ZDConnection::invalidate()
{
    fail(ZDLinkException::Kind::LinkFailure, QStringLiteral("connection invalidated"));
}

void ZDConnection::setInvalidationHandler(std::function<void(const QString &)> handler)
{
    QString reason;
    {
        std::lock_guard lock(m_mutex);
        if (!m_closed) {
            m_invalidationHandler = std::move(handler);
            return;
        }
        reason = m_closeReason;
    }
    if (handler)
        handler(reason);
}

int ZDConnection::exportedObjectCount() const
{
    std::lock_guard lock(m_mutex);
    return int(m_exports.size());
}

int ZDConnection::proxyCount() const
{
    std::lock_guard lock(m_mutex);
    int live = 0;
    for (const auto &[id, entry] : m_proxies)
        live += entry.proxy.expired() ? 0 : 1;
    return live;
}

ZDConnection *ZDConnection::current()
{
    return t_current;
}

bool ZDConnection::sendMessage(const ZDWireMessage &message, QString *error)
{
    const QByteArray frame = message.toFrame(this, m_options.limits, error);
    return !frame.isEmpty() && m_transport->send(frame);
}

QVariant ZDConnection::sendCall(quint64 target, const QString &op, const QVariantList &args, int timeoutMs)
{
    return waitCall(beginCall(target, op, args), timeoutMs);
}

ZDConnection::Ticket ZDConnection::beginCall(quint64 target, const QString &op, const QVariantList &args)
{
    Ticket ticket;
    ticket.id = m_nextCallId++;
    ticket.op = op;
    QString error;
    const QByteArray frame = ZDWireMessage::call(ticket.id, target, op, args, false).toFrame(this, m_options.limits, &error);
    if (frame.isEmpty())
        throw ZDLinkException::invalid(QStringLiteral("%1: %2").arg(op, error));
    ticket.pc = std::make_shared<PendingCall>();
    ticket.onOwner = m_ownerThread && QThread::currentThread() == m_ownerThread;
    if (ticket.onOwner)
        ticket.pc->waitCv = &m_ownerCv;
    std::unique_lock lock(m_mutex);
    if (m_closed)
        throw ZDLinkException(m_closeKind, nameForKind(m_closeKind), m_closeReason);
    m_pending.emplace(ticket.id, ticket.pc);
    lock.unlock();
    ticket.sent = std::chrono::steady_clock::now();
    if (!m_transport->send(frame)) {
        lock.lock();
        m_pending.erase(ticket.id);
        if (ticket.pc->failed)
            throw ZDLinkException(ticket.pc->kind, ticket.pc->name, ticket.pc->reason);
        throw ZDLinkException::linkFailure(QStringLiteral("link to %1 is closed").arg(m_peerAddress));
    }
    return ticket;
}

void ZDConnection::abandonCall(const Ticket &ticket)
{
    std::lock_guard lock(m_mutex);
    m_pending.erase(ticket.id);
}

QVariant ZDConnection::waitCall(const Ticket &ticket, int timeoutMs)
{
    PendingCall *const pc = ticket.pc.get();
    std::unique_lock lock(m_mutex);
    const auto deadline = ticket.sent + std::chrono::milliseconds(timeoutMs);
    while (!pc->done) {
        // While the owner waits, the peer's calls to it still run (they may be what it waits for).
        if (ticket.onOwner && runOwnerTask(lock))
            continue;
        if (pc->waitCv->wait_until(lock, deadline) == std::cv_status::timeout && !pc->done) {
            m_pending.erase(ticket.id);
            throw ZDLinkException::timeout(
                QStringLiteral("no reply to %1 from %2 within %3 ms").arg(ticket.op, m_peerAddress).arg(timeoutMs));
        }
    }
    if (pc->failed)
        throw ZDLinkException(pc->kind, pc->name, pc->reason);
    return std::move(pc->result);
}

void ZDConnection::sendOneway(quint64 target, const QString &op, const QVariantList &args)
{
    QString error;
    const QByteArray frame =
        ZDWireMessage::call(m_nextCallId++, target, op, args, true).toFrame(this, m_options.limits, &error);
    if (frame.isEmpty())
        throw ZDLinkException::invalid(QStringLiteral("%1: %2").arg(op, error));
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            throw ZDLinkException(m_closeKind, nameForKind(m_closeKind), m_closeReason);
    }
    if (!m_transport->send(frame))
        throw ZDLinkException::linkFailure(QStringLiteral("link to %1 is closed").arg(m_peerAddress));
}

void ZDConnection::proxyDestroyed(quint64 id, const ZDRemoteProxy *proxy)
{
    quint64 count = 0;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_proxies.find(id);
        if (it == m_proxies.end() || it->second.raw != proxy)
            return;
        count = it->second.received;
        m_proxies.erase(it);
        if (m_closed)
            return;
    }
    if (count > 0)
        sendMessage(ZDWireMessage::release(id, count), nullptr);
}

ZDRemoteProxyPtr ZDConnection::proxyFor(quint64 id)
{
    std::lock_guard lock(m_mutex);
    auto &entry = m_proxies[id];
    ++entry.received;
    if (auto p = entry.proxy.lock())
        return p;
    ZDRemoteProxyPtr p(new ZDRemoteProxy(shared_from_this(), id, m_options.replyTimeoutMs));
    entry.proxy = p;
    entry.raw = p.get();
    return p;
}

bool ZDConnection::encodeObject(const QVariant &value, ZDWireReference *ref, QString *error)
{
    if (value.metaType() == QMetaType::fromType<ZDRemoteObjectPtr>()) {
        const auto object = value.value<ZDRemoteObjectPtr>();
        if (!object) {
            *error = QStringLiteral("null object reference");
            return false;
        }
        std::lock_guard lock(m_mutex);
        ref->ownedBySender = true;
        if (object == m_root) {
            ref->id = 0;
            return true;
        }
        auto it = m_exportIds.find(object.get());
        if (it == m_exportIds.end()) {
            it = m_exportIds.emplace(object.get(), m_nextExportId++).first;
            m_exports.emplace(it->second, ExportEntry{object, 0});
        }
        ++m_exports[it->second].sent;
        ref->id = it->second;
        return true;
    }
    if (value.metaType() == QMetaType::fromType<ZDRemoteProxyPtr>()) {
        const auto proxy = value.value<ZDRemoteProxyPtr>();
        if (!proxy || proxy->m_connection.get() != this) {
            *error = QStringLiteral("a proxy can only go back over its own connection");
            return false;
        }
        ref->ownedBySender = false;
        ref->id = proxy->m_id;
        return true;
    }
    *error = QStringLiteral("a value of type %1 cannot travel").arg(QString::fromLatin1(value.typeName()));
    return false;
}

QVariant ZDConnection::decodeObject(const ZDWireReference &ref, QString *error)
{
    if (ref.ownedBySender)
        return QVariant::fromValue(proxyFor(ref.id));
    std::lock_guard lock(m_mutex);
    if (ref.id == 0 && m_root)
        return QVariant::fromValue(m_root);
    const auto it = m_exports.find(ref.id);
    if (it == m_exports.end()) {
        *error = QStringLiteral("reference to unknown object %1").arg(ref.id);
        return {};
    }
    return QVariant::fromValue(it->second.object);
}

void ZDConnection::transportReceived(const char *data, qsizetype size)
{
    struct FlushAtEnd {
        ZDConnection *self;
        ~FlushAtEnd() { self->flushOnewayBatch(); }
    } flushAtEnd{this};
    if (size > 0)
        m_frames.append(data, size);
    for (;;) {
        // What arrives while a call waits for room stays in the frame buffer.
        if (m_stalled)
            return;
        QByteArray body;
        QString error;
        const auto status = m_frames.next(&body, &error);
        if (status == ZDWireFrame::Status::NeedMore)
            return;
        std::optional<ZDWireMessage> message;
        if (status == ZDWireFrame::Status::Frame)
            message = ZDWireMessage::fromBody(body, this, m_options.limits, &error);
        bool helloExpected = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_closed)
                return;
            helloExpected = !m_helloReceived;
        }
        if (message && helloExpected != (message->type == ZDWireMessage::Type::Hello))
            error = helloExpected ? QStringLiteral("first message is not a hello") : QStringLiteral("second hello");
        else if (message && message->type == ZDWireMessage::Type::Hello && message->version != kProtocolVersion)
            error = QStringLiteral("protocol version %1 is not %2").arg(message->version).arg(kProtocolVersion);
        if (!error.isEmpty() || !message) {
            ZDLog::appendLog(QStringLiteral("Closing connection to %@: %@."), m_peerAddress, error);
            fail(ZDLinkException::Kind::LinkFailure, QStringLiteral("bad frame from peer: %1").arg(error));
            return;
        }
        handleMessage(std::move(*message));
    }
}

void ZDConnection::handleMessage(ZDWireMessage &&message)
{
    switch (message.type) {
    case ZDWireMessage::Type::Hello: {
        m_helloSeen = true;
        std::function<void()> then;
        {
            std::lock_guard lock(m_mutex);
            m_helloReceived = true;
            m_peerName = message.name;
            m_peerVersion = message.version;
            then = std::move(m_helloThen);
        }
        if (then)
            then();
        return;
    }
    case ZDWireMessage::Type::Ping:
        sendMessage(ZDWireMessage::ping(true), nullptr);
        return;
    case ZDWireMessage::Type::Pong:
        return;
    case ZDWireMessage::Type::Call:
        dispatchCall(std::move(message));
        return;
    case ZDWireMessage::Type::Reply: {
        std::lock_guard lock(m_mutex);
        const auto it = m_pending.find(message.id);
        if (it == m_pending.end())
            return; // the caller gave up waiting
        PendingCall &pc = *it->second;
        pc.done = true;
        pc.failed = message.failed;
        pc.name = message.failed ? peerErrorName(message.errorName) : QString();
        pc.reason = message.errorReason;
        pc.result = std::move(message.result);
        pc.waitCv->notify_all();
        m_pending.erase(it);
        return;
    }
    case ZDWireMessage::Type::Release: {
        ZDRemoteObjectPtr released;
        std::lock_guard lock(m_mutex);
        const auto it = m_exports.find(message.target);
        if (it == m_exports.end())
            return;
        if (it->second.sent > message.count) {
            it->second.sent -= message.count;
            return;
        }
        released = std::move(it->second.object);
        m_exportIds.erase(released.get());
        m_exports.erase(it);
        return; // the lock ends before the object may go
    }
    }
}

namespace {
// Bounds how long the last oneway call of a burst waits behind the others.
constexpr size_t kOnewayBatchLimit = 64;
} // namespace

void ZDConnection::dispatchCall(ZDWireMessage &&message)
{
    ZDRemoteObjectPtr object;
    {
        std::lock_guard lock(m_mutex);
        if (message.target == 0) {
            object = m_root;
        } else if (const auto it = m_exports.find(message.target); it != m_exports.end()) {
            object = it->second.object;
        }
    }
    // Answered here: it never runs an operation, and needs no thread.
    if (object && message.op == kRespondsToSelector && message.args.size() == 1
        && message.args.first().metaType().id() == QMetaType::QString) {
        if (!message.oneway)
            sendMessage(ZDWireMessage::reply(message.id, object->respondsToSelector(message.args.first().toString())),
                        nullptr);
        return;
    }
    if (m_options.admitsCall && !m_options.admitsCall(message.op, m_transport->peerGrant())) {
        // Refused before a thread or a handler sees it; the peer learns only that.
        if (!std::exchange(m_gateLogged, true))
            ZDLog::appendLog(QStringLiteral("Refusing calls from %@ (first: %@): this console is not enrolled on this computer."),
                             m_peerAddress, message.op.left(64));
        if (!message.oneway)
            sendMessage(ZDWireMessage::errorReply(message.id, QStringLiteral("ZDNotEnrolledException"),
                                                  QStringLiteral("this computer serves enrolled consoles only; pair this console with it")),
                        nullptr);
        return;
    }
    const ZDRemoteObject::Call kind = object ? object->callKind(message.op) : ZDRemoteObject::Call::Synchronous;
    if (!message.oneway && kind != ZDRemoteObject::Call::Synchronous) {
        sendMessage(ZDWireMessage::reply(message.id, QVariant()), nullptr);
        message.oneway = true;
    }
    Ready ready;
    ready.oneway = message.oneway;
    ready.id = message.id;
    ready.inOrder = !m_ownerThread && message.oneway && kind == ZDRemoteObject::Call::OnewayInOrder;
    ready.weight = message.weight;
    ready.task = [weak = weak_from_this(), object = std::move(object), message = std::move(message), weight = ready.weight] {
        if (auto self = weak.lock()) {
            self->runCall(object, message);
            self->releaseCall(weight);
        }
    };
    switch (holdCall(ready.weight)) {
    case Hold::Held:
        admit(std::move(ready));
        return;
    case Hold::Full:
        // The peer sends calls faster than they end: read no more of it until some do.
        flushOnewayBatch();
        m_stalled = std::move(ready);
        m_stalledSinceMs = nowMs();
        return;
    case Hold::Closed:
        return;
    }
}

void ZDConnection::transportResumed()
{
    if (m_stalled) {
        const Hold hold = holdCall(m_stalled->weight);
        if (hold == Hold::Full)
            return;
        Ready ready = std::move(*m_stalled);
        m_stalled.reset();
        if (hold == Hold::Closed)
            return;
        admit(std::move(ready));
    }
    transportReceived(nullptr, 0); // the frames that came meanwhile
}

ZDConnection::Hold ZDConnection::holdCall(qint64 weight)
{
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return Hold::Closed;
    const bool room = m_heldCalls == 0
        || (m_heldCalls < m_options.maxHeldCalls && m_heldBytes + weight <= m_options.maxHeldBytes);
    if (!room) {
        // Under the lock, so a call ending now cannot resume before this pauses.
        m_readPaused = true;
        m_pausedWeight = weight;
        m_transport->setReading(false);
        return Hold::Full;
    }
    ++m_heldCalls;
    m_heldBytes += weight;
    return Hold::Held;
}

void ZDConnection::releaseCall(qint64 weight)
{
    std::lock_guard lock(m_mutex);
    --m_heldCalls;
    m_heldBytes -= weight;
    if (m_readPaused
        && (m_heldCalls == 0
            || (m_heldCalls < m_options.maxHeldCalls && m_heldBytes + m_pausedWeight <= m_options.maxHeldBytes))) {
        m_readPaused = false;
        m_transport->setReading(true);
    }
}

void ZDConnection::admit(Ready &&ready)
{
    if (m_ownerThread) {
        deliverOnOwner(std::move(ready.task));
        return;
    }
    if (!ready.inOrder && !serialBusy()) {
        startCall(std::move(ready), true);
        return;
    }
    flushOnewayBatch(); // behind what came before, as it goes through the queue while it is busy
    if (ready.inOrder) {
        pushSerial(std::move(ready.task)); // done before the calls behind it start
        return;
    }
    pushSerial([weak = weak_from_this(), ready = std::make_shared<Ready>(std::move(ready))] {
        if (auto self = weak.lock())
            self->startCall(std::move(*ready), false);
    });
}

void ZDConnection::startCall(Ready &&ready, bool onIoThread)
{
    if (ready.oneway) {
        if (!onIoThread) {
            if (!m_pool->run(std::move(ready.task)))
                ready.task();
            return;
        }
        m_onewayBatch.push_back(std::move(ready.task));
        if (m_onewayBatch.size() >= kOnewayBatchLimit)
            flushOnewayBatch();
        return;
    }
    if (onIoThread)
        flushOnewayBatch(); // calls start in the order they came
    if (!m_pool->run(std::move(ready.task))) {
        releaseCall(ready.weight);
        if (!m_refusalLogged.exchange(true))
            ZDLog::appendLog(QStringLiteral("Refusing calls from %@: every worker is busy."), m_peerAddress);
        sendMessage(ZDWireMessage::errorReply(ready.id, QString::fromLatin1(ZDLinkException::kBusyName),
                                              QStringLiteral("too many calls waiting; try again later")),
                    nullptr);
    }
}

bool ZDConnection::serialBusy() const
{
    std::lock_guard lock(m_mutex);
    return m_serialBusy;
}

void ZDConnection::pushSerial(std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        m_serial.push_back(std::move(task));
        if (m_serialBusy)
            return;
        m_serialBusy = true;
    }
    std::function<void()> drain = [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->drainSerial();
    };
    // No worker can take it: run here, which also stops reading until it is done.
    if (!m_pool->run(std::move(drain)))
        drainSerial();
}

void ZDConnection::drainSerial()
{
    std::unique_lock lock(m_mutex);
    while (!m_serial.empty()) {
        auto task = std::move(m_serial.front());
        m_serial.pop_front();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
    m_serialBusy = false;
}

void ZDConnection::flushOnewayBatch()
{
    if (m_onewayBatch.empty())
        return;
    std::function<void()> task;
    if (m_onewayBatch.size() == 1) {
        task = std::move(m_onewayBatch.front());
    } else {
        task = [batch = std::move(m_onewayBatch)] {
            for (const auto &t : batch)
                t();
        };
    }
    m_onewayBatch = {};
    // No worker can take it: run here, which also stops reading until it is done.
    if (!m_pool->run(std::move(task)))
        task();
}

void ZDConnection::runCall(const ZDRemoteObjectPtr &object, const ZDWireMessage &message)
{
    ZDConnection *const previous = t_current;
    t_current = this;
    QVariant result;
    bool failed = true;
    QString name;
    QString reason;
    if (!object) {
        name = QString::fromLatin1(ZDLinkException::kUnknownObjectName);
        reason = QStringLiteral("no object %1 on this side").arg(message.target);
    } else {
        try {
            result = object->invoke(message.op, message.args);
            failed = false;
        } catch (const std::exception &e) {
            name = ZDException::nameOf(e);
            reason = ZDException::reasonOf(e);
        } catch (...) {
            name = QStringLiteral("UnknownException");
            reason = QStringLiteral("no reason available");
        }
    }
    t_current = previous;
    if (message.oneway) {
        if (failed)
            ZDLog::appendLog(QStringLiteral("Oneway call %@ failed: %@ - %@."), message.op, name, reason);
        return;
    }
    QString error;
    if (failed) {
        sendMessage(ZDWireMessage::errorReply(message.id, name, reason), nullptr);
    } else if (!sendMessage(ZDWireMessage::reply(message.id, result), &error) && !error.isEmpty()) {
        sendMessage(ZDWireMessage::errorReply(message.id, QString::fromLatin1(ZDLinkException::kInvalidArgumentName),
                                              QStringLiteral("result of %1 cannot travel: %2").arg(message.op, error)),
                    nullptr);
    }
}

void ZDConnection::deliverOnOwner(std::function<void()> task)
{
    bool post = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
        m_ownerQueue.push_back(std::move(task));
        post = !m_drainPosted;
        m_drainPosted = true;
    }
    m_ownerCv.notify_all();
    if (post) {
        ZDThreads::post(m_ownerContext.get(), [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->drainOwnerQueue();
        });
    }
}

void ZDConnection::drainOwnerQueue()
{
    std::unique_lock lock(m_mutex);
    m_drainPosted = false;
    while (runOwnerTask(lock)) {
    }
}

bool ZDConnection::runOwnerTask(std::unique_lock<std::mutex> &lock)
{
    if (m_ownerQueue.empty())
        return false;
    auto task = std::move(m_ownerQueue.front());
    m_ownerQueue.pop_front();
    lock.unlock();
    task();
    task = nullptr; // whatever it holds goes before the lock is taken again
    lock.lock();
    return true;
}

void ZDConnection::transportTick(qint64 msSinceReceive)
{
    if (m_stalled && nowMs() - m_stalledSinceMs >= m_options.heldStallMs) {
        int held = 0;
        {
            std::lock_guard lock(m_mutex);
            held = m_heldCalls;
        }
        ZDLog::appendLog(QStringLiteral("Closing connection to %@: %@ calls still waiting after %@ ms."), m_peerAddress,
                         held, m_options.heldStallMs);
        fail(ZDLinkException::Kind::LinkFailure,
             QStringLiteral("%1 keeps more calls waiting than this side takes").arg(m_peerAddress));
        return;
    }
    if (m_stalled)
        return; // not reading: its silence says nothing about the peer
    if (!m_helloSeen && nowMs() - m_startMs >= m_options.helloDeadlineMs) {
        ZDLog::appendLog(QStringLiteral("Closing connection to %@: no hello within %@ ms."), m_peerAddress,
                         m_options.helloDeadlineMs);
        fail(ZDLinkException::Kind::Timeout,
             QStringLiteral("no hello from %1 within %2 ms").arg(m_peerAddress).arg(m_options.helloDeadlineMs));
        return;
    }
    if (msSinceReceive >= m_options.deadAfterSilenceMs) {
        ZDLog::appendLog(QStringLiteral("Connection to %@ timed out: no answer for %@ ms."), m_peerAddress,
                         msSinceReceive);
        fail(ZDLinkException::Kind::Timeout,
             QStringLiteral("no answer from %1 for %2 ms").arg(m_peerAddress).arg(msSinceReceive));
        return;
    }
    const qint64 now = nowMs();
    if (msSinceReceive >= m_options.pingAfterIdleMs && now - m_lastPingMs >= m_options.pingAfterIdleMs) {
        m_lastPingMs = now;
        sendMessage(ZDWireMessage::ping(false), nullptr);
    }
}

void ZDConnection::transportClosed(const QString &reason)
{
    fail(ZDLinkException::Kind::LinkFailure, QStringLiteral("link to %1 lost: %2").arg(m_peerAddress, reason));
}

void ZDConnection::fail(ZDLinkException::Kind kind, const QString &reason)
{
    std::unordered_map<quint64, std::shared_ptr<PendingCall>> pending;
    std::unordered_map<quint64, ExportEntry> exports;
    std::function<void(const QString &)> handler;
    std::function<void()> helloThen;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
        m_closed = true;
        m_closeKind = kind;
        m_closeReason = reason;
        pending.swap(m_pending);
        exports.swap(m_exports);
        m_exportIds.clear();
        // Calls that arrived before the end still run on the owner thread (a peer's
        // last oneway word, like willDisconnect:, comes right before it closes).
        handler = std::move(m_invalidationHandler);
        for (auto &[id, pc] : pending) {
            pc->done = true;
            pc->failed = true;
            pc->kind = kind;
            pc->name = nameForKind(kind);
            pc->reason = reason;
            pc->waitCv->notify_all();
        }
        helloThen = std::move(m_helloThen);
        m_ownerCv.notify_all();
    }
    m_transport->close();
    if (helloThen)
        helloThen();
    if (handler)
        handler(reason);
}
