#pragma once
// The console's progress sheet without its window: a status text, a bar that is
// indeterminate until it has a maximum and a step, and a cancel button. Agents'
// progress steps advance it; reaching the maximum turns it indeterminate again
// (the work goes on until it is ended). Cancel disables itself, says
// "Canceling..." and runs the cancel action once. Main thread only.
#include <QObject>
#include <QString>

#include <functional>

class ZDProgressState : public QObject
{
    Q_OBJECT
public:
    explicit ZDProgressState(QObject *parent = nullptr);

    // What cancelling stops (the dispatcher's batch, an upload).
    void setCancelAction(std::function<void()> action) { m_cancelAction = std::move(action); }

    bool isShown() const { return m_shown; }
    bool isCancelled() const { return m_cancelled; }
    bool isCancelEnabled() const { return m_cancelEnabled; }
    bool isIndeterminate() const { return m_indeterminate; }
    int value() const { return m_value; }
    int maximum() const { return m_maximum; }
    QString status() const { return m_status; }

public Q_SLOTS:
    void startProgress();
    void updateProgressStatus(const QString &text);
    void progressBarSetMaxValue(int maximum);
    void progressBarSetIndeterminate();
    void incrementProgress();
    void endProgress();
    void cancelProgress();

Q_SIGNALS:
    void changed();
    void shownChanged(bool shown);

private:
    std::function<void()> m_cancelAction;
    QString m_status;
    int m_value = 0;
    int m_maximum = 0;
    bool m_indeterminate = true;
    bool m_cancelEnabled = true;
    bool m_cancelled = false;
    bool m_shown = false;
};
