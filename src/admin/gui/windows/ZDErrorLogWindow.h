#pragma once
// The error log window: the error queue, newest first, with its computer, date and
// text, and a "Check for Updates" button on the rows whose "actionType" is 1;
// Clear empties the queue, Upload sends it to the support server and shows how it
// ended. Follows every change of the queue, sorted as the user last clicked a header.
#include "dispatch/ZDErrorCallback.h"
#include "dispatch/ZDTableSort.h"

#include <QWidget>

class QPushButton;
class QTableWidget;
class ZDProgressSheet;
class ZDProgressState;

class ZDErrorLogWindow : public QWidget
{
    Q_OBJECT
public:
    enum Column { HostColumn, DateColumn, DescriptionColumn, ActionColumn, ColumnCount };
    static constexpr int kMaxShownDescription = 1024;

    // errorCallback must outlive the window.
    explicit ZDErrorLogWindow(ZDErrorCallback *errorCallback, QWidget *parent = nullptr);

    QTableWidget *table() const { return m_table; }
    QPushButton *clearButton() const { return m_clear; }
    QPushButton *uploadButton() const { return m_upload; }
    // The queue as shown, in row order.
    const QVariantList &rows() const { return m_rows; }
    // The upload runs under this window's progress sheet, whose Cancel stops it.
    ZDProgressSheet *progressSheet() const { return m_progressSheet; }
    static QString columnIdentifier(int column);

public Q_SLOTS:
    void reload();
    void clearErrorLog();
    void uploadErrorLog();
    // Selects the first entry with this code and host; false when there is none.
    bool highlightError(qint64 code, const QString &hostname);

Q_SIGNALS:
    // A row's "Check for Updates" button.
    void checkForUpdatesRequested();
    void uploadEnded(ZDErrorCallback::UploadResult result);

private:
    void uploadFinished(ZDErrorCallback::UploadResult result, const QString &detail);
    void headerClicked(int section);

    ZDErrorCallback *m_errors;
    QTableWidget *m_table;
    QPushButton *m_clear;
    QPushButton *m_upload;
    ZDTableSort m_sort;
    ZDProgressState *m_progress;
    ZDProgressSheet *m_progressSheet;
    QVariantList m_rows;
};
