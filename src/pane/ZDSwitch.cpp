#include "ZDSwitch.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

ZDSwitch::ZDSwitch(QWidget *parent) : QAbstractButton(parent)
{
    setCheckable(false); // the value lives in m_on: QAbstractButton's own toggling would announce programmatic sets
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(tr("On/Off"));
    m_animation.setDuration(150);
    connect(&m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        m_offset = value.toReal();
        update();
    });
}

QSize ZDSwitch::sizeHint() const
{
    return {64, 26};
}

qreal ZDSwitch::knobTravel() const
{
    return std::max(0, width() - height());
}

void ZDSwitch::setOn(bool on, bool animated)
{
    m_on = on;
    setAccessibleDescription(on ? tr("On") : tr("Off"));
    moveKnobTo(restingOffset(on), animated);
}

void ZDSwitch::moveKnobTo(qreal offset, bool animated)
{
    m_animation.stop();
    if (animated && isVisible()) {
        m_animation.setStartValue(m_offset);
        m_animation.setEndValue(offset);
        m_animation.start();
    } else {
        m_offset = offset;
        update();
    }
}

void ZDSwitch::userSet(bool on)
{
    const bool changed = on != m_on;
    setOn(on, true);
    if (changed)
        Q_EMIT userToggled(on);
}

void ZDSwitch::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !isEnabled())
        return;
    m_pressed = true;
    m_dragged = false;
    m_pressX = event->position().toPoint().x();
    m_pressOffset = m_offset;
    update();
}

void ZDSwitch::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressed || !isEnabled())
        return;
    const int dx = event->position().toPoint().x() - m_pressX;
    if (!m_dragged && std::abs(dx) < 3)
        return;
    m_dragged = true;
    m_animation.stop();
    m_offset = std::clamp(m_pressOffset + dx, 0.0, knobTravel());
    update();
}

void ZDSwitch::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_pressed)
        return;
    m_pressed = false;
    if (!isEnabled()) {
        setOn(m_on);
        return;
    }
    // A drag decides by where the knob's centre ends; a click toggles.
    userSet(m_dragged ? m_offset + height() / 2.0 > width() / 2.0 : !m_on);
    m_dragged = false;
}

void ZDSwitch::keyPressEvent(QKeyEvent *event)
{
    if (!isEnabled())
        return QAbstractButton::keyPressEvent(event);
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        userSet(!m_on);
        break;
    case Qt::Key_Left:
        userSet(false);
        break;
    case Qt::Key_Right:
        userSet(true);
        break;
    default:
        QAbstractButton::keyPressEvent(event);
    }
}

void ZDSwitch::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::EnabledChange && !isEnabled() && m_pressed) {
        m_pressed = false;
        setOn(m_on); // a knob left mid-drag goes back where the value says
    }
    QAbstractButton::changeEvent(event);
}

void ZDSwitch::resizeEvent(QResizeEvent *event)
{
    QAbstractButton::resizeEvent(event);
    if (!m_pressed)
        moveKnobTo(restingOffset(m_on), false);
}

void ZDSwitch::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = track.height() / 2.0;
    const qreal fraction = knobTravel() > 0 ? m_offset / knobTravel() : (m_on ? 1.0 : 0.0);
    const QColor offColor = palette().color(QPalette::Mid);
    const QColor onColor = palette().color(QPalette::Highlight);
    QColor fill = offColor;
    fill.setRedF(offColor.redF() + (onColor.redF() - offColor.redF()) * fraction);
    fill.setGreenF(offColor.greenF() + (onColor.greenF() - offColor.greenF()) * fraction);
    fill.setBlueF(offColor.blueF() + (onColor.blueF() - offColor.blueF()) * fraction);
    if (!isEnabled())
        fill.setAlphaF(0.45);
    p.setPen(QPen(palette().color(QPalette::Dark), 1));
    p.setBrush(fill);
    p.drawRoundedRect(track, radius, radius);

    p.setPen(palette().color(QPalette::WindowText));
    QFont f = font();
    f.setBold(true);
    f.setPixelSize(std::max(8, int(height() * 0.4)));
    p.setFont(f);
    const QRectF left(track.left(), track.top(), width() - height(), track.height());
    const QRectF right(track.left() + height(), track.top(), width() - height(), track.height());
    if (m_on)
        p.drawText(left, Qt::AlignCenter, tr("ON"));
    else
        p.drawText(right, Qt::AlignCenter, tr("OFF"));

    const QRectF knob(m_offset + 2.0, 2.0, height() - 4.0, height() - 4.0);
    QColor knobColor = palette().color(QPalette::Button);
    if (m_pressed)
        knobColor = knobColor.darker(115);
    p.setPen(QPen(palette().color(QPalette::Shadow), 1));
    p.setBrush(isEnabled() ? knobColor : knobColor.lighter(110));
    p.drawEllipse(knob);
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1.5, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(track.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    }
}
