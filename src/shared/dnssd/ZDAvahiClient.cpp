#include "dnssd/ZDAvahiClient.h"

#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>

#include <cstring>
#include <utility>

std::unique_ptr<ZDAvahiClient> ZDAvahiClient::create(StateHandler handler, int *error)
{
    int dummy = 0;
    int &err = error ? *error : dummy;
    std::unique_ptr<ZDAvahiClient> self(new ZDAvahiClient);
    self->m_handler = std::move(handler);
    self->m_poll.reset(avahi_threaded_poll_new());
    if (!self->m_poll) {
        err = AVAHI_ERR_NO_MEMORY;
        return nullptr;
    }
    self->m_client.reset(avahi_client_new(avahi_threaded_poll_get(self->m_poll.get()), AVAHI_CLIENT_NO_FAIL,
                                          &ZDAvahiClient::clientCallback, self.get(), &err));
    if (!self->m_client)
        return nullptr;
    err = AVAHI_OK;
    return self;
}

bool ZDAvahiClient::run(int *error)
{
    if (m_running)
        return true;
    if (avahi_threaded_poll_start(m_poll.get()) < 0) {
        if (error)
            *error = AVAHI_ERR_FAILURE;
        return false;
    }
    m_running = true;
    // The state reached inside avahi_client_new is handed over only now, under the
    // lock, so that the handler never runs before its owner holds this object.
    Lock lock(*this);
    m_ready = true;
    if (m_handler)
        m_handler(m_client.get(), avahi_client_get_state(m_client.get()));
    return true;
}

ZDAvahiClient::~ZDAvahiClient()
{
    stop();
    // The client frees whatever its owners still hold, so they must be gone first.
    m_client.reset();
    m_poll.reset();
}

const AvahiPoll *ZDAvahiClient::poll() const
{
    return avahi_threaded_poll_get(m_poll.get());
}

void ZDAvahiClient::stop()
{
    if (m_running) {
        avahi_threaded_poll_stop(m_poll.get());
        m_running = false;
    }
}

void ZDAvahiClient::clientCallback(AvahiClient *c, AvahiClientState state, void *userdata)
{
    auto *self = static_cast<ZDAvahiClient *>(userdata);
    if (self->m_ready && self->m_handler)
        self->m_handler(c, state);
}

ZDAvahiClient::Lock::Lock(ZDAvahiClient &c) : m_c(c)
{
    if (m_c.m_running)
        avahi_threaded_poll_lock(m_c.m_poll.get());
}

ZDAvahiClient::Lock::~Lock()
{
    if (m_c.m_running)
        avahi_threaded_poll_unlock(m_c.m_poll.get());
}

ZDAvahiClient::Timeout::Timeout(const AvahiPoll *poll, int msec, AvahiTimeoutCallback callback, void *userdata)
    : m_poll(poll)
{
    struct timeval tv;
    avahi_elapse_time(&tv, static_cast<unsigned>(msec < 0 ? 0 : msec), 0);
    m_timeout = poll->timeout_new(poll, &tv, callback, userdata);
}

ZDAvahiClient::Timeout::Timeout(Timeout &&other) noexcept
    : m_poll(std::exchange(other.m_poll, nullptr)), m_timeout(std::exchange(other.m_timeout, nullptr))
{
}

ZDAvahiClient::Timeout &ZDAvahiClient::Timeout::operator=(Timeout &&other) noexcept
{
    if (this != &other) {
        reset();
        m_poll = std::exchange(other.m_poll, nullptr);
        m_timeout = std::exchange(other.m_timeout, nullptr);
    }
    return *this;
}

void ZDAvahiClient::Timeout::reset()
{
    if (m_timeout)
        m_poll->timeout_free(m_timeout);
    m_timeout = nullptr;
}

bool ZDAvahiClient::daemonRunning(int *error)
{
    int err = AVAHI_OK;
    AvahiSimplePoll *simple = avahi_simple_poll_new();
    if (!simple) {
        if (error)
            *error = AVAHI_ERR_NO_MEMORY;
        return false;
    }
    AvahiClient *c = avahi_client_new(avahi_simple_poll_get(simple), AvahiClientFlags(0), nullptr, nullptr, &err);
    if (c)
        avahi_client_free(c);
    avahi_simple_poll_free(simple);
    if (error)
        *error = c ? AVAHI_OK : err;
    return c != nullptr;
}

QString ZDAvahiClient::errorText(int error)
{
    if (error == AVAHI_ERR_NO_DAEMON)
        return QStringLiteral("the avahi daemon is not running");
    return QString::fromUtf8(avahi_strerror(error));
}

QString ZDAvahiClient::boundedText(const char *text, int maxBytes)
{
    if (!text)
        return QString();
    return QString::fromUtf8(text, static_cast<qsizetype>(strnlen(text, static_cast<size_t>(maxBytes))));
}

ZDAvahiSession::ZDAvahiSession(QObject *owner, ZDAvahiClient::StateHandler onState,
                               StartFailureHandler onStartFailure, Release release)
    : m_owner(owner), m_onState(std::move(onState)), m_onStartFailure(std::move(onStartFailure)),
      m_release(std::move(release))
{
}

void ZDAvahiSession::scheduleRestart()
{
    const quint64 gen = ++m_restartGeneration;
    QTimer::singleShot(kRestartDelayMs, m_owner, [this, gen] {
        if (gen != m_restartGeneration || !m_active)
            return;
        stop();
        startClient();
    });
}

bool ZDAvahiSession::start()
{
    m_reportWaiting = true;
    m_active = true;
    return startClient();
}

bool ZDAvahiSession::startClient()
{
    int err = AVAHI_OK;
    m_avahi = ZDAvahiClient::create(m_onState, &err);
    if (m_avahi && m_avahi->run(&err))
        return true;
    m_avahi.reset();
    m_onStartFailure(err);
    scheduleRestart();
    return false;
}

void ZDAvahiSession::stop()
{
    ++m_restartGeneration; // a restart still pending is off
    if (m_avahi)
        m_avahi->stop();
    // The client frees what its owner still holds: the owner lets go first.
    m_release();
    m_avahi.reset();
    ++m_generation;
}

void ZDAvahiSession::deactivate()
{
    stop();
    m_active = false;
}

void ZDAvahiSession::restart(bool now)
{
    stop();
    m_reportWaiting = false;
    if (now)
        startClient();
    else
        scheduleRestart();
}

void ZDAvahiSession::post(std::function<void()> fn)
{
    const quint64 gen = m_generation;
    QMetaObject::invokeMethod(
        m_owner, [this, gen, fn = std::move(fn)] {
            if (gen == m_generation && m_active)
                fn();
        },
        Qt::QueuedConnection);
}

QByteArray ZDAvahiSession::serviceType(const QString &type)
{
    QByteArray t = type.toUtf8();
    while (t.endsWith('.'))
        t.chop(1);
    return t;
}
