#pragma once
// A repair tool's panel (Ondrel, Ketril, Moravel): an option box that picks task "1"
// over "0", the repair with rights on the selected computers, a spinner until the
// first computer answers, and each computer's answer under its name as it comes.
// The run is ZDMaintenanceRuns::repair on the console's pool.
#include "features/apps/ZDMaintenanceRuns.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTextEdit;
class ZDDispatcher;
class ZDErrorCallback;

class ZDRepairPanel : public QWidget
{
    Q_OBJECT
public:
    // tool: "Ondrel", "Ketril" or "Moravel". dispatcher and callback must outlive the panel.
    ZDRepairPanel(ZDDispatcher *dispatcher, ZDErrorCallback *callback, const QString &tool, QWidget *parent = nullptr);

    QCheckBox *option() const { return m_option; }
    QTextEdit *results() const { return m_results; }
    bool isSpinning() const;

public Q_SLOTS:
    void repair();
    void showAnswer(const QString &host, const QString &output);
    void clearData();

Q_SIGNALS:
    void runFinished(const QString &summary);

private:
    void spin(bool on);

    ZDDispatcher *m_dispatcher;
    ZDErrorCallback *m_callback;
    const ZDMaintenanceRuns::Repair m_repair;
    QCheckBox *m_option;
    QPushButton *m_go;
    QProgressBar *m_spinner;
    QTextEdit *m_results;
    QLabel *m_status;
};
