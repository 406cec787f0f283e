#pragma once
// A sliding on/off switch: a rounded track with a knob, clicked or dragged. Only the
// user's changes are announced (userToggled); setOn() from the program is silent, so
// observers can tell a decision from a status update.
#include <QAbstractButton>
#include <QVariantAnimation>

class ZDSwitch : public QAbstractButton
{
    Q_OBJECT

public:
    explicit ZDSwitch(QWidget *parent = nullptr);

    bool isOn() const { return m_on; }
    // Silent: observers of userToggled hear nothing.
    void setOn(bool on, bool animated = false);

    QSize sizeHint() const override;

Q_SIGNALS:
    // The user changed the value; emitted once per real change.
    void userToggled(bool on);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    qreal knobTravel() const;
    qreal restingOffset(bool on) const { return on ? knobTravel() : 0.0; }
    void moveKnobTo(qreal offset, bool animated);
    void userSet(bool on);

    bool m_on = false;
    bool m_pressed = false;
    bool m_dragged = false;
    int m_pressX = 0;
    qreal m_pressOffset = 0.0;
    qreal m_offset = 0.0; // knob's left edge from the track's left end
    QVariantAnimation m_animation;
};
