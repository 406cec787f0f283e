#include "dispatch/ZDProgressRuns.h"

#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDProgressState.h"
#include "log/ZDLog.h"
#include "platform/ZDFormat.h"
#include "process/ZDThreads.h"

ZDProgressRuns::ZDProgressRuns(ZDDispatcher *dispatcher, ZDProgressState *state)
    : QObject(dispatcher), m_dispatcher(dispatcher), m_state(state)
{
    // A batch inside a run that counts no steps of its own moves the bar computer by computer.
    connect(dispatcher, &ZDDispatcher::progressAdvanced, this, [this] {
        if (m_current && m_state->maximum() == m_computers && m_state->value() < m_computers) {
            bool own = false;
            {
                std::lock_guard lock(m_current->m_mutex);
                own = m_current->m_posted > 0;
            }
            if (!own)
                showStep();
        }
    }, Qt::QueuedConnection);
}

ZDProgressRuns::~ZDProgressRuns()
{
    release();
}

ZDProgressRuns *ZDProgressRuns::of(const ZDDispatcher *dispatcher)
{
    return dispatcher ? dispatcher->findChild<ZDProgressRuns *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

ZDProgressRuns::StepsPtr ZDProgressRuns::begin(const QString &status, int computers)
{
    // A panel's refresh may still be reading: only another sheet bars a run.
    if (m_current || m_state->isShown())
        return nullptr;
    auto steps = std::make_shared<Steps>();
    steps->m_runs = this;
    steps->m_dispatcher = m_dispatcher;
    m_current = steps;
    m_computers = qMax(0, computers);
    // The user starts this run anew: an earlier cancel (a task switch) must not stop it.
    m_dispatcher->clearProcessingCancelled();
    m_state->startProgress();
    if (!status.isEmpty())
        m_state->updateProgressStatus(status);
    if (m_computers > 0) {
        m_state->progressBarSetMaxValue(m_computers);
        showTask(1);
    }
    return steps;
}

void ZDProgressRuns::end(const StepsPtr &steps)
{
    releaseSteps(steps);
    if (steps != m_current)
        return;
    m_current.reset();
    m_state->endProgress();
    Q_EMIT runEnded();
}

void ZDProgressRuns::showStep()
{
    m_state->incrementProgress();
    const int maximum = m_state->maximum();
    if (m_computers <= 0 || maximum <= 0)
        return;
    // The bar may count several steps a computer: the task number follows the share done.
    const int number = int(qint64(m_state->value()) * m_computers / maximum) + 1;
    if (number <= m_computers)
        showTask(number);
}

void ZDProgressRuns::showTask(int number)
{
    const QString text = zdFormat(QStringLiteral("Processing task %i of %i"), number, m_computers);
    // "Canceling..." stays until the run ends.
    if (!m_state->isCancelled())
        m_state->updateProgressStatus(text);
    Q_EMIT taskProgress(number, m_computers);
}

void ZDProgressRuns::cancelRun()
{
    if (m_current) {
        std::lock_guard lock(m_current->m_mutex);
        m_current->m_cancelled = true;
    }
    m_dispatcher->cancelProcessing();
    m_dispatcher->cancelTaskThreads();
}

void ZDProgressRuns::cancelAll()
{
    ZDLog::appendLog(QStringLiteral("Status progress canceled"));
    // The sheet's own cancel runs cancelRun once; without a sheet it is run here.
    if (m_state->isShown() && !m_state->isCancelled())
        m_state->cancelProgress();
    else
        cancelRun();
    Q_EMIT allCancelled();
}

void ZDProgressRuns::release()
{
    if (m_current)
        releaseSteps(m_current);
}

void ZDProgressRuns::releaseSteps(const StepsPtr &steps)
{
    {
        std::lock_guard lock(steps->m_mutex);
        steps->m_released = true;
    }
    steps->m_shown.notify_all();
}

// ---- steps -------------------------------------------------------------------

void ZDProgressRuns::Steps::post(std::function<void(ZDProgressRuns *)> show)
{
    quint64 ticket = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_released)
            return;
        ticket = ++m_posted;
    }
    const bool onMain = ZDThreads::isMainThread();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self = shared_from_this(), show = std::move(show)] {
            if (ZDProgressRuns *runs = self->m_runs.data())
                show(runs);
            {
                std::lock_guard lock(self->m_mutex);
                ++self->m_acknowledged;
            }
            self->m_shown.notify_all();
        },
        onMain ? Qt::DirectConnection : Qt::QueuedConnection);
    if (onMain)
        return;
    std::unique_lock lock(m_mutex);
    m_shown.wait(lock, [&] { return m_released || m_acknowledged >= ticket; });
}

void ZDProgressRuns::Steps::setStatus(const QString &text)
{
    post([text](ZDProgressRuns *runs) { runs->m_state->updateProgressStatus(text); });
}

void ZDProgressRuns::Steps::setTotal(int steps)
{
    post([steps](ZDProgressRuns *runs) { runs->m_state->progressBarSetMaxValue(steps); });
}

void ZDProgressRuns::Steps::step()
{
    post([](ZDProgressRuns *runs) { runs->showStep(); });
}

bool ZDProgressRuns::Steps::isCancelled() const
{
    std::lock_guard lock(m_mutex);
    // A run's own check between computers; the dispatcher's flag also holds a task switch.
    return m_cancelled || (m_dispatcher && m_dispatcher->isProcessingCancelled());
}
