#include "panels/ZDDifferenceFinderPanel.h"

#include "ZDAlert.h"
#include "dispatch/ZDAgentCalls.h"
#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"
#include "log/ZDLog.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox> // ZDAlert's inline accessors need it whole
#include <QPushButton>
#include <QTableWidget>

namespace {

using Groups = std::pair<QList<ZDServicePtr>, QList<ZDServicePtr>>; // failing, working

} // namespace

ZDDifferenceFinderPanel::ZDDifferenceFinderPanel(ZDDispatcher *dispatcher, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher), m_results(new QTableWidget(0, 3, this)), m_status(new QLabel(this))
{
    auto *layout = new QGridLayout(this);
    for (const ZDDifferenceFinder::Group g :
         {ZDDifferenceFinder::Working, ZDDifferenceFinder::NotWorking, ZDDifferenceFinder::Unassigned}) {
        auto *list = new QListWidget(this);
        list->setDragDropMode(QAbstractItemView::DragDrop);
        list->setDefaultDropAction(Qt::MoveAction);
        list->setSelectionMode(QAbstractItemView::ExtendedSelection);
        m_lists[g] = list;
        layout->addWidget(new QLabel(ZDDifferenceFinder::groupTitle(g), this), 0, int(g));
        layout->addWidget(list, 1, int(g));
    }
    m_results->setHorizontalHeaderLabels({tr("Difference"), tr("Working"), tr("Not Working")});
    m_results->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_results->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    auto *calculateButton = new QPushButton(tr("Calculate"), this);
    connect(calculateButton, &QPushButton::clicked, this, &ZDDifferenceFinderPanel::calculate);
    layout->addWidget(m_results, 2, 0, 1, 3);
    layout->addWidget(m_status, 3, 0, 1, 2);
    layout->addWidget(calculateButton, 3, 2, Qt::AlignRight);
    layout->setRowStretch(2, 1);
}

void ZDDifferenceFinderPanel::populateServices()
{
    ZDLog::appendLog(QStringLiteral("Populating Difference Finder services..."));
    for (QListWidget *list : m_lists)
        list->clear();
    for (const ZDServicePtr &s : m_dispatcher->allServices()) {
        if (s->isConnected()) {
            auto *item = new QListWidgetItem(s->name(), m_lists[ZDDifferenceFinder::Unassigned]);
            item->setData(Qt::UserRole, ZDDifferenceFinder::identityOf(s));
        }
    }
}

void ZDDifferenceFinderPanel::calculate()
{
    ZDLog::appendLog(QStringLiteral("Calculating Difference Finder differences..."));
    // The groups as the lists hold them now.
    ZDDifferenceFinder finder;
    QList<ZDServicePtr> connected;
    for (const ZDServicePtr &s : m_dispatcher->allServices()) {
        if (s->isConnected())
            connected << s;
    }
    Groups groups;
    for (const ZDDifferenceFinder::Group g : {ZDDifferenceFinder::Working, ZDDifferenceFinder::NotWorking}) {
        for (int i = 0; i < m_lists[g]->count(); ++i) {
            const QString identity = m_lists[g]->item(i)->data(Qt::UserRole).toString();
            for (const ZDServicePtr &s : std::as_const(connected)) {
                if (ZDDifferenceFinder::identityOf(s) == identity) {
                    finder.move(identity, g);
                    (g == ZDDifferenceFinder::NotWorking ? groups.first : groups.second) << s;
                }
            }
        }
    }
    if (const ZDDifferenceFinder::Refusal refused = finder.refusal(int(connected.size())); !refused.text.isEmpty()) {
        ZDLog::appendLog(refused.logLine);
        m_status->clear();
        ZDAlert::alertSheet(refused.title, tr("OK"), QString(), QString(), refused.text, window(), nullptr, {}, false);
        return;
    }
    m_status->setText(tr("Getting stats from the computers..."));
    const quint64 generation = ++m_generation;
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDBackground::run<QList<ZDDifference>>(
        this,
        [dispatcher, groups] {
            const auto profiles = [dispatcher](const QList<ZDServicePtr> &services) {
                QVariantList found;
                for (const ZDServicePtr &s : services) {
                    const QVariant p = dispatcher->objectFromRemoteMethod(QStringLiteral("diffFinderSystemInfo"),
                                                                          QVariant(), QVariant(), s);
                    if (p.typeId() == QMetaType::QVariantMap)
                        found << p;
                }
                return found;
            };
            ZDLog::appendLog(QStringLiteral("Getting stats from non-working machines..."));
            const QVariantList failing = profiles(groups.first);
            ZDLog::appendLog(QStringLiteral("Getting stats from working machines..."));
            return ZDDifferenceFinder::compare(failing, profiles(groups.second));
        },
        [this, generation](const QList<ZDDifference> &differences) {
            if (generation == m_generation)
                show(differences);
        });
}

void ZDDifferenceFinderPanel::show(const QList<ZDDifference> &differences)
{
    m_results->setRowCount(int(differences.size()));
    for (int row = 0; row < differences.size(); ++row) {
        const ZDDifference &d = differences[row];
        const QStringList cells{d.description, d.working.isEmpty() ? tr("(none)") : d.working, d.nonworking};
        for (int column = 0; column < 3; ++column)
            m_results->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    m_status->setText(differences.isEmpty() ? tr("No differences found.") : tr("%n difference(s).", nullptr, int(differences.size())));
    Q_EMIT differencesShown();
}

void ZDDifferenceFinderPanel::clearData()
{
    ++m_generation;
    m_results->setRowCount(0);
    m_status->clear();
}
