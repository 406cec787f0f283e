#pragma once
// The updater's progress window: a status line, the bytes received against the
// total, a bar (indeterminate without a known length) and Cancel.
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

class ZDUpdaterWindow : public QWidget
{
    Q_OBJECT
public:
    explicit ZDUpdaterWindow(QWidget *parent = nullptr);

    void setStatus(const QString &text);
    // total -1: unknown length, an indeterminate bar and no size text.
    void setProgress(qint64 received, qint64 total);
    void setIndeterminate();
    void hideSizeText();
    // "Yes" to the cancel question: true.
    bool confirmCancel();

Q_SIGNALS:
    void cancelRequested();

private:
    QLabel *m_status;
    QLabel *m_bytes;
    QProgressBar *m_bar;
    QPushButton *m_cancel;
};
