#include "panels/ZDPanelParts.h"

#include "dispatch/ZDActionTarget.h"

#include <QBrush>
#include <QCoreApplication>
#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

namespace ZDPanelParts {

QString workingText()
{
    return QCoreApplication::translate("ZDPanelParts", "Working...");
}

bool confirmOnComputers(QWidget *parent, const ZDDispatcher *dispatcher, const QString &title, const QString &question,
                        const QString &action, const QString &note)
{
    const QStringList hosts = ZDDispatcher::hostsOf(dispatcher->selectedServices(), &ZDDispatcher::answerKey);
    QMessageBox box(QMessageBox::Question, title, question, QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(note.isEmpty() ? ZDActionTarget::targetLine(hosts) : ZDActionTarget::targetLine(hosts) + u'\n' + note);
    QPushButton *go = box.addButton(action, QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    box.exec();
    return box.clickedButton() == go;
}

namespace {
constexpr const char *kChangesComputers = "zdChangesComputers";
constexpr const char *kRunning = "zdRunning";
}

QAbstractButton *changesComputers(QAbstractButton *button)
{
    button->setProperty(kChangesComputers, true);
    return button;
}

void enableChanges(QWidget *root, bool computersChosen)
{
    for (QAbstractButton *b : root->findChildren<QAbstractButton *>()) {
        if (!b->property(kChangesComputers).toBool())
            continue;
        b->setEnabled(computersChosen && !b->property(kRunning).toBool());
        b->setToolTip(computersChosen ? QString()
                                      : QCoreApplication::translate("ZDPanelParts",
                                                                    "Select computers on the left first (Ctrl+A for all of them)."));
    }
}

void setRunning(QAbstractButton *button, bool running)
{
    button->setProperty(kRunning, running);
    button->setEnabled(!running);
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
