#pragma once
// The list pieces the console's panels share: an outline and a table view that
// offer keys to their owner and bind characters to the owner's slots, select the
// row under a right click before their menu opens; item delegates for an indented
// title, an image with a title and a subtitle, and an image with a check box and
// two subtitles; and the dark button look.
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTreeView>

#include <functional>

class QAbstractButton;
class QMenu;

namespace ZDItemSort {
// Keeps a list's sort in the console's settings under prefix ("SortedColumn",
// "SortedDescending"): the stored sort (or its default) is applied now, and each
// header click is stored. columnKeys: each column's identifier, in column order.
void keep(QTreeView *view, const QString &prefix, const QString &settingsPath, const QStringList &columnKeys);
void keep(QTableView *view, const QString &prefix, const QString &settingsPath, const QStringList &columnKeys);
} // namespace ZDItemSort

namespace ZDItemRoles {
enum : int {
    Subtitle = Qt::UserRole + 100,
    SubtitleColor,
    Subtitle2,
};
}

// Characters bound to slots (without arguments) of a receiver.
class ZDWatchKeys
{
public:
    void addWatchKeys(const QString &characters, const QByteArray &slot, QObject *receiver);
    // Runs the first bound slot of key that exists; a missing one is logged
    // ("Selector %@ doesn't exist") and the search goes on. True when one ran.
    bool perform(QChar key) const;

private:
    struct Entry
    {
        QChar key;
        QByteArray slot;
        QPointer<QObject> receiver;
    };
    QList<Entry> m_entries;
};

// The key handling both views share: while no editor is open a key goes first to
// the owner's handler (false: ordinary handling), then to the watch keys, then,
// without a handler, to the ordinary handling.
template <typename Base>
class ZDKeyForwardingView : public Base
{
public:
    using KeyHandler = std::function<bool(QKeyEvent *)>;
    using Base::Base;

    void setKeyHandlers(KeyHandler down, KeyHandler up = {})
    {
        m_keyDown = std::move(down);
        m_keyUp = std::move(up);
    }
    void addWatchKeys(const QString &characters, const QByteArray &slot, QObject *receiver)
    {
        m_watchKeys.addWatchKeys(characters, slot, receiver);
    }
    // The menu a right click opens, after selecting the row under the mouse alone.
    void setRowMenu(QMenu *menu) { m_menu = menu; }

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    KeyHandler m_keyDown;
    KeyHandler m_keyUp;
    ZDWatchKeys m_watchKeys;
    QPointer<QMenu> m_menu;
};

class ZDOutlineView : public ZDKeyForwardingView<QTreeView>
{
    Q_OBJECT
public:
    explicit ZDOutlineView(QWidget *parent = nullptr);
};

class ZDTableView : public ZDKeyForwardingView<QTableView>
{
    Q_OBJECT
public:
    explicit ZDTableView(QWidget *parent = nullptr);
};

// text cut to fit width, ending in "..." when cut.
QString zdTruncateString(const QString &text, int width, const QFontMetrics &metrics);

// A title drawn moved left by its indentation and narrowed by as much.
class ZDOutlineTitleDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit ZDOutlineTitleDelegate(qreal indentation, QObject *parent = nullptr);
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    qreal m_indentation;
};

// Background (Qt::BackgroundRole), the image at the left, the title and under it
// the subtitle in the small label font and its colour (white in a selected row).
class ZDImageTextDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    // Editing uses the title's place only.
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    static QRect titleRect(const QStyleOptionViewItem &option);
};

// A check box (Qt::CheckStateRole), the image, the title and two subtitle lines,
// grey (white when selected), every text cut to its width.
class ZDImageCheckDelegate : public ZDImageTextDelegate
{
    Q_OBJECT
public:
    using ZDImageTextDelegate::ZDImageTextDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;
    static QRect checkRect(const QStyleOptionViewItem &option);
};

// One fixed dark colour set for normal, pushed, highlighted and disabled buttons.
namespace ZDDarkButton {
QString styleSheet();
void apply(QAbstractButton *button);
}
