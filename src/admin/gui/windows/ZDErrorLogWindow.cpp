#include "windows/ZDErrorLogWindow.h"

#include "ZDAlert.h"
#include "windows/ZDProgressSheet.h"
#include "dispatch/ZDProgressState.h"
#include "console/ZDUploadMessages.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

ZDErrorLogWindow::ZDErrorLogWindow(ZDErrorCallback *errorCallback, QWidget *parent)
    : QWidget(parent, Qt::Window), m_errors(errorCallback), m_table(new QTableWidget(0, ColumnCount, this)),
      m_clear(new QPushButton(tr("Clear"), this)), m_upload(new QPushButton(tr("Upload"), this)),
      m_sort(QStringLiteral("errorLogTable"), errorCallback ? errorCallback->settingsPath() : QString(),
             columnIdentifier(DateColumn)),
      m_progress(new ZDProgressState(this)), m_progressSheet(new ZDProgressSheet(m_progress, this))
{
    m_progress->setCancelAction([this] {
        if (m_errors)
            m_errors->cancelUpload();
    });
    setWindowTitle(tr("Error Log"));
    m_table->setHorizontalHeaderLabels({tr("Computer"), tr("Date"), tr("Description"), QString()});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setWordWrap(true);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setSectionResizeMode(DescriptionColumn, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(HostColumn, QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setSectionResizeMode(DateColumn, QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setSectionResizeMode(ActionColumn, QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setSectionsClickable(true);
    m_table->horizontalHeader()->setSortIndicatorShown(true);
    connect(m_table->horizontalHeader(), &QHeaderView::sectionClicked, this, &ZDErrorLogWindow::headerClicked);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_clear);
    buttons->addStretch(1);
    buttons->addWidget(m_upload);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(buttons);
    resize(760, 360);

    connect(m_clear, &QPushButton::clicked, this, &ZDErrorLogWindow::clearErrorLog);
    connect(m_upload, &QPushButton::clicked, this, &ZDErrorLogWindow::uploadErrorLog);
    if (m_errors) {
        connect(m_errors, &ZDErrorCallback::errorQueueChanged, this, &ZDErrorLogWindow::reload);
        connect(m_errors, &ZDErrorCallback::uploadFinished, this, &ZDErrorLogWindow::uploadFinished);
    }
    reload();
}

QString ZDErrorLogWindow::columnIdentifier(int column)
{
    switch (column) {
    case HostColumn:
        return QStringLiteral("hostname");
    case DateColumn:
        return QStringLiteral("date");
    case DescriptionColumn:
        return QStringLiteral("description");
    default:
        return QString();
    }
}

void ZDErrorLogWindow::headerClicked(int section)
{
    const QString id = columnIdentifier(section);
    if (id.isEmpty())
        return;
    m_sort.clickColumn(id);
    reload();
}

void ZDErrorLogWindow::reload()
{
    const QString sortColumn = m_sort.column();
    const bool descending = m_sort.descending();
    m_rows = ZDTableSort::sorted(m_errors ? m_errors->errorQueue() : QVariantList(), sortColumn, descending);
    const QVariantList &queue = m_rows;
    for (int column = 0; column < ColumnCount; ++column) {
        if (columnIdentifier(column) == sortColumn)
            m_table->horizontalHeader()->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    }
    m_table->clearContents();
    m_table->setRowCount(int(queue.size()));
    for (int row = 0; row < queue.size(); ++row) {
        const QVariantMap entry = queue[row].toMap();
        const QDateTime date = entry.value(QStringLiteral("date")).toDateTime();
        auto *host = new QTableWidgetItem(
            ZDErrorCallback::friendlyServiceName(entry.value(QStringLiteral("hostname")).toString()));
        host->setData(Qt::UserRole, entry.value(QStringLiteral("hostname")));
        m_table->setItem(row, HostColumn, host);
        m_table->setItem(row, DateColumn, new QTableWidgetItem(QLocale().toString(date, QLocale::ShortFormat)));
        auto *description = new QTableWidgetItem(
            entry.value(QStringLiteral("description")).toString().left(kMaxShownDescription));
        description->setData(Qt::UserRole, entry.value(QStringLiteral("errorcode")));
        m_table->setItem(row, DescriptionColumn, description);
        if (entry.value(QStringLiteral("actionType")).toInt() == 1) {
            auto *button = new QPushButton(tr("Check for Updates"));
            button->setMinimumWidth(95);
            connect(button, &QPushButton::clicked, this, &ZDErrorLogWindow::checkForUpdatesRequested);
            m_table->setCellWidget(row, ActionColumn, button);
        } else {
            m_table->setItem(row, ActionColumn, new QTableWidgetItem);
        }
    }
    m_table->resizeRowsToContents();
    m_upload->setEnabled(!queue.isEmpty() && !(m_errors && m_errors->isUploading()));
    m_clear->setEnabled(!queue.isEmpty());
}

void ZDErrorLogWindow::clearErrorLog()
{
    if (m_errors)
        m_errors->clearErrorQueue();
}

void ZDErrorLogWindow::uploadErrorLog()
{
    if (!m_errors || m_errors->errorCount() == 0 || m_errors->isUploading())
        return;
    m_progress->startProgress();
    m_progress->updateProgressStatus(tr("Uploading error log..."));
    if (m_errors->uploadErrorLog())
        m_upload->setEnabled(false);
    else
        m_progress->endProgress();
}

void ZDErrorLogWindow::uploadFinished(ZDErrorCallback::UploadResult result, const QString &)
{
    m_progress->endProgress();
    reload();
    const ZDUploadMessages::Message message = ZDUploadMessages::messageForResult(result);
    if (!message.title.isEmpty())
        ZDAlert::alertSheet(message.title, tr("OK"), QString(), QString(), message.text, this, false);
    Q_EMIT uploadEnded(result);
}

bool ZDErrorLogWindow::highlightError(qint64 code, const QString &hostname)
{
    const int index = m_errors ? m_errors->indexOfError(code, hostname) : -1;
    if (index < 0)
        return false;
    // Rows are sorted: find the entry itself (the queue may have changed since the last reload).
    const QVariant entry = m_errors->errorQueue().value(index);
    int row = int(m_rows.indexOf(entry));
    if (row < 0) {
        reload();
        row = int(m_rows.indexOf(entry));
    }
    if (row < 0 || row >= m_table->rowCount())
        return false;
    m_table->selectRow(row);
    return true;
}
