#include "files/ZDFileCopyOperation.h"

#include "files/ZDFileTree.h"
#include "process/ZDThreads.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace {

std::mutex g_liveLock;
std::set<const ZDFileCopyOperation *> g_live;

constexpr qint64 kReportIntervalMs = 1000;

QVariantMap progressEntries(const ZDFileTree::Totals &done, const ZDFileTree::Totals &total, qint64 elapsedMs)
{
    return {
        {QStringLiteral("bytesCompleted"), done.bytes},
        {QStringLiteral("totalBytes"), total.bytes},
        {QStringLiteral("bytesRemaining"), qMax<qint64>(0, total.bytes - done.bytes)},
        {QStringLiteral("objectsCompleted"), done.objects},
        {QStringLiteral("totalObjects"), total.objects},
        {QStringLiteral("objectsRemaining"), qMax<qint64>(0, total.objects - done.objects)},
        {QStringLiteral("throughput"), elapsedMs > 0 ? done.bytes * 1000 / elapsedMs : qint64(0)},
    };
}

// The two-argument form when the delegate has it, else the one-argument form.
void callDelegate(QObject *delegate, const char *name, const QVariantMap &record, ZDFileCopyOperation *op)
{
    if (!delegate)
        return;
    const QMetaObject *meta = delegate->metaObject();
    const QByteArray base(name);
    int index = meta->indexOfMethod(
        QMetaObject::normalizedSignature((base + "(QVariantMap,ZDFileCopyOperation*)").constData()).constData());
    if (index >= 0) {
        meta->method(index).invoke(delegate, Qt::DirectConnection, Q_ARG(QVariantMap, record),
                                   Q_ARG(ZDFileCopyOperation *, op));
        return;
    }
    index = meta->indexOfMethod(QMetaObject::normalizedSignature((base + "(QVariantMap)").constData()).constData());
    if (index >= 0)
        meta->method(index).invoke(delegate, Qt::DirectConnection, Q_ARG(QVariantMap, record));
}

} // namespace

struct ZDFileCopyOperation::Worker
{
    std::atomic<bool> cancelled{false};
    std::mutex threadLock; // the thread handle is set by start() and joined by the destructor
    std::thread thread;
};

ZDFileCopyOperation::ZDFileCopyOperation(QObject *delegate, const QVariantMap &context)
    : m_delegate(delegate), m_record(context), m_worker(std::make_shared<Worker>())
{
    std::lock_guard<std::mutex> guard(g_liveLock);
    g_live.insert(this);
}

ZDFileCopyOperation::~ZDFileCopyOperation()
{
    {
        std::lock_guard<std::mutex> guard(g_liveLock);
        g_live.erase(this);
    }
    // The worker posts to this object, so it must be gone before the object is.
    m_worker->cancelled = true;
    std::lock_guard<std::mutex> guard(m_worker->threadLock);
    if (m_worker->thread.joinable())
        m_worker->thread.join();
}

int ZDFileCopyOperation::start(const QString &source, const QString &destination, QObject *delegate,
                                const QVariantMap &context, QPointer<ZDFileCopyOperation> *operation)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return -1;
    auto *op = new ZDFileCopyOperation(delegate, context);
    op->moveToThread(app->thread());
    ZDThreads::runOn(app, [op = QPointer<ZDFileCopyOperation>(op), app] {
        if (op)
            op->setParent(app);
    });
    if (operation)
        *operation = op;

    std::shared_ptr<Worker> worker = op->m_worker;
    std::unique_lock<std::mutex> guard(worker->threadLock);
    try {
        worker->thread = std::thread([op, worker, source, destination] {
            auto post = [op](const QVariantMap &entries, bool complete) {
                ZDThreads::post(op, [op, entries, complete] { op->deliver(entries, complete); });
            };
            QElapsedTimer clock;
            clock.start();
            const ZDFileTree::Totals total = ZDFileTree::measure(source);
            post(progressEntries({}, total, 0), false);
            qint64 lastReport = 0;
            ZDFileTree::Totals finalDone;
            const auto result = ZDFileTree::copy(source, destination, [&](const ZDFileTree::Totals &done) {
                finalDone = done;
                if (worker->cancelled)
                    return false;
                if (clock.elapsed() - lastReport >= kReportIntervalMs) {
                    lastReport = clock.elapsed();
                    post(progressEntries(done, total, lastReport), false);
                }
                return true;
            });
            QVariantMap entries = progressEntries(finalDone, total, clock.elapsed());
            entries.insert(QStringLiteral("error"), result.ok ? 0 : (result.error ? result.error : EIO));
            post(entries, true);
        });
    } catch (const std::system_error &e) {
        guard.unlock();
        if (operation)
            *operation = nullptr;
        op->deleteLater();
        return e.code().value() ? e.code().value() : EAGAIN;
    }
    return 0;
}

bool ZDFileCopyOperation::cancel(ZDFileCopyOperation *operation)
{
    std::lock_guard<std::mutex> guard(g_liveLock);
    if (!g_live.count(operation))
        return false;
    operation->m_worker->cancelled = true;
    return true;
}

void ZDFileCopyOperation::deliver(const QVariantMap &entries, bool complete)
{
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        m_record.insert(it.key(), it.value());
    m_record.insert(QStringLiteral("stage"), int(complete ? StageComplete : StageRunning));
    if (!complete) {
        callDelegate(m_delegate, "fileOperationProgress", m_record, this);
        Q_EMIT progress(m_record);
        return;
    }
    callDelegate(m_delegate, "fileOperationFinished", m_record, this);
    Q_EMIT finished(m_record);
    deleteLater();
}
