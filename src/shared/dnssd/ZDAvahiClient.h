#pragma once
// Internal to the DNS-SD classes: one avahi client with a poll thread of its own,
// and owners for the objects avahi hands out. Callbacks run on that thread;
// any other thread touches avahi only inside a Lock.
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

struct ZDAvahiDeleter
{
    void operator()(AvahiThreadedPoll *p) const { avahi_threaded_poll_free(p); }
    void operator()(AvahiClient *p) const { avahi_client_free(p); }
    void operator()(AvahiEntryGroup *p) const { avahi_entry_group_free(p); }
    void operator()(AvahiServiceBrowser *p) const { avahi_service_browser_free(p); }
    void operator()(AvahiServiceResolver *p) const { avahi_service_resolver_free(p); }
    void operator()(AvahiStringList *p) const { avahi_string_list_free(p); }
};
template <typename T>
using ZDAvahiPtr = std::unique_ptr<T, ZDAvahiDeleter>;

class ZDAvahiClient
{
public:
    using StateHandler = std::function<void(AvahiClient *, AvahiClientState)>;

    // Creates the client; run() starts its thread. A missing daemon is waited for
    // (the handler sees AVAHI_CLIENT_CONNECTING); null only when even that is
    // impossible, for instance without a system bus. run() hands the current state
    // to the handler on the calling thread under the lock, then the thread goes on.
    static std::unique_ptr<ZDAvahiClient> create(StateHandler handler, int *error);
    bool run(int *error);
    ~ZDAvahiClient();
    ZDAvahiClient(const ZDAvahiClient &) = delete;
    ZDAvahiClient &operator=(const ZDAvahiClient &) = delete;

    AvahiClient *client() const { return m_client.get(); }
    const AvahiPoll *poll() const;

    // Joins the thread: afterwards no callback runs and avahi objects may be
    // freed without the lock. Never from the poll thread itself.
    void stop();

    class Lock
    {
    public:
        explicit Lock(ZDAvahiClient &c);
        ~Lock();
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;

    private:
        ZDAvahiClient &m_c;
    };

    // A one-shot avahi timer, freed with its owner.
    class Timeout
    {
    public:
        Timeout() = default;
        Timeout(const AvahiPoll *poll, int msec, AvahiTimeoutCallback callback, void *userdata);
        ~Timeout() { reset(); }
        Timeout(Timeout &&other) noexcept;
        Timeout &operator=(Timeout &&other) noexcept;
        void reset();
        AvahiTimeout *get() const { return m_timeout; }

    private:
        const AvahiPoll *m_poll = nullptr;
        AvahiTimeout *m_timeout = nullptr;
    };

    // True when a daemon answers on the system bus right now.
    static bool daemonRunning(int *error = nullptr);
    static QString errorText(int error);
    // Strings avahi passes on come from the network: never read past maxBytes.
    static QString boundedText(const char *text, int maxBytes = 1024);

private:
    ZDAvahiClient() = default;
    static void clientCallback(AvahiClient *c, AvahiClientState state, void *userdata);

    StateHandler m_handler;
    ZDAvahiPtr<AvahiThreadedPoll> m_poll;
    ZDAvahiPtr<AvahiClient> m_client;
    bool m_running = false;
    bool m_ready = false;
};

// The owner-thread side the browser and the publisher share: at most one client,
// work queued from the poll thread to the owner and dropped once its client is
// gone, a pause before trying again when no client could be made, and the one
// report of a daemon that is not running yet. Use it from the owner's thread
// (post and takeWaitingReport from the poll thread too).
class ZDAvahiSession
{
public:
    // Reports a client that could not be made (an avahi error code).
    using StartFailureHandler = std::function<void(int error)>;
    // Frees the owner's avahi objects and poll-thread state; no callback runs meanwhile.
    using Release = std::function<void()>;

    static constexpr int kRestartDelayMs = 10000;

    // Declare it after whatever release touches: it stops on destruction.
    ZDAvahiSession(QObject *owner, ZDAvahiClient::StateHandler onState, StartFailureHandler onStartFailure,
                   Release release);
    ~ZDAvahiSession() { stop(); }
    ZDAvahiSession(const ZDAvahiSession &) = delete;
    ZDAvahiSession &operator=(const ZDAvahiSession &) = delete;

    // Marks the owner active and starts a client; false when none could be made.
    bool start();
    // Ends the client and drops queued work; the owner stays active or not.
    void stop();
    void deactivate();
    // After a failure: a fresh client now, or after the pause. No second waiting report.
    void restart(bool now);
    bool isActive() const { return m_active; }
    ZDAvahiClient *client() const { return m_avahi.get(); }

    void post(std::function<void()> fn);
    // True the first time a client of this activation waits for the daemon.
    bool takeWaitingReport() { return std::exchange(m_reportWaiting, false); }

    // avahi wants types without the final dot.
    static QByteArray serviceType(const QString &type);

private:
    bool startClient();

    QObject *m_owner;
    ZDAvahiClient::StateHandler m_onState;
    StartFailureHandler m_onStartFailure;
    Release m_release;
    std::unique_ptr<ZDAvahiClient> m_avahi;
    // A single-shot on the owner, not a timer member: the owner may be moved to another
    // thread after this was made, and a timer would stay behind on the old one.
    void scheduleRestart();
    quint64 m_restartGeneration = 0;
    quint64 m_generation = 0;
    bool m_reportWaiting = true;
    bool m_active = false;
};
