#include "dispatch/ZDProgressState.h"

#include "log/ZDLog.h"

ZDProgressState::ZDProgressState(QObject *parent)
    : QObject(parent)
{
}

void ZDProgressState::startProgress()
{
    m_cancelled = false;
    m_status = QStringLiteral("Initializing...");
    m_indeterminate = true;
    m_value = 0;
    m_cancelEnabled = true;
    const bool wasShown = m_shown;
    m_shown = true;
    Q_EMIT changed();
    if (!wasShown)
        Q_EMIT shownChanged(true);
}

void ZDProgressState::updateProgressStatus(const QString &text)
{
    ZDLog::appendLog(QStringLiteral("Progress: %@"), text);
    m_status = text;
    Q_EMIT changed();
}

void ZDProgressState::progressBarSetMaxValue(int maximum)
{
    m_maximum = qMax(0, maximum);
    Q_EMIT changed();
}

void ZDProgressState::progressBarSetIndeterminate()
{
    m_indeterminate = true;
    Q_EMIT changed();
}

void ZDProgressState::incrementProgress()
{
    if (!m_shown || m_maximum <= 0)
        return; // steps that come late or without a total have nothing to move
    m_indeterminate = false;
    m_value = qMin(m_value + 1, m_maximum);
    if (m_value >= m_maximum)
        m_indeterminate = true;
    Q_EMIT changed();
}

void ZDProgressState::endProgress()
{
    if (!m_shown)
        return;
    m_shown = false;
    m_indeterminate = true;
    Q_EMIT changed();
    Q_EMIT shownChanged(false);
}

void ZDProgressState::cancelProgress()
{
    if (!m_shown || m_cancelled)
        return;
    m_cancelEnabled = false;
    m_cancelled = true;
    m_status = QStringLiteral("Canceling...");
    Q_EMIT changed();
    if (m_cancelAction)
        m_cancelAction();
}
