// Stand-in for the render cluster's preferences tool. Keeps the computer's sharing
// state and the clusters it knows in the spool folder (render_spool.h).
//   -list                      the settings on one line: " -sharing on|off" then
//                              " -cluster on servername \"NAME\"" per cluster
//   -startSharing / -stopSharing
//   -resetCluster cancelJobs   cancels every job of every queue
//   -addCluster NAME           a cluster this computer takes part in (tests and demo)
// Every listing adds a line to <root>/var/lib/standins/qmasterprefs/list.log.
// Exit status: 0 done, 1 the spool could not be written, 64 usage.
#include "render_spool.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    const auto done = [](bool ok) { return ok ? 0 : 1; };
    if (command == QLatin1String("-list") && args.size() == 1) {
        // Each listing leaves a line, so a test can count how often the agent asked.
        const QString record = ZDLocalPaths::systemPath(QStringLiteral("/var/lib/standins/qmasterprefs"));
        QFile calls(record + QStringLiteral("/list.log"));
        if (QDir().mkpath(record) && calls.open(QIODevice::Append))
            calls.write("-list\n");
        const QVariantMap c = RenderSpool::read("clusters.plist");
        QString line = QStringLiteral("render settings: -sharing %1").arg(c.value(QStringLiteral("sharing")).toBool() ? "on" : "off");
        for (const QVariant &name : c.value(QStringLiteral("clusters")).toList())
            line += QStringLiteral(" -cluster on servername \"%1\" port 50000").arg(name.toString());
        std::printf("%s\n", qPrintable(line));
        return 0;
    }
    if ((command == QLatin1String("-startSharing") || command == QLatin1String("-stopSharing")) && args.size() == 1)
        return done(RenderSpool::change("clusters.plist", [&](QVariantMap &c) {
            c.insert(QStringLiteral("sharing"), command == QLatin1String("-startSharing"));
        }));
    if (command == QLatin1String("-resetCluster") && args.value(1) == QLatin1String("cancelJobs") && args.size() == 2)
        return done(RenderSpool::change("queue.plist", [](QVariantMap &queue) {
            for (auto cluster = queue.begin(); cluster != queue.end(); ++cluster) {
                QVariantMap batches = cluster->toMap();
                for (auto batch = batches.begin(); batch != batches.end(); ++batch) {
                    QVariantMap b = batch->toMap();
                    QVariantMap jobs = b.value(QStringLiteral("jobs")).toMap();
                    for (auto job = jobs.begin(); job != jobs.end(); ++job) {
                        QVariantMap j = job->toMap();
                        j.insert(QStringLiteral("status"), QStringLiteral("cancelled"));
                        *job = j;
                    }
                    b.insert(QStringLiteral("jobs"), jobs);
                    *batch = b;
                }
                *cluster = batches;
            }
        }));
    if (command == QLatin1String("-addCluster") && args.size() == 2 && !args.at(1).contains(QLatin1Char('"')))
        return done(RenderSpool::change("clusters.plist", [&](QVariantMap &c) {
            QStringList names = c.value(QStringLiteral("clusters")).toStringList();
            if (!names.contains(args.at(1)))
                names << args.at(1);
            c.insert(QStringLiteral("clusters"), names);
        }));
    std::fprintf(stderr, "usage: -list | -startSharing | -stopSharing | -resetCluster cancelJobs | -addCluster NAME\n");
    return 64;
}
