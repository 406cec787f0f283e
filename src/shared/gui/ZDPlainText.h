#pragma once
// Text from the network is never markup on screen. Labels, message boxes and tool
// tips guess rich text by default: an <img> pointing at a device file freezes the
// window, markup in a computer's name reshapes a sheet. enforce() makes every label
// of the application (the labels inside message boxes included) plain text before it
// is first shown, so that a new widget cannot forget it; and it shows every tool
// tip of the application (a widget's, an item's, a header's, a menu action's, a
// tab's) as plain text, whoever set it.
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QTabBar>
#include <QToolTip>
#include <QObject>
#include <QTextDocument>
#include <QVariant>
#include <QWidget>

namespace ZDPlainText {

inline constexpr const char *kRichTextProperty = "zdRichText";

// A label whose own constant text is markup on purpose.
inline void allowRichText(QLabel *label)
{
    label->setProperty(kRichTextProperty, true);
    label->setTextFormat(Qt::RichText);
}

// Text for QToolTip::showText called directly, which no filter sees.
inline QString toolTip(const QString &text)
{
    return Qt::convertFromPlainText(text);
}

// The tool tip a help event at `pos` of `widget` asks for, and the area it belongs to.
// Empty text with `handled` false: none here, the parent's is asked next.
inline QString toolTipAt(QWidget *widget, const QPoint &pos, QRect *area, bool *handled)
{
    *handled = true;
    if (auto *header = qobject_cast<QHeaderView *>(widget->parentWidget()); header && header->viewport() == widget) {
        const int section = header->logicalIndexAt(pos);
        return section < 0 || !header->model()
            ? QString()
            : header->model()->headerData(section, header->orientation(), Qt::ToolTipRole).toString();
    }
    if (auto *view = qobject_cast<QAbstractItemView *>(widget->parentWidget()); view && view->viewport() == widget) {
        const QModelIndex index = view->indexAt(pos);
        *area = view->visualRect(index);
        return index.data(Qt::ToolTipRole).toString();
    }
    if (auto *menu = qobject_cast<QMenu *>(widget)) {
        const QAction *action = menu->actionAt(pos);
        // A menu shows an action's tool tip only when it differs from the action's text.
        return action && action->toolTip() != action->iconText() ? action->toolTip() : QString();
    }
    if (auto *tabs = qobject_cast<QTabBar *>(widget)) {
        const int tab = tabs->tabAt(pos);
        if (tab >= 0 && !tabs->tabToolTip(tab).isEmpty()) {
            *area = tabs->tabRect(tab);
            return tabs->tabToolTip(tab);
        }
    }
    *handled = !widget->toolTip().isEmpty();
    return widget->toolTip();
}

// Shows a help event's tool tip as plain text; false when the widget has none and its parent is to be asked.
inline bool showPlainToolTip(QWidget *widget, QHelpEvent *help)
{
    QRect area;
    bool handled = false;
    const QString text = toolTipAt(widget, help->pos(), &area, &handled);
    if (!handled)
        return false;
    if (text.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal), widget, area,
                           widget->toolTipDuration());
    return true;
}

inline void makePlain(QLabel *label)
{
    // The tool tip's own label shows what toolTip() escaped.
    if (label->objectName() == QLatin1String("qtooltip_label"))
        return;
    if (!label->property(kRichTextProperty).toBool() && label->textFormat() != Qt::PlainText)
        label->setTextFormat(Qt::PlainText);
}

// root and every label below it.
inline void makePlain(QWidget *root)
{
    if (auto *label = qobject_cast<QLabel *>(root))
        makePlain(label);
    for (QLabel *label : root->findChildren<QLabel *>())
        makePlain(label);
}

class Enforcer : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Polish) {
            if (auto *label = qobject_cast<QLabel *>(watched))
                makePlain(label);
        }
        if (event->type() == QEvent::ToolTip && watched->isWidgetType())
            return showPlainToolTip(static_cast<QWidget *>(watched), static_cast<QHelpEvent *>(event));
        return false;
    }
};

// For the whole application, from now on; once is enough, more is harmless.
inline void enforce()
{
    static constexpr auto kName = "zdPlainTextEnforcer";
    QCoreApplication *app = QCoreApplication::instance();
    // Found by name: Enforcer has no meta-object of its own to be cast by.
    if (!app || app->findChild<QObject *>(QLatin1String(kName), Qt::FindDirectChildrenOnly))
        return;
    auto *enforcer = new Enforcer(app);
    enforcer->setObjectName(QLatin1String(kName));
    app->installEventFilter(enforcer);
}

} // namespace ZDPlainText
