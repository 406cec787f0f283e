// The agent's footprint and speed, each beside a baseline measured in the same run:
//   start to "Listening on port"   vs. start of a trivial Qt program
//   resident memory after 10 s     vs. the trivial Qt program's
//   CPU time in the idle period    (no baseline: the target is an absolute 0.1 %)
//   configuration fetch round trip vs. a ping round trip
// Usage: agent [idle seconds, default 60]. Run it under scripts/test-services.sh
// so the agent has a session bus; the agent runs in a throw-away sandbox.
#include "link/ZDConnection.h"
#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteObject.h"
#include "trust/ZDEnrolledConsoles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

QString agentExecutable()
{
    QString apps = qEnvironmentVariable("KESTRA_APPS_DIR");
    if (apps.isEmpty())
        apps = QCoreApplication::applicationDirPath() + QStringLiteral("/../apps");
    return apps + QStringLiteral("/KestraClient.app/Contents/MacOS/KestraClient");
}

// Milliseconds from start until the line appears on standard output; -1 on failure.
qint64 startAndWait(QProcess &process, const QString &program, const QStringList &args, const QByteArray &line,
                    QByteArray *output)
{
    QElapsedTimer timer;
    timer.start();
    process.start(program, args);
    while (timer.elapsed() < 30000) {
        if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning)
            return -1;
        *output += process.readAllStandardOutput();
        if (output->contains(line))
            return timer.elapsed();
    }
    return -1;
}

qint64 rssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &l : status.readAll().split('\n'))
        if (l.startsWith("VmRSS:"))
            return l.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// utime + stime in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray all = stat.readAll();
    const QList<QByteArray> fields = all.mid(all.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong(); // fields 14 and 15
}

void stop(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--trivial")) { // the baseline program
        std::puts("ready");
        std::fflush(stdout);
        if (args.value(2) == QLatin1String("idle"))
            QThread::sleep(3600);
        return 0;
    }
    const int idleSeconds = std::max(1, args.value(1, QStringLiteral("60")).toInt());
    const QString agent = agentExecutable();
    if (!QFileInfo(agent).isExecutable()) {
        std::fprintf(stderr, "agent: %s is not built\n", qPrintable(agent));
        return 1;
    }

    QTemporaryDir sandbox;
    const QString home = sandbox.path() + QStringLiteral("/home");
    qputenv("KESTRA_SYSTEM_ROOT", sandbox.path().toUtf8());
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CACHE_HOME", (home + QStringLiteral("/.cache")).toUtf8());
    qputenv("XDG_STATE_HOME", (home + QStringLiteral("/.local/state")).toUtf8());
    qunsetenv("DISPLAY"); // a background agent: no display, as at log-in on a server
    // The round trips below come from a console the agent never enrolled: open mode
    // in the sandbox (root's file, so only when run as root, as `make bench` is).
    if (::geteuid() == 0) {
        QString error;
        QDir().mkpath(QFileInfo(ZDEnrolledConsoles::defaultPath()).absolutePath());
        if (!ZDEnrolledConsoles().setRequireEnrolled(false, &error))
            std::fprintf(stderr, "agent: open mode not set: %s\n", qPrintable(error));
    }
    qunsetenv("WAYLAND_DISPLAY");

    // 1. Start time, median of three, beside a trivial Qt program's.
    std::vector<double> trivialStarts, agentStarts;
    for (int i = 0; i < 3; ++i) {
        QProcess trivial;
        QByteArray out;
        trivialStarts.push_back(double(startAndWait(trivial, app.applicationFilePath(), {QStringLiteral("--trivial")},
                                                    "ready", &out)));
        trivial.waitForFinished(5000);
    }
    QProcess running;
    QByteArray output;
    for (int i = 0; i < 3; ++i) {
        if (running.state() != QProcess::NotRunning)
            stop(running);
        output.clear();
        agentStarts.push_back(double(startAndWait(running, agent, {}, "Listening on port", &output)));
    }
    const double startMs = median(agentStarts);
    std::printf("start: agent listening after %.0f ms (trivial Qt program ready after %.0f ms)\n", startMs,
                median(trivialStarts));
    if (startMs < 0) {
        std::fprintf(stderr, "agent did not start:\n%s\n", output.constData());
        return 1;
    }
    const int port = output.mid(output.indexOf("Listening on port") + 18).split('\n').value(0).toInt();

    // 2. Configuration round trips beside ping, while the agent is fresh.
    double pingUs = -1, configUs = -1, fetchUs = -1;
    try {
        auto connection = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        auto root = connection->rootProxy();
        const auto timed = [](int n, const std::function<void()> &call) {
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < n; ++i)
                call();
            return double(t.nsecsElapsed()) / 1000.0 / n;
        };
        timed(50, [&] { root->call(QString::fromLatin1(ZDOrv::kPing)); }); // warm-up
        pingUs = timed(500, [&] { root->call(QString::fromLatin1(ZDOrv::kPing)); });
        configUs = timed(500, [&] { root->call(QString::fromLatin1(ZDOrv::kInitialConfiguration)); });
        // fetchInitialConfiguration: the answer comes back as a call on the console's record.
        auto record = ZDRemoteObject::create();
        std::atomic<int> answers{0};
        record->addOperation(QString::fromLatin1(ZDOrv::kProcessConfiguration), [&](const QVariantList &) {
            ++answers;
            return QVariant();
        });
        const QVariant ref = QVariant::fromValue(record);
        fetchUs = timed(100, [&] {
            const int before = answers.load();
            root->callOneway(QString::fromLatin1(ZDOrv::kFetchInitialConfiguration), {ref});
            while (answers.load() == before)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        });
        connection->invalidate();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "round trips failed: %s\n", e.what());
    }
    std::printf("round trip: initialConfiguration %.1f us, fetchInitialConfiguration: with callback %.1f us "
                "(ping %.1f us)\n",
                configUs, fetchUs, pingUs);

    // 3. Resident memory after 10 idle seconds, beside the trivial program's.
    QProcess idleTrivial;
    QByteArray out;
    startAndWait(idleTrivial, app.applicationFilePath(), {QStringLiteral("--trivial"), QStringLiteral("idle")}, "ready",
                 &out);
    QThread::sleep(10);
    const qint64 rss = rssKiB(running.processId());
    std::printf("idle memory: agent %lld KiB resident (trivial Qt program %lld KiB)\n", rss,
                rssKiB(idleTrivial.processId()));
    stop(idleTrivial);

    // 4. CPU time over the idle period.
    const qint64 before = cpuTicks(running.processId());
    QThread::sleep(unsigned(idleSeconds));
    const qint64 after = cpuTicks(running.processId());
    const double cpuPct = double(after - before) / double(::sysconf(_SC_CLK_TCK)) / idleSeconds * 100.0;
    std::printf("idle cpu: %.3f %% of one core over %d s (%lld ticks)\n", cpuPct, idleSeconds, after - before);

    stop(running);
    std::printf("agent: start_ms=%.0f idle_rss_kib=%lld idle_cpu_pct=%.3f\n", startMs, rss, cpuPct);
    return 0;
}
