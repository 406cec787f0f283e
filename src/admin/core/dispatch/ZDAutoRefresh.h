#pragma once
// The refresh of the panel on show: one operation at a time (the panel's reload),
// run by the toolbar's refresh, by a repeating timer while the console is the
// active application and "autoRefresh" is on, and shortly after the selection
// changed. Nothing runs while a batch is processing; a selection refresh held back
// by one runs when it ends, so a cleared panel is always filled again.
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

class ZDAutoRefresh : public QObject
{
    Q_OBJECT
public:
    using Operation = std::function<void()>;
    using Condition = std::function<bool()>;
    static constexpr std::chrono::milliseconds kSelectionDelay{1500};

    explicit ZDAutoRefresh(QObject *parent = nullptr);

    // isActive: the console is the active application; isEnabled: the "autoRefresh"
    // default; isBusy: a batch is processing or an update is installing.
    void setConditions(Condition isActive, Condition isEnabled, Condition isBusy);

    // An empty operation switches refreshing off. A zero interval: no timer.
    void setupAutoRefresh(Operation operation, std::chrono::seconds interval);
    // automatic: from the timer, subject to the active application and "autoRefresh".
    // Returns whether the operation ran.
    bool autoRefreshData(bool automatic);
    // The selection changed: refresh after kSelectionDelay (restarted by each change).
    void refreshAfterSelectionChange();
    // The batch that held a selection refresh back has ended.
    void processingEnded();

    bool hasOperation() const { return bool(m_operation); }
    std::chrono::seconds interval() const { return m_interval; }
    bool isTimerActive() const { return m_timer.isActive(); }

Q_SIGNALS:
    // The toolbar's refresh item: usable while an operation is set and nothing processes.
    void refreshAvailableChanged(bool available);

private:
    bool busy() const { return m_isBusy && m_isBusy(); }

    Operation m_operation;
    std::chrono::seconds m_interval{0};
    Condition m_isActive;
    Condition m_isEnabled;
    Condition m_isBusy;
    QTimer m_timer;
    QTimer m_selectionTimer;
    bool m_selectionPending = false;
};
