#pragma once
// The progress sheet: a window-modal sheet over its parent that shows a progress
// state (status text, bar, Cancel) and opens and closes with it.
#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class ZDProgressState;

class ZDProgressSheet : public QDialog
{
    Q_OBJECT
public:
    // state must outlive the sheet (both usually belong to the same window).
    ZDProgressSheet(ZDProgressState *state, QWidget *parent);

    QLabel *statusLabel() const { return m_status; }
    QProgressBar *bar() const { return m_bar; }
    QPushButton *cancelButton() const { return m_cancel; }

protected:
    void reject() override; // Escape cancels; only the state closes the sheet

private:
    void update();

    ZDProgressState *m_state;
    QLabel *m_status;
    QProgressBar *m_bar;
    QPushButton *m_cancel;
};
