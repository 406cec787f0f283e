#pragma once
// One asynchronous copy with progress. The copy runs on a thread of its own;
// every report reaches the delegate (and the signals) on the main thread.
//
// The delegate is any QObject with one of these slots or invokables:
//   fileOperationProgress(QVariantMap record, ZDFileCopyOperation *operation)
//   fileOperationProgress(QVariantMap record)
//   fileOperationFinished(QVariantMap record, ZDFileCopyOperation *operation)
//   fileOperationFinished(QVariantMap record)
// The two-argument form is preferred when both exist.
//
// Record keys: "source", "destination", "operationtype" ("copy"), "delegate",
// "object", "object2" (each only when given), "stage" (2 while copying, 3 when
// done), "bytesCompleted", "totalBytes", "bytesRemaining", "objectsCompleted",
// "totalObjects", "objectsRemaining", "throughput" (bytes per second), and once
// done "error" (0, or the errno of the failure; ECANCELED after cancel()).
//
// The operation belongs to the application object and deletes itself after its
// finished report; hold it in a QPointer.
#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <memory>

class ZDFileCopyOperation : public QObject
{
    Q_OBJECT

public:
    enum Stage { StageRunning = 2, StageComplete = 3 };

    ~ZDFileCopyOperation() override;

    // Copies `source` to `destination` (which must not exist). 0 once started;
    // -1 without an application object whose thread could receive the reports;
    // else the errno of a thread that could not be started.
    static int start(const QString &source, const QString &destination, QObject *delegate,
                      const QVariantMap &context, QPointer<ZDFileCopyOperation> *operation = nullptr);

    // Safe from any thread, with a pointer that may already be gone.
    static bool cancel(ZDFileCopyOperation *operation);

    QVariantMap record() const { return m_record; }

Q_SIGNALS:
    void progress(const QVariantMap &record);
    void finished(const QVariantMap &record);

private:
    struct Worker;
    ZDFileCopyOperation(QObject *delegate, const QVariantMap &context);
    void deliver(const QVariantMap &entries, bool complete);

    QPointer<QObject> m_delegate;
    QVariantMap m_record;
    std::shared_ptr<Worker> m_worker;
};
