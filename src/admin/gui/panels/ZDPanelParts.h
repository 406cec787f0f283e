#pragma once
// What the feature panels share: their row of buttons, a refresh whose answer is
// dropped once a newer one started, a change run off the GUI thread whose outcome
// goes to the status line, and outline rows with a line per computer.
#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDProgressRuns.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStringList>

#include <utility>

class QAbstractButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace ZDPanelParts {

// A function that adds a push button to row, running its slot on a click.
template <typename Owner>
auto buttonAdder(Owner *owner, QBoxLayout *row)
{
    return [owner, row](const QString &title, auto slot) {
        auto *button = new QPushButton(title, owner);
        QObject::connect(button, &QPushButton::clicked, owner, std::move(slot));
        row->addWidget(button);
        return button;
    };
}

// generation is the owner's counter: an older answer arriving late must not
// replace a newer one, nor the cleared view.
template <typename R, typename Work, typename Show>
void refreshLatest(QObject *owner, quint64 &generation, Work &&work, Show &&show)
{
    const quint64 current = ++generation;
    ZDBackground::run<R>(owner, std::forward<Work>(work),
                         [&generation, current, show = std::forward<Show>(show)](const R &result) mutable {
                             if (current == generation)
                                 show(result);
                         });
}

QString workingText();
// Another run on many computers is going on: nothing was started.
QString busyText();
// How many changes were made, or the computers' failures one a line.
QString changesText(const QStringList &failures, int changes);

// Runs a change whose report has failures and changes on the dispatcher's computers,
// under the window's progress sheet when there is one, then refresh.
template <typename Report, typename Work, typename Refresh>
void runChange(QObject *owner, const ZDDispatcher *dispatcher, QLabel *status, Work &&work, Refresh &&refresh)
{
    const bool started = ZDProgressRuns::startOn<Report>(
        dispatcher, owner, workingText(), int(dispatcher->selectedServices().size()),
        [work = std::forward<Work>(work)](ZDProgressRuns::Steps &) { return work(); },
        [status = QPointer<QLabel>(status), refresh = std::forward<Refresh>(refresh)](const Report &report) mutable {
            if (status)
                status->setText(changesText(report.failures, report.changes));
            refresh();
        });
    status->setText(started ? workingText() : busyText());
}

// Asks before a change on the dispatcher's computers: the question with its counts
// (ZDActionTarget), the computers named, then `note`; true for `action`'s button.
bool confirmOnComputers(QWidget *parent, const ZDDispatcher *dispatcher, const QString &title, const QString &question,
                        const QString &action, const QString &note = {});

// A button that changes the computers: off while no computer is chosen in the window
// (choosing every computer, Ctrl+A in the list, is the explicit "all computers").
QAbstractButton *changesComputers(QAbstractButton *button);
// Every such button below root, for whether computers are chosen; a running one stays off.
void enableChanges(QWidget *root, bool computersChosen);
// Off while its run goes on, whatever is chosen meanwhile; on again after.
void setRunning(QAbstractButton *button, bool running);

// An item's row; its state, the last column, is red when the computers differ.
QTreeWidgetItem *addItemRow(QTreeWidget *tree, const QStringList &cells, bool inLine);
// The line of a computer that lacks the row's item.
void addMissingLine(QTreeWidgetItem *row, const QString &host);

} // namespace ZDPanelParts
