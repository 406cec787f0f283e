// The wire over loopback: a synchronous round trip beside a raw TCP echo of the
// same frame size measured in the same run, synchronous call rates from several
// threads, oneway message rate, the value codec on a 1 MiB dictionary, and the
// same round trip and call rates over TLS with its handshake time.
#include "link/ZDConnectionServer.h"
#include "link/ZDTlsTransport.h"
#include "rpc/ZDOrvProtocol.h"
#include "wire/ZDWireValue.h"

#include <QCoreApplication>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Spread
{
    double median = 0;
    double p99 = 0;
};

Spread spread(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 99 / 100)]};
}

bool exact(int fd, char *data, size_t n, bool writing)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t r = writing ? ::send(fd, data + done, n - done, MSG_NOSIGNAL) : ::recv(fd, data + done, n - done, 0);
        if (r <= 0)
            return false;
        done += size_t(r);
    }
    return true;
}

// Blocking sockets, one echo thread: the floor any round trip over loopback stands on.
Spread rawEcho(size_t frameBytes, int rounds)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(listener, reinterpret_cast<sockaddr *>(&addr), len);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    const int on = 1;
    std::thread echo([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::vector<char> buffer(frameBytes);
        while (exact(fd, buffer.data(), frameBytes, false) && exact(fd, buffer.data(), frameBytes, true)) {
        }
        ::close(fd);
    });
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr *>(&addr), len);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<char> buffer(frameBytes, 'x');
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        exact(fd, buffer.data(), frameBytes, true);
        exact(fd, buffer.data(), frameBytes, false);
        samples.push_back(microseconds(Clock::now() - start));
    }
    ::close(fd);
    echo.join();
    ::close(listener);
    return spread(samples);
}

double syncRate(const ZDRemoteProxyPtr &agent, int threads, std::chrono::milliseconds duration)
{
    std::atomic<long> calls{0};
    std::vector<std::thread> workers;
    const auto end = Clock::now() + duration;
    const auto start = Clock::now();
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            long mine = 0;
            while (Clock::now() < end) {
                agent->call(QString::fromLatin1(ZDOrv::kPing));
                ++mine;
            }
            calls += mine;
        });
    for (auto &w : workers)
        w.join();
    return double(calls) / std::chrono::duration<double>(Clock::now() - start).count();
}

// This thread's processor time: the codec's cost even when the machine is shared.
double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

QVariantMap nestedDictionary(qsizetype targetBytes)
{
    QVariantMap root;
    for (int i = 0; ZDWireValue::encode(root).size() < targetBytes; ++i) {
        QVariantMap item;
        for (int j = 0; j < 64; ++j)
            item.insert(QStringLiteral("key %1").arg(j),
                        QVariantList{qint64(i * j), 0.5 * j, QStringLiteral("value %1 of %2").arg(j).arg(i),
                                     QVariantMap{{QStringLiteral("flag"), j % 2 == 0}, {QStringLiteral("data"), QByteArray(24, 'd')}}});
        root.insert(QStringLiteral("item %1").arg(i), item);
    }
    return root;
}

// Round trip, call rates and handshake over TLS, both sides with keys of their own.
struct TlsFigures
{
    Spread ping;
    Spread handshakeMs;
    double bestSync = 0;
};

TlsFigures measureTls(const ZDRemoteObjectPtr &root, int rounds)
{
    TlsFigures figures;
    auto policy = [](bool server) {
        ZDTlsPolicy p;
        p.context = ZDTlsContext::create(ZDTlsIdentity::generate(QStringLiteral("bench"), nullptr), server, nullptr);
        p.check = [](const QString &fingerprint, const QString &) {
            return fingerprint.isEmpty() ? QStringLiteral("no key") : QString();
        };
        return p;
    };
    ZDConnectionOptions serverOptions = ZDConnectionServer::defaultOptions();
    const ZDTlsPolicy serverPolicy = policy(true);
    serverOptions.transportFactory = ZDTlsTransport::factory([serverPolicy] { return serverPolicy; }, 1 << 26);
    ZDConnectionServer server(serverOptions);
    server.setRootObject(root);
    if (!server.listen(QStringLiteral("127.0.0.1"), 0))
        return figures;
    ZDConnectionOptions options;
    options.serveMode = ZDServeMode::WorkerThreads;
    const ZDTlsPolicy clientPolicy = policy(false);
    options.transportFactory = ZDTlsTransport::factory([clientPolicy] { return clientPolicy; }, 1 << 26);
    // Connect and both hellos: what a console waits before its first call.
    std::vector<double> handshakes;
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), server.port(), QString(), options)->invalidate();
        handshakes.push_back(microseconds(Clock::now() - start) / 1000);
    }
    figures.handshakeMs = spread(handshakes);
    const auto connection = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), server.port(), QString(), options);
    const auto agent = connection->rootProxy();
    for (int i = 0; i < 2000; ++i)
        agent->call(QString::fromLatin1(ZDOrv::kPing));
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        agent->call(QString::fromLatin1(ZDOrv::kPing));
        samples.push_back(microseconds(Clock::now() - start));
    }
    figures.ping = spread(samples);
    for (int threads : {1, 2, 8}) {
        const double rate = syncRate(agent, threads, std::chrono::milliseconds(1500));
        figures.bestSync = std::max(figures.bestSync, rate);
        std::printf("TLS synchronous calls/s, %d thread%s: %.0f\n", threads, threads == 1 ? "" : "s", rate);
    }
    connection->invalidate();
    server.close();
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::mutex mutex;
    std::condition_variable counted;
    std::atomic<long> oneways{0};
    const long onewayTarget = 200000;
    auto root = ZDRemoteObject::create();
    root->addOperation(QString::fromLatin1(ZDOrv::kPing), [](const QVariantList &) { return QVariant(); });
    root->addOperation(QStringLiteral("count"), [&](const QVariantList &) {
        // Count without a lock and wake the waiting bench once: the bench's own
        // contention is not the wire's cost.
        if (oneways.fetch_add(1) + 1 == onewayTarget) {
            std::lock_guard lock(mutex);
            counted.notify_all();
        }
        return QVariant();
    });
    ZDConnectionServer server;
    server.setRootObject(root);
    server.setRegisteredName(QStringLiteral("bench"));
    if (!server.listen(QStringLiteral("127.0.0.1"), 0)) {
        std::fprintf(stderr, "rpc: cannot listen\n");
        return 1;
    }
    ZDConnectionOptions options;
    options.serveMode = ZDServeMode::WorkerThreads;
    const auto connection = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), server.port(), QString(), options);
    const auto agent = connection->rootProxy();

    const int rounds = 20000;
    for (int i = 0; i < 2000; ++i)
        agent->call(QString::fromLatin1(ZDOrv::kPing));
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        agent->call(QString::fromLatin1(ZDOrv::kPing));
        samples.push_back(microseconds(Clock::now() - start));
    }
    const Spread ping = spread(samples);
    const size_t frameBytes = size_t(ZDWireMessage::call(1, 0, QString::fromLatin1(ZDOrv::kPing), {}, false)
                                         .toFrame(nullptr, ZDWireLimits(), nullptr).size());
    rawEcho(frameBytes, 2000);
    const Spread echo = rawEcho(frameBytes, rounds);
    const double ratio = ping.median / echo.median;
    std::printf("ping round trip: median %.1f us, p99 %.1f us\n", ping.median, ping.p99);
    std::printf("raw TCP echo (%zu bytes): median %.1f us, p99 %.1f us\n", frameBytes, echo.median, echo.p99);
    std::printf("ping / raw echo (median): %.2f\n", ratio);

    double bestSync = 0;
    for (int threads : {1, 2, 8}) {
        const double rate = syncRate(agent, threads, std::chrono::milliseconds(1500));
        bestSync = std::max(bestSync, rate);
        std::printf("synchronous calls/s, %d thread%s: %.0f\n", threads, threads == 1 ? "" : "s", rate);
    }

    const long messages = onewayTarget;
    const auto onewayStart = Clock::now();
    for (long i = 0; i < messages; ++i)
        agent->callOneway(QStringLiteral("count"));
    const double queuedSeconds = std::chrono::duration<double>(Clock::now() - onewayStart).count();
    {
        std::unique_lock lock(mutex);
        counted.wait_for(lock, std::chrono::seconds(60), [&] { return oneways.load() >= messages; });
    }
    const double onewaySeconds = std::chrono::duration<double>(Clock::now() - onewayStart).count();
    const double onewayRate = double(oneways.load()) / onewaySeconds;
    std::printf("oneway messages/s (until all ran on the peer): %.0f (queued in %.0f ms, %.0f/s)\n", onewayRate,
                queuedSeconds * 1000, double(messages) / queuedSeconds);

    const TlsFigures tls = measureTls(root, rounds);
    std::printf("TLS ping round trip: median %.1f us, p99 %.1f us (%.2f x plain, %.2f x raw echo)\n", tls.ping.median,
                tls.ping.p99, tls.ping.median / ping.median, tls.ping.median / echo.median);
    std::printf("TLS connect with handshake and hellos: median %.2f ms, p99 %.2f ms\n", tls.handshakeMs.median,
                tls.handshakeMs.p99);

    const QVariantMap dictionary = nestedDictionary(1024 * 1024);
    std::vector<double> encodeMs, decodeMs, encodeCpu, decodeCpu;
    QByteArray encoded;
    for (int i = 0; i < 7; ++i) {
        double cpu = threadCpuMs();
        auto start = Clock::now();
        encoded = ZDWireValue::encode(dictionary);
        encodeMs.push_back(microseconds(Clock::now() - start) / 1000);
        encodeCpu.push_back(threadCpuMs() - cpu);
        cpu = threadCpuMs();
        start = Clock::now();
        const QVariant back = ZDWireValue::decode(encoded);
        decodeMs.push_back(microseconds(Clock::now() - start) / 1000);
        decodeCpu.push_back(threadCpuMs() - cpu);
    }
    std::printf("1 MiB nested dictionary (%lld bytes): encode %.2f ms (cpu %.2f ms), decode %.2f ms (cpu %.2f ms), medians\n",
                static_cast<long long>(encoded.size()), spread(encodeMs).median, spread(encodeCpu).median,
                spread(decodeMs).median, spread(decodeCpu).median);
    double load[3] = {};
    if (getloadavg(load, 3) > 0)
        std::printf("load average during the run: %.1f (on %u processors)\n", load[0], std::thread::hardware_concurrency());
    std::printf("rpc: ping_ratio=%.2f sync_calls_per_s=%.0f oneway_per_s=%.0f\n", ratio, bestSync, onewayRate);
    std::printf("rpc: tls_ping_ratio=%.2f tls_sync_calls_per_s=%.0f tls_handshake_ms=%.2f\n", tls.ping.median / echo.median,
                tls.bestSync, tls.handshakeMs.median);
    return 0;
}
