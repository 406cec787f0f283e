#include "dispatch/ZDAutoRefresh.h"

ZDAutoRefresh::ZDAutoRefresh(QObject *parent)
    : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, [this] { autoRefreshData(true); });
    m_selectionTimer.setSingleShot(true);
    m_selectionTimer.setInterval(kSelectionDelay);
    connect(&m_selectionTimer, &QTimer::timeout, this, [this] {
        // The user just chose these computers: the panel was cleared for them and
        // is filled again whatever the automatic setting says.
        m_selectionPending = !autoRefreshData(false) && m_operation;
    });
}

void ZDAutoRefresh::setConditions(Condition isActive, Condition isEnabled, Condition isBusy)
{
    m_isActive = std::move(isActive);
    m_isEnabled = std::move(isEnabled);
    m_isBusy = std::move(isBusy);
}

void ZDAutoRefresh::setupAutoRefresh(Operation operation, std::chrono::seconds interval)
{
    m_timer.stop();
    m_selectionPending = false;
    m_operation = std::move(operation);
    m_interval = m_operation ? interval : std::chrono::seconds(0);
    if (m_interval.count() > 0)
        m_timer.start(m_interval);
    if (!m_operation)
        m_selectionTimer.stop();
    Q_EMIT refreshAvailableChanged(m_operation && !busy());
}

bool ZDAutoRefresh::autoRefreshData(bool automatic)
{
    if (automatic && ((m_isActive && !m_isActive()) || (m_isEnabled && !m_isEnabled())))
        return false;
    if (!m_operation || busy())
        return false;
    m_operation();
    return true;
}

void ZDAutoRefresh::refreshAfterSelectionChange()
{
    if (m_operation)
        m_selectionTimer.start();
}

void ZDAutoRefresh::processingEnded()
{
    Q_EMIT refreshAvailableChanged(m_operation && !busy());
    if (m_selectionPending)
        m_selectionPending = !autoRefreshData(false) && m_operation;
}
