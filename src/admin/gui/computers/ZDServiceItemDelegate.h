#pragma once
// Draws a row of the computer list: the header in the group look, a group with
// its maintenance badge, a computer with its icon, its text in the state's
// colour and at the right the spinner, the spanner or the error image. A click
// on that right-hand image reports badgeClicked(); while the button is down on it
// the image (or a group's badge) is drawn pressed.
#include <QStyledItemDelegate>

class ZDServiceItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit ZDServiceItemDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

    // Where the right-hand image of a row goes.
    static QRect badgeRect(const QRect &rowRect);
    // Spinner phase, advanced by the view while a computer works.
    void setSpinnerPhase(int phase) { m_phase = phase; }

    static QImage spannerImage();
    static QImage errorImage();

    bool isPressed(const QModelIndex &index) const { return index.isValid() && index == m_pressed; }

Q_SIGNALS:
    void badgeClicked(const QModelIndex &index);
    // The row to redraw: its pressed look changed.
    void pressedChanged(const QModelIndex &index);

private:
    void paintSpinner(QPainter *painter, const QRect &rect, const QColor &color) const;
    void paintBadge(QPainter *painter, const QRect &rect, int count, bool selected, bool pressed) const;
    static bool hasBadgeImage(const QModelIndex &index);
    void setPressed(const QModelIndex &index);
    int m_phase = 0;
    QPersistentModelIndex m_pressed;
};
