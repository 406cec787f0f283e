// Stand-in for the render cluster's batch monitor. Reads and changes the queue in
// the spool folder (render_spool.h).
//   -clustername C -query S -timeout S                 the cluster's batches and jobs as XML
//   -clustername C -jobid J -pause|-resume|-kill ...   changes one job's state
//   -submit C BATCH JOB                                queues a job (tests and demo), prints its id
// Exit status: 0 done, 1 the spool could not be written, 2 unknown cluster or job, 64 usage.
#include "render_spool.h"

#include <QCoreApplication>
#include <QStringList>
#include <QXmlStreamWriter>

#include <cstdio>

namespace {

int listCluster(const QString &cluster)
{
    const QVariantMap batches = RenderSpool::read("queue.plist").value(cluster).toMap();
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("batchMonitor"));
    xml.writeAttribute(QStringLiteral("cluster"), cluster);
    for (auto batch = batches.cbegin(); batch != batches.cend(); ++batch) {
        const QVariantMap b = batch->toMap();
        xml.writeStartElement(QStringLiteral("batchStatus"));
        xml.writeAttribute(QStringLiteral("batchid"), batch.key());
        xml.writeAttribute(QStringLiteral("name"), b.value(QStringLiteral("name")).toString());
        const QVariantMap jobs = b.value(QStringLiteral("jobs")).toMap();
        for (auto job = jobs.cbegin(); job != jobs.cend(); ++job) {
            xml.writeStartElement(QStringLiteral("jobStatus"));
            xml.writeAttribute(QStringLiteral("jobid"), job.key());
            xml.writeAttribute(QStringLiteral("name"), job->toMap().value(QStringLiteral("name")).toString());
            xml.writeAttribute(QStringLiteral("status"), job->toMap().value(QStringLiteral("status")).toString());
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return 0;
}

int setState(const QString &cluster, const QString &jobID, const QString &state)
{
    bool found = false;
    const bool written = RenderSpool::change("queue.plist", [&](QVariantMap &queue) {
        QVariantMap batches = queue.value(cluster).toMap();
        for (auto batch = batches.begin(); batch != batches.end(); ++batch) {
            QVariantMap b = batch->toMap();
            QVariantMap jobs = b.value(QStringLiteral("jobs")).toMap();
            if (!jobs.contains(jobID))
                continue;
            QVariantMap job = jobs.value(jobID).toMap();
            job.insert(QStringLiteral("status"), state);
            jobs.insert(jobID, job);
            b.insert(QStringLiteral("jobs"), jobs);
            *batch = b;
            found = true;
        }
        queue.insert(cluster, batches);
    });
    return !written ? 1 : found ? 0 : 2;
}

int submit(const QStringList &a)
{
    QString id;
    const bool written = RenderSpool::change("queue.plist", [&](QVariantMap &queue) {
        QVariantMap batches = queue.value(a.at(0)).toMap();
        QString batchID;
        for (auto batch = batches.cbegin(); batch != batches.cend(); ++batch) {
            if (batch->toMap().value(QStringLiteral("name")).toString() == a.at(1))
                batchID = batch.key();
        }
        if (batchID.isEmpty())
            batchID = QStringLiteral("batch%1").arg(batches.size() + 1);
        QVariantMap b = batches.value(batchID).toMap();
        b.insert(QStringLiteral("name"), a.at(1));
        QVariantMap jobs = b.value(QStringLiteral("jobs")).toMap();
        int total = 0;
        for (const QVariant &other : std::as_const(batches))
            total += int(other.toMap().value(QStringLiteral("jobs")).toMap().size());
        id = QStringLiteral("job%1").arg(total + 1);
        jobs.insert(id, QVariantMap{{QStringLiteral("name"), a.at(2)}, {QStringLiteral("status"), QStringLiteral("running")}});
        b.insert(QStringLiteral("jobs"), jobs);
        batches.insert(batchID, b);
        queue.insert(a.at(0), batches);
    });
    if (!written)
        return 1;
    std::printf("%s\n", qPrintable(id));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments().mid(1);
    if (a.value(0) == QLatin1String("-submit") && a.size() == 4)
        return submit(a.mid(1));
    if (a.value(0) != QLatin1String("-clustername") || a.size() < 2) {
        std::fprintf(stderr, "usage: -clustername C [-jobid J -pause|-resume|-kill] -query S -timeout S | -submit C BATCH JOB\n");
        return 64;
    }
    // A cluster is named as the preferences tool lists it, with or without " Cluster".
    QString cluster;
    const QStringList known = QStringList{QStringLiteral("This Computer")}
        + RenderSpool::read("clusters.plist").value(QStringLiteral("clusters")).toStringList();
    for (const QString &name : known) {
        if (name == a.at(1) || name + QStringLiteral(" Cluster") == a.at(1))
            cluster = name;
    }
    if (cluster.isEmpty()) {
        std::fprintf(stderr, "Batch Monitor: no cluster %s\n", qPrintable(a.at(1).left(100)));
        return 2;
    }
    if (a.value(2) == QLatin1String("-jobid") && a.size() >= 5) {
        const QString action = a.at(4);
        const QString state = action == QLatin1String("-pause") ? QStringLiteral("paused")
            : action == QLatin1String("-resume")                ? QStringLiteral("running")
            : action == QLatin1String("-kill")                  ? QStringLiteral("cancelled")
                                                                : QString();
        if (state.isEmpty())
            return 64;
        return setState(cluster, a.at(3), state);
    }
    return listCluster(cluster);
}
