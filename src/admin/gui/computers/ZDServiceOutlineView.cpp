#include "computers/ZDServiceOutlineView.h"

#include "computers/ZDServiceItemDelegate.h"
#include "computers/ZDServiceOutlineModel.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QTimer>

ZDServiceOutlineView::ZDServiceOutlineView(QWidget *parent)
    : QTreeView(parent)
    , m_delegate(new ZDServiceItemDelegate(this))
    , m_spinnerTimer(new QTimer(this))
{
    setHeaderHidden(true);
    setItemDelegate(m_delegate);
    connect(m_delegate, &ZDServiceItemDelegate::pressedChanged, this,
            [this](const QModelIndex &index) { viewport()->update(visualRect(index)); });
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setUniformRowHeights(true);
    setAnimated(false);
    setIndentation(14);
    setMouseTracking(true);
    setAccessibleName(tr("Computers"));
    m_spinnerTimer->setInterval(90);
    connect(m_spinnerTimer, &QTimer::timeout, this, &ZDServiceOutlineView::tick);
    m_spinnerTimer->start();
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex &index) {
        if (m_model && index == m_model->headerIndex())
            expand(index); // the header never collapses
    });
}

void ZDServiceOutlineView::setOutlineModel(ZDServiceOutlineModel *model)
{
    m_model = model;
    setModel(model);
}

void ZDServiceOutlineView::tick()
{
    if (!m_model || !isVisible())
        return;
    // Only repaint while some row shows the spinner.
    bool working = false;
    const QModelIndex header = m_model->headerIndex();
    std::function<void(const QModelIndex &)> scan = [&](const QModelIndex &parent) {
        for (int r = 0; r < m_model->rowCount(parent) && !working; ++r) {
            const QModelIndex idx = m_model->index(r, 0, parent);
            working = idx.data(ZDServiceOutlineModel::KindRole).toInt() == ZDServiceOutlineModel::ServiceKind
                && idx.data(ZDServiceOutlineModel::RowStateRole).toInt() == 0;
            if (!working)
                scan(idx);
        }
    };
    scan(header);
    if (!working)
        return;
    m_phase = (m_phase + 1) % 12;
    m_delegate->setSpinnerPhase(m_phase);
    viewport()->update();
}

void ZDServiceOutlineView::keyPressEvent(QKeyEvent *event)
{
    if (state() == QAbstractItemView::EditingState) {
        QTreeView::keyPressEvent(event);
        return;
    }
    if (event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete) {
        Q_EMIT removeRequested();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_N && (event->modifiers() & Qt::ControlModifier)) {
        Q_EMIT addRequested();
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void ZDServiceOutlineView::contextMenuEvent(QContextMenuEvent *event)
{
    const QModelIndex index = indexAt(event->pos());
    if (index.isValid() && (model()->flags(index) & Qt::ItemIsSelectable)
        && !selectionModel()->isSelected(index)) {
        selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    }
    Q_EMIT menuRequested(event->globalPos());
}

void ZDServiceOutlineView::mousePressEvent(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    if (m_model && index == m_model->headerIndex()) {
        clearSelection();
        return;
    }
    QTreeView::mousePressEvent(event);
}
