#pragma once
// The runs on many computers the user starts from the window (a restore, a sync,
// cleaning, removal, caches, gathering logs) go under the window's progress sheet:
// it opens before the work starts off the GUI thread, each computer done moves its
// bar and "Processing task %i of %i", its Cancel stops the run before the next
// computer, and it closes when the work ends. A step waits until the sheet showed
// it, so that a Cancel pressed on a step holds for the very next computer.
// The runs belong to the window's dispatcher and are found through it; without
// them (the command line, a panel on its own) a run goes without a sheet.
#include "dispatch/ZDBackgroundPool.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class ZDDispatcher;
class ZDProgressState;

class ZDProgressRuns : public QObject
{
    Q_OBJECT
public:
    // What the work reports through; any thread.
    class Steps : public std::enable_shared_from_this<Steps>
    {
    public:
        // The sheet's text for what comes next (a computer's name, a file).
        void setStatus(const QString &text);
        // The bar's maximum when the work counts more than one step a computer.
        void setTotal(int steps);
        // One step done; returns once the sheet shows it (or the window is going).
        void step();
        bool isCancelled() const;

    private:
        friend class ZDProgressRuns;
        void post(std::function<void(ZDProgressRuns *)> show);
        QPointer<ZDProgressRuns> m_runs; // read on the main thread only
        ZDDispatcher *m_dispatcher = nullptr;
        mutable std::mutex m_mutex;
        std::condition_variable m_shown;
        quint64 m_posted = 0;
        quint64 m_acknowledged = 0;
        bool m_released = false;
        bool m_cancelled = false;
    };
    using StepsPtr = std::shared_ptr<Steps>;

    // The sheet's state; parented to the dispatcher.
    ZDProgressRuns(ZDDispatcher *dispatcher, ZDProgressState *state);
    ~ZDProgressRuns() override;
    static ZDProgressRuns *of(const ZDDispatcher *dispatcher);

    // Opens the sheet with status for `computers` computers and runs work(steps) on
    // the console's pool; done(result) follows on the main thread unless owner is gone.
    // False (nothing runs) while another run or sheet is up.
    template <typename R, typename Work, typename Done>
    bool start(QObject *owner, const QString &status, int computers, Work &&work, Done &&done);
    // start() on the dispatcher's runs, or without them the work on the pool alone, its steps shown nowhere.
    template <typename R, typename Work, typename Done>
    static bool startOn(const ZDDispatcher *dispatcher, QObject *owner, const QString &status, int computers,
                        Work &&work, Done &&done);

    bool isRunning() const { return m_current != nullptr; }
    int computers() const { return m_computers; }
    // The sheet's Cancel: the run stops before its next computer, the batch's workers too.
    void cancelRun();
    // The status bar's cancel: the sheet's cancel (or the run's without a sheet), and the
    // panels stop their busy displays.
    void cancelAll();
    // The window goes: no step waits for it any more.
    void release();

Q_SIGNALS:
    void taskProgress(int number, int total); // "Processing task %i of %i"
    void allCancelled();
    void runEnded();

private:
    StepsPtr begin(const QString &status, int computers);
    void end(const StepsPtr &steps);
    void showStep();
    void showTask(int number);
    static void releaseSteps(const StepsPtr &steps);

    ZDDispatcher *m_dispatcher;
    ZDProgressState *m_state;
    StepsPtr m_current;
    int m_computers = 0;
};

template <typename R, typename Work, typename Done>
bool ZDProgressRuns::start(QObject *owner, const QString &status, int computers, Work &&work, Done &&done)
{
    StepsPtr steps = begin(status, computers);
    if (!steps)
        return false;
    ZDBackgroundPool::start([self = QPointer<ZDProgressRuns>(this), owner = QPointer<QObject>(owner), steps,
                             work = std::forward<Work>(work), done = std::forward<Done>(done)]() mutable {
        R result = work(*steps);
        // Back on the main thread; runs and owner may be gone by then.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, owner, steps, done = std::move(done), result = std::move(result)]() mutable {
                if (self)
                    self->end(steps);
                if (owner)
                    done(result);
            },
            Qt::QueuedConnection);
    });
    return true;
}

template <typename R, typename Work, typename Done>
bool ZDProgressRuns::startOn(const ZDDispatcher *dispatcher, QObject *owner, const QString &status, int computers,
                             Work &&work, Done &&done)
{
    if (ZDProgressRuns *runs = of(dispatcher))
        return runs->start<R>(owner, status, computers, std::forward<Work>(work), std::forward<Done>(done));
    auto steps = std::make_shared<Steps>();
    steps->m_released = true;
    ZDBackgroundPool::start([owner = QPointer<QObject>(owner), steps, work = std::forward<Work>(work),
                             done = std::forward<Done>(done)]() mutable {
        R result = work(*steps);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [owner, done = std::move(done), result = std::move(result)]() mutable {
                if (owner)
                    done(result);
            },
            Qt::QueuedConnection);
    });
    return true;
}
