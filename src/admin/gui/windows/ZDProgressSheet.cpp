#include "windows/ZDProgressSheet.h"

#include "dispatch/ZDProgressState.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

ZDProgressSheet::ZDProgressSheet(ZDProgressState *state, QWidget *parent)
    : QDialog(parent), m_state(state), m_status(new QLabel(this)), m_bar(new QProgressBar(this)),
      m_cancel(new QPushButton(tr("Cancel"), this))
{
    setWindowTitle(tr("Progress"));
    setWindowModality(Qt::WindowModal);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setMinimumWidth(320);
    m_bar->setTextVisible(false);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_status);
    layout->addWidget(m_bar);
    layout->addLayout(buttons);
    connect(m_cancel, &QPushButton::clicked, m_state, &ZDProgressState::cancelProgress);
    connect(m_state, &ZDProgressState::changed, this, &ZDProgressSheet::update);
    connect(m_state, &ZDProgressState::shownChanged, this, [this](bool shown) {
        if (shown)
            open();
        else
            hide();
    });
    update();
}

void ZDProgressSheet::reject()
{
    m_state->cancelProgress();
}

void ZDProgressSheet::update()
{
    m_status->setText(m_state->status());
    if (m_state->isIndeterminate()) {
        m_bar->setRange(0, 0); // a busy bar
    } else {
        m_bar->setRange(0, m_state->maximum());
        m_bar->setValue(m_state->value());
    }
    m_cancel->setEnabled(m_state->isCancelEnabled());
}
