#include "panels/ZDPanelParts.h"

#include <QBrush>
#include <QCoreApplication>
#include <QTreeWidget>

namespace ZDPanelParts {

QString workingText()
{
    return QCoreApplication::translate("ZDPanelParts", "Working...");
}

QString busyText()
{
    return QCoreApplication::translate("ZDPanelParts", "Another task is running on the computers.");
}

QString changesText(const QStringList &failures, int changes)
{
    return failures.isEmpty() ? QCoreApplication::translate("ZDPanelParts", "%n change(s) made.", nullptr, changes)
                              : failures.join(QLatin1Char('\n'));
}

QTreeWidgetItem *addItemRow(QTreeWidget *tree, const QStringList &cells, bool inLine)
{
    auto *row = new QTreeWidgetItem(tree, cells);
    if (!inLine)
        row->setForeground(int(cells.size()) - 1, QBrush(Qt::red));
    return row;
}

void addMissingLine(QTreeWidgetItem *row, const QString &host)
{
    const int last = row->treeWidget()->columnCount() - 1;
    QStringList cells(last + 1);
    cells.first() = host;
    cells.last() = QCoreApplication::translate("ZDPanelParts", "missing");
    auto *line = new QTreeWidgetItem(row, cells);
    line->setForeground(last, QBrush(Qt::red));
}

} // namespace ZDPanelParts
