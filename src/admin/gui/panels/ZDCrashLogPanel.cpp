#include "panels/ZDCrashLogPanel.h"

#include "ZDBackground.h"
#include "features/crashlogs/ZDCrashLogStats.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "dispatch/ZDTableSort.h"

#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString kSelectText = QStringLiteral("Select a log to view its description.");
enum Column { Computer, Application, Date, Cause };

// Sorts the date column by the date, the others by their text.
class LogItem : public QTreeWidgetItem
{
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem &other) const override
    {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        if (column == Date)
            return data(Date, Qt::UserRole + 1).toDateTime() < other.data(Date, Qt::UserRole + 1).toDateTime();
        return QTreeWidgetItem::operator<(other);
    }
};

} // namespace

ZDCrashLogPanel::ZDCrashLogPanel(ZDDispatcher *dispatcher, ZDErrorCallback *callback, const QString &settingsPath,
                                 QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher),
      m_controller(new ZDCrashLogController(dispatcher, callback, ZDCrashLogCache::console()),
                   [](ZDCrashLogController *c) { c->deleteLater(); }),
      m_table(new QTreeWidget(this)), m_filter(new QComboBox(this)), m_stats(new QTableWidget(0, 2, this)),
      m_explanation(new ZDInertTextBrowser(this)), m_status(new QLabel(this)), m_settingsPath(settingsPath)
{
    auto *title = new QLabel(QStringLiteral("Crash Logs"), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);

    m_table->setColumnCount(4);
    m_table->setHeaderLabels({tr("Computer"), tr("Application"), tr("Date"), tr("Cause")});
    m_table->setRootIsDecorated(false);
    m_table->setSortingEnabled(true);
    // The sort kept in the console's settings, by the records' keys.
    const QStringList keys{QStringLiteral("hostname"), QStringLiteral("app"), QStringLiteral("date"), QStringLiteral("cause")};
    const ZDTableSort sort(QStringLiteral("quellarLogTable"), m_settingsPath, QStringLiteral("app"));
    m_table->sortByColumn(std::max<int>(0, int(keys.indexOf(sort.column()))),
                          sort.descending() ? Qt::DescendingOrder : Qt::AscendingOrder);
    if (!m_settingsPath.isEmpty()) {
        connect(m_table->header(), &QHeaderView::sortIndicatorChanged, this, [this, keys](int column, Qt::SortOrder order) {
            ZDTableSort stored(QStringLiteral("quellarLogTable"), m_settingsPath, QStringLiteral("app"));
            if (stored.column() != keys.value(column) || stored.descending() != (order == Qt::DescendingOrder))
                stored.clickColumn(keys.value(column));
        });
    }
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->header()->setStretchLastSection(true);
    for (int column : {Computer, Application, Date})
        m_table->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    m_filter->addItems(ZDCrashLogStats::filterTitles());
    m_stats->setHorizontalHeaderLabels({tr("Statistic"), tr("Value")});
    m_stats->verticalHeader()->hide();
    m_stats->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_stats->horizontalHeader()->setStretchLastSection(true);
    m_stats->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_explanation->setOpenLinks(false);
    m_explanation->setOpenExternalLinks(false);
    m_explanation->setPlainText(kSelectText);

    auto *buttons = new QHBoxLayout;
    const auto button = [&](const QString &text, void (ZDCrashLogPanel::*slot)(), bool perLog) {
        auto *b = new QPushButton(text, this);
        connect(b, &QPushButton::clicked, this, slot);
        buttons->addWidget(b);
        if (perLog)
            m_logActions << b;
    };
    button(tr("Refresh"), &ZDCrashLogPanel::refreshLogs, false);
    button(tr("View Log"), &ZDCrashLogPanel::viewSelectedLog, true);
    button(tr("Remove"), &ZDCrashLogPanel::removeSelectedLog, true);
    button(tr("Send Log..."), &ZDCrashLogPanel::submitSelectedLog, true);
    button(tr("Consolidate Logs..."), &ZDCrashLogPanel::consolidateLogs, false);
    buttons->addStretch(1);
    buttons->addWidget(m_status);

    auto *statsBox = new QWidget(this);
    auto *statsLayout = new QVBoxLayout(statsBox);
    statsLayout->setContentsMargins(0, 0, 0, 0);
    statsLayout->addWidget(m_filter);
    statsLayout->addWidget(m_stats);
    auto *lower = new QSplitter(Qt::Horizontal, this);
    lower->addWidget(m_explanation);
    lower->addWidget(statsBox);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(m_table);
    split->addWidget(lower);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addLayout(buttons);
    layout->addWidget(split, 1);

    connect(m_controller.get(), &ZDCrashLogController::logsChanged, this, &ZDCrashLogPanel::reloadTable);
    connect(m_filter, &QComboBox::currentIndexChanged, this, &ZDCrashLogPanel::populateStats);
    connect(m_table, &QTreeWidget::itemSelectionChanged, this, &ZDCrashLogPanel::updateSelection);
    connect(m_table, &QTreeWidget::itemDoubleClicked, this, &ZDCrashLogPanel::viewSelectedLog);
    updateSelection();
}

QVariantMap ZDCrashLogPanel::selectedRecord() const
{
    const QList<QTreeWidgetItem *> items = m_table->selectedItems();
    return items.isEmpty() ? QVariantMap() : items.first()->data(Computer, Qt::UserRole).toMap();
}

void ZDCrashLogPanel::reloadTable()
{
    const QVariantMap selected = selectedRecord();
    const QSignalBlocker block(m_table);
    m_table->setSortingEnabled(false);
    m_table->clear();
    for (const QVariant &value : m_controller->logs()) {
        const QVariantMap record = value.toMap();
        const QString host = record.value(QStringLiteral("hostname")).toString();
        const ZDServicePtr service = m_controller->serviceFor(host);
        // Text from the computers goes into item text: shown as plain text.
        auto *item = new LogItem(m_table);
        item->setText(Computer, service ? service->name() : ZDErrorCallback::friendlyServiceName(host));
        item->setText(Application, record.value(QStringLiteral("app")).toString());
        item->setText(Date, QLocale().toString(record.value(QStringLiteral("date")).toDateTime().toLocalTime(),
                                               QLocale::ShortFormat));
        item->setText(Cause, record.value(QStringLiteral("cause")).toString());
        item->setToolTip(Cause, record.value(QStringLiteral("filename")).toString());
        item->setData(Computer, Qt::UserRole, record);
        item->setData(Date, Qt::UserRole + 1, record.value(QStringLiteral("date")));
        if (record == selected)
            item->setSelected(true);
    }
    m_table->setSortingEnabled(true);
    populateStats();
    if (selectedRecord() != selected)
        updateSelection();
}

void ZDCrashLogPanel::populateStats()
{
    const int computers = m_dispatcher ? int(m_dispatcher->selectedServices().size()) : 0;
    const QVariantMap stats = m_controller->statistics(m_filter->currentIndex(), computers);
    m_stats->setRowCount(0);
    for (const QString &label : ZDCrashLogStats::statisticLabels()) {
        if (!stats.contains(label))
            continue;
        const int row = m_stats->rowCount();
        m_stats->insertRow(row);
        m_stats->setItem(row, 0, new QTableWidgetItem(label));
        m_stats->setItem(row, 1, new QTableWidgetItem(stats.value(label).toString()));
    }
    m_stats->resizeColumnToContents(0);
}

void ZDCrashLogPanel::updateSelection()
{
    const QVariantMap record = selectedRecord();
    for (QPushButton *b : std::as_const(m_logActions))
        b->setEnabled(!record.isEmpty());
    const quint64 generation = ++m_selectionGeneration;
    if (record.isEmpty()) {
        m_explanation->setPlainText(kSelectText);
        return;
    }
    m_explanation->clear();
    const std::shared_ptr<ZDCrashLogController> controller = m_controller;
    ZDBackground::run<QString>(
        // Another computer's page: shown as its text, never laid out as that computer wrote it.
        this, [controller, record] { return ZDCrashLogStats::explanationText(controller->explanation(record)); },
        [this, generation](const QString &text) {
            if (generation != m_selectionGeneration)
                return;
            m_explanation->setPlainText(text);
            Q_EMIT explanationShown();
        });
}

void ZDCrashLogPanel::refreshLogs()
{
    if (!m_dispatcher)
        return;
    const QList<ZDServicePtr> services = m_dispatcher->selectedServices();
    if (services.isEmpty())
        return;
    ++m_busy;
    m_status->setText(tr("Refreshing..."));
    m_explanation->setPlainText(kSelectText);
    const std::shared_ptr<ZDCrashLogController> controller = m_controller;
    ZDBackground::run<int>(
        this, [controller, services] { return controller->refresh(services); },
        [this](int) {
            --m_busy;
            m_status->clear();
            reloadTable();
            Q_EMIT logsRefreshed();
        });
}

void ZDCrashLogPanel::clearData()
{
    m_controller->cancel();
    ++m_selectionGeneration;
    m_table->clear();
    m_stats->setRowCount(0);
    m_explanation->setPlainText(kSelectText);
}

void ZDCrashLogPanel::viewSelectedLog()
{
    const QVariantMap record = selectedRecord();
    if (record.isEmpty())
        return;
    auto *viewer = new QDialog(this);
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->setWindowTitle(QFileInfo(record.value(QStringLiteral("filename")).toString()).fileName());
    auto *kind = new QComboBox(viewer);
    kind->addItems({tr("Crashed Thread"), tr("Whole Log")});
    auto *text = new QPlainTextEdit(viewer);
    text->setReadOnly(true);
    text->setPlainText(tr("Loading..."));
    auto *layout = new QVBoxLayout(viewer);
    layout->addWidget(kind);
    layout->addWidget(text);
    viewer->resize(700, 500);
    viewer->show();
    auto log = std::make_shared<QString>();
    const auto draw = [kind, text, log] {
        if (log->isNull())
            text->setPlainText(QObject::tr("Unable to load log"));
        else
            text->setPlainText(kind->currentIndex() == 0 ? ZDCrashLogStats::crashedThread(*log) : *log);
    };
    connect(kind, &QComboBox::currentIndexChanged, viewer, draw);
    const std::shared_ptr<ZDCrashLogController> controller = m_controller;
    ZDBackground::run<QString>(viewer, [controller, record] { return controller->logText(record); },
                               [log, draw](const QString &received) {
                                   *log = received;
                                   draw();
                               });
}

void ZDCrashLogPanel::removeSelectedLog()
{
    const QVariantMap record = selectedRecord();
    if (record.isEmpty())
        return;
    QMessageBox ask(QMessageBox::Warning, tr("Remove Log"), tr("Are you sure you wish to remove this log?"),
                    QMessageBox::NoButton, this);
    ask.setInformativeText(tr("This will also remove the log on the client system."));
    QPushButton *remove = ask.addButton(tr("Remove"), QMessageBox::DestructiveRole);
    ask.addButton(QMessageBox::Cancel);
    ask.exec();
    if (ask.clickedButton() != remove)
        return;
    const std::shared_ptr<ZDCrashLogController> controller = m_controller;
    ZDBackground::run<bool>(this, [controller, record] { return controller->remove(record); }, [](bool) {});
}

void ZDCrashLogPanel::submitSelectedLog()
{
    const QVariantMap record = selectedRecord();
    if (record.isEmpty())
        return;
    bool ok = false;
    const QString comment = QInputDialog::getMultiLineText(this, tr("Send Log"), tr("Comment:"), QString(), &ok);
    if (!ok)
        return;
    const std::shared_ptr<ZDCrashLogController> controller = m_controller;
    ZDBackground::run<bool>(this, [controller, record, comment] { return controller->submit(record, comment); },
                            [](bool) {});
}

void ZDCrashLogPanel::consolidateLogs()
{
    if (!m_dispatcher)
        return;
    const QList<ZDServicePtr> services = m_dispatcher->selectedServices();
    ++m_busy;
    m_status->setText(tr("Consolidating..."));
    const std::shared_ptr<ZDCrashLogController> controller = m_controller;
    // The consolidated logs come back later as batches through the callback object.
    ZDBackground::run<int>(this, [controller, services] { return controller->consolidate(services); },
                           [this](int) {
                               --m_busy;
                               m_status->clear();
                           });
}
