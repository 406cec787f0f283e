#include "computers/ZDServiceItemDelegate.h"

#include "fleet/ZDServiceOutline.h"
#include "computers/ZDServiceOutlineModel.h"

#include <QApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

using State = ZDServiceOutline::RowState;

ZDServiceItemDelegate::ZDServiceItemDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

QRect ZDServiceItemDelegate::badgeRect(const QRect &rowRect)
{
    const int side = 16;
    return QRect(rowRect.right() - side - 6, rowRect.top() + (rowRect.height() - side) / 2, side, side);
}

QImage ZDServiceItemDelegate::spannerImage()
{
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xE0, 0x8A, 0x00));
    p.drawEllipse(QRectF(1, 1, 30, 30));
    // The spanner: a handle and an open jaw.
    p.setPen(QPen(Qt::white, 4.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 22), QPointF(18.5, 13.5));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(20.5, 11.5), 5.5, 5.5);
    p.setBrush(QColor(0xE0, 0x8A, 0x00));
    p.drawRect(QRectF(20, 5.5, 4, 6).translated(0.5, 0));
    return image;
}

QImage ZDServiceItemDelegate::errorImage()
{
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xD0, 0x2B, 0x2B));
    p.drawEllipse(QRectF(1, 1, 30, 30));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(14, 6, 4, 13), 2, 2);
    p.drawEllipse(QRectF(14, 21.5, 4, 4));
    return image;
}

QSize ZDServiceItemDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(qMax(size.height(), 22));
    return size;
}

void ZDServiceItemDelegate::paintSpinner(QPainter *painter, const QRect &rect, const QColor &color) const
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QPointF c = QRectF(rect).center();
    for (int i = 0; i < 12; ++i) {
        QColor spoke = color;
        spoke.setAlphaF(0.15 + 0.85 * (((i + m_phase) % 12) / 11.0));
        painter->setPen(QPen(spoke, 2, Qt::SolidLine, Qt::RoundCap));
        const double angle = i * 30.0 * M_PI / 180.0;
        painter->drawLine(QPointF(c.x() + 3.5 * std::cos(angle), c.y() + 3.5 * std::sin(angle)),
                          QPointF(c.x() + 7 * std::cos(angle), c.y() + 7 * std::sin(angle)));
    }
    painter->restore();
}

void ZDServiceItemDelegate::paintBadge(QPainter *painter, const QRect &rowRect, int count, bool selected,
                                       bool pressed) const
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    QFont font = painter->font();
    font.setBold(true);
    font.setPointSizeF(qMax(7.0, font.pointSizeF() * 0.85));
    painter->setFont(font);
    const QString text = QString::number(count);
    const int width = qMax(20, painter->fontMetrics().horizontalAdvance(text) + 12);
    const QRect pill(rowRect.right() - width - 6, rowRect.top() + (rowRect.height() - 16) / 2, width, 16);
    painter->setPen(Qt::NoPen);
    painter->setBrush(selected ? QColor(Qt::white)
                               : (pressed ? QColor::fromRgbF(0.51f, 0.58f, 0.72f) : QColor::fromRgbF(0.53f, 0.60f, 0.74f)));
    painter->drawRoundedRect(pill, 8, 8);
    painter->setPen(selected ? QApplication::palette().color(QPalette::Highlight) : QColor(Qt::white));
    painter->drawText(pill, Qt::AlignCenter, text);
    painter->restore();
}

void ZDServiceItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const auto kind = ZDServiceOutlineModel::Kind(index.data(ZDServiceOutlineModel::KindRole).toInt());
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const bool selected = opt.state & QStyle::State_Selected;
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();

    if (kind == ZDServiceOutlineModel::HeaderKind || kind == ZDServiceOutlineModel::GroupKind) {
        opt.font.setBold(true);
        if (kind == ZDServiceOutlineModel::HeaderKind) {
            opt.font.setPointSizeF(qMax(7.0, opt.font.pointSizeF() * 0.85));
            opt.palette.setColor(QPalette::Text, opt.palette.color(QPalette::PlaceholderText));
        }
        const int badge = index.data(ZDServiceOutlineModel::BadgeCountRole).toInt();
        if (badge > 0)
            opt.rect.setRight(opt.rect.right() - 32);
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
        if (badge > 0)
            paintBadge(painter, option.rect, badge, selected, isPressed(index));
        return;
    }

    const auto state = State(index.data(ZDServiceOutlineModel::RowStateRole).toInt());
    const bool connected = index.data(ZDServiceOutlineModel::ConnectedRole).toBool();
    const bool hasError = state == State::NotConnected || state == State::Error || (state == State::Working && !connected);
    const QPalette::ColorRole textRole = selected ? QPalette::HighlightedText : QPalette::Text;
    if (state == State::Disabled) {
        opt.palette.setColor(textRole, opt.palette.color(QPalette::Disabled, QPalette::Text));
    } else if (hasError && !selected) {
        opt.palette.setColor(QPalette::Text, QColor(0xC0, 0x1C, 0x1C));
    }
    opt.rect.setRight(opt.rect.right() - 26);
    // The selection band spans the whole row, the text stops before the image.
    QStyleOptionViewItem band = option;
    band.text.clear();
    band.icon = QIcon();
    band.features &= ~QStyleOptionViewItem::HasDisplay;
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &band, painter, widget);
    opt.state &= ~QStyle::State_HasFocus;
    QStyleOptionViewItem content = opt;
    content.backgroundBrush = Qt::NoBrush;
    content.state &= ~QStyle::State_Selected;
    if (selected)
        content.palette.setColor(QPalette::Text, opt.palette.color(textRole));
    style->drawControl(QStyle::CE_ItemViewItem, &content, painter, widget);

    const QRect right = badgeRect(option.rect);
    painter->save();
    if (isPressed(index))
        painter->setOpacity(0.55); // the image's pressed look
    switch (state) {
    case State::Working:
        paintSpinner(painter, right, selected ? opt.palette.color(QPalette::HighlightedText) : QColor(0x55, 0x55, 0x55));
        break;
    case State::Maintenance:
        painter->drawImage(right, spannerImage());
        break;
    case State::NotConnected:
    case State::Error:
        painter->drawImage(right, errorImage());
        break;
    default:
        break;
    }
    painter->restore();
}

bool ZDServiceItemDelegate::hasBadgeImage(const QModelIndex &index)
{
    const auto kind = index.data(ZDServiceOutlineModel::KindRole).toInt();
    if (kind == ZDServiceOutlineModel::GroupKind)
        return index.data(ZDServiceOutlineModel::BadgeCountRole).toInt() > 0;
    const auto state = State(index.data(ZDServiceOutlineModel::RowStateRole).toInt());
    return kind == ZDServiceOutlineModel::ServiceKind
           && (state == State::Maintenance || state == State::NotConnected || state == State::Error);
}

void ZDServiceItemDelegate::setPressed(const QModelIndex &index)
{
    if (QModelIndex(m_pressed) == index)
        return;
    const QModelIndex previous = m_pressed;
    m_pressed = index;
    if (previous.isValid())
        Q_EMIT pressedChanged(previous);
    if (index.isValid())
        Q_EMIT pressedChanged(index);
}

bool ZDServiceItemDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                        const QModelIndex &index)
{
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const bool onImage = mouse->button() == Qt::LeftButton && hasBadgeImage(index)
                             && badgeRect(option.rect).adjusted(-2, -2, 2, 2).contains(mouse->position().toPoint());
        if (event->type() == QEvent::MouseButtonPress) {
            setPressed(onImage ? index : QModelIndex());
        } else {
            setPressed(QModelIndex());
            if (onImage && index.data(ZDServiceOutlineModel::KindRole).toInt() == ZDServiceOutlineModel::ServiceKind) {
                Q_EMIT badgeClicked(index);
                return true;
            }
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}
