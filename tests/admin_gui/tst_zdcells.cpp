// The shared list pieces: keys go to the owner's handler, then to the bound
// slots (a missing slot is skipped, not fatal), a right click selects its row
// alone, and cut texts fit their width and say so.
#include "ZDItemViews.h"

#include <QContextMenuEvent>
#include <QStandardItemModel>
#include <QtTest>

class Receiver : public QObject
{
    Q_OBJECT
public:
    int removed = 0;
public Q_SLOTS:
    void removeItems() { ++removed; }
};

class TestCells : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void keysMenusAndTruncation()
    {
        QStandardItemModel model(3, 1);
        for (int r = 0; r < 3; ++r)
            model.setItem(r, new QStandardItem(QStringLiteral("row %1").arg(r)));
        ZDTableView view;
        view.setModel(&model);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        Receiver receiver;
        view.addWatchKeys(QStringLiteral("x"), "noSuchSlot", &receiver);
        view.addWatchKeys(QStringLiteral("x\b"), "removeItems", &receiver);
        QTest::keyClick(&view, Qt::Key_X);
        QTest::keyClick(&view, Qt::Key_Backspace);
        QCOMPARE(receiver.removed, 2);
        // The owner's handler decides first; false means ordinary handling.
        QList<int> offered;
        view.setKeyHandlers([&](QKeyEvent *e) {
            offered << e->key();
            return e->key() == Qt::Key_X;
        });
        view.setCurrentIndex(model.index(0, 0));
        QTest::keyClick(&view, Qt::Key_Down);
        QCOMPARE(view.currentIndex().row(), 1);
        QTest::keyClick(&view, Qt::Key_X);
        QCOMPARE(receiver.removed, 3);
        QCOMPARE(offered, QList<int>({Qt::Key_Down, Qt::Key_X}));
        view.selectAll();
        const QPoint onRow = view.visualRect(model.index(2, 0)).center();
        QContextMenuEvent click(QContextMenuEvent::Mouse, onRow, view.viewport()->mapToGlobal(onRow));
        QApplication::sendEvent(view.viewport(), &click);
        QCOMPARE(view.selectionModel()->selectedRows(), QModelIndexList({model.index(2, 0)}));
        const QFontMetrics metrics(view.font());
        const QString text = QStringLiteral("A rather long plug-in name \U0001F3AC that cannot fit");
        const QString cut = zdTruncateString(text, 80, metrics);
        QVERIFY(cut.endsWith(QStringLiteral("...")) && metrics.horizontalAdvance(cut) <= 80);
        QCOMPARE(zdTruncateString(QStringLiteral("fits"), 500, metrics), QStringLiteral("fits"));
    }
};

QTEST_MAIN(TestCells)
#include "tst_zdcells.moc"
