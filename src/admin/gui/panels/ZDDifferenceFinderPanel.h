#pragma once
// The "Difference Finder" panel: the connected computers in three lists (Working,
// Not Working, Unassigned) moved between them by drag and drop; Calculate fetches
// the profiles of the first two groups and lists what all failing computers share
// and no working one has. The groups and the comparison are ZDDifferenceFinder's.
#include "features/plugins/ZDDifferenceFinder.h"

#include <QWidget>

class QLabel;
class QListWidget;
class QTableWidget;
class ZDDispatcher;

class ZDDifferenceFinderPanel : public QWidget
{
    Q_OBJECT
public:
    // dispatcher must outlive the panel.
    explicit ZDDifferenceFinderPanel(ZDDispatcher *dispatcher, QWidget *parent = nullptr);

    QListWidget *group(ZDDifferenceFinder::Group group) const { return m_lists[group]; }
    QTableWidget *results() const { return m_results; }

public Q_SLOTS:
    void populateServices();
    void calculate();
    void clearData();

Q_SIGNALS:
    void differencesShown();

private:
    void show(const QList<ZDDifference> &differences);

    ZDDispatcher *m_dispatcher;
    QListWidget *m_lists[3];
    QTableWidget *m_results;
    QLabel *m_status;
    quint64 m_generation = 0;
};
