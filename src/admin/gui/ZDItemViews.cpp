#include "ZDItemViews.h"

#include "dispatch/ZDTableSort.h"
#include "platform/ZDFormat.h"
#include "log/ZDSystemLog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

namespace {

constexpr int kImageSize = 32;
constexpr int kPadding = 4;

QFont smallFont(const QFont &base)
{
    QFont font = base;
    font.setPointSizeF(qMax(7.0, base.pointSizeF() * 0.85));
    return font;
}

} // namespace

// ---- kept sorting ---------------------------------------------------------------

namespace {

void keepSort(QHeaderView *header, const std::function<void(int, Qt::SortOrder)> &sortBy, const QString &prefix,
              const QString &settingsPath, const QStringList &columnKeys)
{
    const ZDTableSort sort(prefix, settingsPath, columnKeys.value(1));
    // A stored column the list does not have falls back to its second one.
    const int stored = int(columnKeys.indexOf(sort.column()));
    sortBy(stored >= 0 ? stored : qMin(1, int(columnKeys.size()) - 1),
           sort.descending() ? Qt::DescendingOrder : Qt::AscendingOrder);
    QObject::connect(header, &QHeaderView::sortIndicatorChanged, header,
                     [prefix, settingsPath, columnKeys](int column, Qt::SortOrder order) {
                         if (column < 0 || column >= columnKeys.size())
                             return;
                         ZDTableSort(prefix, settingsPath, columnKeys.value(1))
                             .store(columnKeys.at(column), order == Qt::DescendingOrder);
                     });
}

} // namespace

void ZDItemSort::keep(QTreeView *view, const QString &prefix, const QString &settingsPath, const QStringList &columnKeys)
{
    view->setSortingEnabled(true);
    keepSort(view->header(), [view](int column, Qt::SortOrder order) { view->sortByColumn(column, order); }, prefix,
             settingsPath, columnKeys);
}

void ZDItemSort::keep(QTableView *view, const QString &prefix, const QString &settingsPath, const QStringList &columnKeys)
{
    view->setSortingEnabled(true);
    keepSort(view->horizontalHeader(), [view](int column, Qt::SortOrder order) { view->sortByColumn(column, order); },
             prefix, settingsPath, columnKeys);
}

// ---- keys and menus ---------------------------------------------------------------

void ZDWatchKeys::addWatchKeys(const QString &characters, const QByteArray &slot, QObject *receiver)
{
    for (const QChar c : characters)
        m_entries.append({c, slot, receiver});
}

bool ZDWatchKeys::perform(QChar key) const
{
    for (const Entry &entry : m_entries) {
        if (entry.key != key || !entry.receiver)
            continue;
        const QMetaObject *meta = entry.receiver->metaObject();
        if (meta->indexOfMethod(QMetaObject::normalizedSignature(entry.slot + "()")) < 0) {
            zdSystemLog(zdFormat(QStringLiteral("Selector %@ doesn't exist"), QString::fromLatin1(entry.slot)));
            continue;
        }
        QMetaObject::invokeMethod(entry.receiver, entry.slot.constData(), Qt::DirectConnection);
        return true;
    }
    return false;
}

template <typename Base>
void ZDKeyForwardingView<Base>::keyPressEvent(QKeyEvent *event)
{
    if (this->state() == QAbstractItemView::EditingState)
        return Base::keyPressEvent(event);
    if (m_keyDown && !m_keyDown(event))
        return Base::keyPressEvent(event);
    if (!event->text().isEmpty() && m_watchKeys.perform(event->text().at(0)))
        return;
    if (!m_keyDown)
        Base::keyPressEvent(event);
}

template <typename Base>
void ZDKeyForwardingView<Base>::keyReleaseEvent(QKeyEvent *event)
{
    if (this->state() != QAbstractItemView::EditingState && m_keyUp && m_keyUp(event))
        return;
    Base::keyReleaseEvent(event);
}

template <typename Base>
void ZDKeyForwardingView<Base>::contextMenuEvent(QContextMenuEvent *event)
{
    const QModelIndex index = this->indexAt(event->pos());
    if (index.isValid() && (index.flags() & Qt::ItemIsSelectable) && this->selectionModel()) {
        this->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    if (m_menu)
        m_menu->popup(event->globalPos());
    else
        Base::contextMenuEvent(event);
}

template class ZDKeyForwardingView<QTreeView>;
template class ZDKeyForwardingView<QTableView>;

ZDOutlineView::ZDOutlineView(QWidget *parent)
    : ZDKeyForwardingView<QTreeView>(parent)
{
    setUniformRowHeights(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
}

ZDTableView::ZDTableView(QWidget *parent)
    : ZDKeyForwardingView<QTableView>(parent)
{
    setSelectionBehavior(QAbstractItemView::SelectRows);
}

// ---- cells -------------------------------------------------------------------------

QString zdTruncateString(const QString &text, int width, const QFontMetrics &metrics)
{
    if (metrics.horizontalAdvance(text) <= width)
        return text;
    const QString dots = QStringLiteral("...");
    const int room = width - metrics.horizontalAdvance(dots);
    if (room <= 0)
        return QString();
    // Whole characters only: never split a surrogate pair.
    int end = 0;
    for (int i = 0; i < text.size();) {
        const int next = i + ((text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1);
        if (metrics.horizontalAdvance(text.left(next)) > room)
            break;
        end = i = next;
    }
    return text.left(end) + dots;
}

ZDOutlineTitleDelegate::ZDOutlineTitleDelegate(qreal indentation, QObject *parent)
    : QStyledItemDelegate(parent), m_indentation(indentation)
{
}

void ZDOutlineTitleDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem moved = option;
    const int shift = qRound(m_indentation);
    moved.rect = option.rect.adjusted(-shift, 0, -2 * shift, 0);
    QStyledItemDelegate::paint(painter, moved, index);
}

QRect ZDImageTextDelegate::titleRect(const QStyleOptionViewItem &option)
{
    const QRect r = option.rect.adjusted(kImageSize + 2 * kPadding, kPadding, -kPadding, -kPadding);
    return QRect(r.left(), r.top(), r.width(), option.fontMetrics.height());
}

QSize ZDImageTextDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(qMax(kImageSize + 2 * kPadding, option.fontMetrics.height() * 2 + 2 * kPadding));
    return size;
}

void ZDImageTextDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                               const QModelIndex &) const
{
    editor->setGeometry(titleRect(option));
}

void ZDImageTextDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const bool selected = opt.state & QStyle::State_Selected;
    painter->save();
    if (const QVariant bg = index.data(Qt::BackgroundRole); bg.isValid() && !selected)
        painter->fillRect(opt.rect, bg.value<QBrush>());
    else if (selected)
        painter->fillRect(opt.rect, opt.palette.highlight());
    const QRect image(opt.rect.left() + kPadding, opt.rect.top() + (opt.rect.height() - kImageSize) / 2, kImageSize,
                      kImageSize);
    opt.icon.paint(painter, image);
    const QRect title = titleRect(opt);
    painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    painter->setFont(opt.font);
    painter->drawText(title, Qt::AlignLeft | Qt::AlignVCenter,
                      zdTruncateString(opt.text, title.width(), painter->fontMetrics()));
    const QString subtitle = index.data(ZDItemRoles::Subtitle).toString();
    if (!subtitle.isEmpty()) {
        const QFont small = smallFont(opt.font);
        painter->setFont(small);
        const QVariant color = index.data(ZDItemRoles::SubtitleColor);
        painter->setPen(selected ? QColor(Qt::white)
                                 : (color.isValid() ? color.value<QColor>() : opt.palette.color(QPalette::PlaceholderText)));
        const QRect below(title.left(), title.bottom() + 1, title.width(), QFontMetrics(small).height());
        painter->drawText(below, Qt::AlignLeft | Qt::AlignVCenter,
                          zdTruncateString(subtitle, below.width(), QFontMetrics(small)));
    }
    painter->restore();
}

QRect ZDImageCheckDelegate::checkRect(const QStyleOptionViewItem &option)
{
    return QRect(option.rect.left() + kPadding, option.rect.top() + (option.rect.height() - 16) / 2, 16, 16);
}

QSize ZDImageCheckDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QSize size = ZDImageTextDelegate::sizeHint(option, index);
    size.setHeight(qMax(size.height(), option.fontMetrics.height() * 3 + 2 * kPadding));
    return size;
}

void ZDImageCheckDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const bool selected = opt.state & QStyle::State_Selected;
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    painter->save();
    if (selected)
        painter->fillRect(opt.rect, opt.palette.highlight());
    QStyleOptionButton check;
    check.rect = checkRect(opt);
    check.state = QStyle::State_Enabled
                  | (index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On : QStyle::State_Off);
    style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &check, painter, widget);
    const QRect image(check.rect.right() + kPadding, opt.rect.top() + (opt.rect.height() - kImageSize) / 2, kImageSize,
                      kImageSize);
    opt.icon.paint(painter, image);
    const int left = image.right() + kPadding;
    const int width = opt.rect.right() - kPadding - left;
    const QFontMetrics titleMetrics(opt.font);
    painter->setFont(opt.font);
    painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    QRect line(left, opt.rect.top() + kPadding, width, titleMetrics.height());
    painter->drawText(line, Qt::AlignLeft | Qt::AlignVCenter, zdTruncateString(opt.text, width, titleMetrics));
    const QFont small = smallFont(opt.font);
    const QFontMetrics smallMetrics(small);
    painter->setFont(small);
    painter->setPen(selected ? QColor(Qt::white) : QColor(Qt::gray));
    for (const int role : {int(ZDItemRoles::Subtitle), int(ZDItemRoles::Subtitle2)}) {
        line = QRect(left, line.bottom() + 1, width, smallMetrics.height());
        painter->drawText(line, Qt::AlignLeft | Qt::AlignVCenter,
                          zdTruncateString(index.data(role).toString(), width, smallMetrics));
    }
    painter->restore();
}

bool ZDImageCheckDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                       const QModelIndex &index)
{
    if (event->type() == QEvent::MouseButtonRelease && (index.flags() & Qt::ItemIsUserCheckable)) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton && checkRect(option).contains(mouse->position().toPoint())) {
            const bool on = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
            return model->setData(index, on ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
        }
    }
    return ZDImageTextDelegate::editorEvent(event, model, option, index);
}

// ---- the dark button ---------------------------------------------------------------

QString ZDDarkButton::styleSheet()
{
    return QStringLiteral(
        "QAbstractButton { color: #f2f2f2; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5a5a5a, "
        "stop:1 #3c3c3c); border: 1px solid #1e1e1e; border-radius: 4px; padding: 3px 12px; }"
        "QAbstractButton:hover, QAbstractButton:focus { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
        "stop:0 #6a6a6a, stop:1 #4a4a4a); border-color: #7d9bd1; }"
        "QAbstractButton:pressed, QAbstractButton:checked { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
        "stop:0 #2a2a2a, stop:1 #3a3a3a); }"
        "QAbstractButton:disabled { color: #8a8a8a; background: #3a3a3a; border-color: #2a2a2a; }");
}

void ZDDarkButton::apply(QAbstractButton *button)
{
    if (button)
        button->setStyleSheet(styleSheet());
}
