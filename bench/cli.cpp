// A cold `kestra call` across a fleet on loopback, median of several runs, beside
// baselines of the same run:
//   found by DNS-SD or entered by hand, first run (nothing remembered: the 1 s browse window)
//   the same, next runs (every computer met before is back, or none was met: no window)
//   entered by hand, --no-browse
//   `kestra --version` (starting the program at all)
// Usage: cli [N, default 20] [RUNS, default 5]. Run it under scripts/test-services.sh
// (avahi-daemon); the agents are the test helper zdfake_orvagent, published on loopback.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

QString binary(const char *relative)
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../") + QLatin1String(relative);
}

QString helpers()
{
    const QString env = qEnvironmentVariable("KESTRA_TEST_HELPERS");
    return env.isEmpty() ? binary("tests/helpers") : env;
}

struct Agent
{
    std::unique_ptr<QProcess> process;
    quint16 port = 0;
};

// Starts an agent and waits for the lines that say it is ready.
bool start(Agent &agent, const QStringList &args, const QByteArray &ready)
{
    agent.process = std::make_unique<QProcess>();
    agent.process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    agent.process->start(helpers() + QStringLiteral("/zdfake_orvagent"), args);
    QByteArray seen;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000 && !seen.contains(ready)) {
        if (!agent.process->waitForReadyRead(1000) && agent.process->state() != QProcess::Running)
            return false;
        seen += agent.process->readAllStandardOutput();
    }
    const int at = seen.indexOf("PORT ");
    if (at >= 0)
        agent.port = quint16(seen.mid(at + 5, seen.indexOf('\n', at) - at - 5).trimmed().toUInt());
    return seen.contains(ready) && agent.port != 0;
}

// Wall milliseconds of one run; -1 when it failed (a computer did not answer).
double timed(const QProcessEnvironment &env, const QStringList &args)
{
    QProcess kestra;
    kestra.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    kestra.start(binary("bin/kestra"), args);
    if (!kestra.waitForFinished(60000))
        return -1;
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (kestra.exitStatus() != QProcess::NormalExit || kestra.exitCode() != 0) {
        std::fprintf(stderr, "%s", kestra.readAllStandardError().constData());
        return -1;
    }
    return ms;
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
    const int count = args.size() > 1 ? std::clamp(args.at(1).toInt(), 1, 200) : 20;
    const int runs = args.size() > 2 ? std::clamp(args.at(2).toInt(), 1, 50) : 5;
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home.path() + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/.local/share"));
    const QString tag = QString::number(QCoreApplication::applicationPid());

    const QStringList call{QStringLiteral("call"), QStringLiteral("ping"), QStringLiteral("--json")};
    const QString met = home.path() + QStringLiteral("/.cache/kestra/met-computers");
    const auto failed = [](const std::vector<double> &v) { return std::count(v.begin(), v.end(), -1.0) > 0; };

    // The hand-entered fleet first, while DNS-SD announces none of ours.
    std::vector<Agent> manual(static_cast<size_t>(count));
    std::vector<Agent> published(static_cast<size_t>(count));
    const QString manualSettings = home.path() + QStringLiteral("/manual.ini");
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("bench-%1-manual-%2").arg(tag).arg(i);
        if (!start(manual[size_t(i)], {QStringLiteral("--host"), name + QStringLiteral(".local.")}, "PORT "))
            return 1;
        QProcess add;
        add.setProcessEnvironment(env);
        add.start(binary("bin/kestra"), {QStringLiteral("add"), name, QStringLiteral("127.0.0.1"),
                                         QString::number(manual[size_t(i)].port), QStringLiteral("--settings"), manualSettings});
        add.waitForFinished(10000);
    }
    const QStringList onManual = call + QStringList{QStringLiteral("--settings"), manualSettings};
    std::vector<double> byHandFirst, byHand, noBrowse, version, first, next;
    for (int r = 0; r < runs; ++r) {
        QFile::remove(met);
        byHandFirst.push_back(timed(env, onManual));
        byHand.push_back(timed(env, onManual));
        noBrowse.push_back(timed(env, onManual + QStringList{QStringLiteral("--no-browse")}));
        version.push_back(timed(env, {QStringLiteral("--version")}));
    }
    for (Agent &a : manual) {
        a.process->closeWriteChannel(); // end of input quits
        if (!a.process->waitForFinished(5000))
            a.process->kill();
    }
    // Then the same number found by DNS-SD, with no computer entered by hand.
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("bench-%1-dnssd-%2").arg(tag).arg(i);
        if (!start(published[size_t(i)],
                   {QStringLiteral("--publish"), name, QStringLiteral("--name"), QStringLiteral("KestraClient - %1.local.").arg(name),
                    QStringLiteral("--host"), name + QStringLiteral(".local.")},
                   "PUBLISHED ")) {
            std::fprintf(stderr, "cli: agent %d did not start or publish (is avahi-daemon running?)\n", i);
            return 1;
        }
    }
    const QStringList onBrowsed = call + QStringList{QStringLiteral("--settings"), home.path() + QStringLiteral("/browsed.ini")};
    for (int r = 0; r < runs; ++r) {
        QFile::remove(met);
        first.push_back(timed(env, onBrowsed));
        next.push_back(timed(env, onBrowsed));
    }
    for (Agent &a : published) {
        a.process->closeWriteChannel();
        if (!a.process->waitForFinished(5000))
            a.process->kill();
    }
    if (failed(byHandFirst) || failed(byHand) || failed(noBrowse) || failed(first) || failed(next)) {
        std::fprintf(stderr, "cli: a run failed\n");
        return 1;
    }
    const double base = median(version);
    std::printf("kestra call, %d computers, median of %d runs (ms; ratio to `kestra --version`)\n", count, runs);
    std::printf("  found by DNS-SD, first run (nothing remembered)   %8.1f  x%.1f\n", median(first), median(first) / base);
    std::printf("  found by DNS-SD, next run (all met before)        %8.1f  x%.1f\n", median(next), median(next) / base);
    std::printf("  entered by hand, first run (nothing remembered)   %8.1f  x%.1f\n", median(byHandFirst), median(byHandFirst) / base);
    std::printf("  entered by hand, next run                         %8.1f  x%.1f\n", median(byHand), median(byHand) / base);
    std::printf("  entered by hand, --no-browse                      %8.1f  x%.1f\n", median(noBrowse), median(noBrowse) / base);
    std::printf("  baseline: kestra --version                        %8.1f\n", base);
    return 0;
}
