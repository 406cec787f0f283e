#include "ZDUpdaterWindow.h"

#include "files/ZDFileManager.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {
constexpr int kSteps = 1000;
}

ZDUpdaterWindow::ZDUpdaterWindow(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), m_status(new QLabel(this)), m_bytes(new QLabel(this)),
      m_bar(new QProgressBar(this)), m_cancel(new QPushButton(QStringLiteral("Cancel"), this))
{
    setWindowTitle(QStringLiteral("Software Update"));
    for (QLabel *label : {m_status, m_bytes})
        label->setTextFormat(Qt::PlainText);
    m_bytes->hide();
    m_bar->setTextVisible(false);
    setIndeterminate();
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_bytes);
    bottom->addStretch();
    bottom->addWidget(m_cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_status);
    layout->addWidget(m_bar);
    layout->addLayout(bottom);
    setMinimumWidth(420);
    connect(m_cancel, &QPushButton::clicked, this, [this] {
        if (confirmCancel())
            Q_EMIT cancelRequested();
    });
}

void ZDUpdaterWindow::setStatus(const QString &text)
{
    m_status->setText(text);
}

void ZDUpdaterWindow::setProgress(qint64 received, qint64 total)
{
    if (total <= 0)
        return setIndeterminate();
    m_bar->setRange(0, kSteps);
    m_bar->setValue(int(std::clamp<qint64>(received * kSteps / total, 0, kSteps)));
    m_bytes->setText(QStringLiteral("%1 / %2").arg(ZDFileManager::formatFileSize(double(received)),
                                                   ZDFileManager::formatFileSize(double(total))));
    m_bytes->show();
}

void ZDUpdaterWindow::setIndeterminate()
{
    m_bar->setRange(0, 0);
    hideSizeText();
}

void ZDUpdaterWindow::hideSizeText()
{
    m_bytes->hide();
}

bool ZDUpdaterWindow::confirmCancel()
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Are you sure you wish to cancel?"),
                    QStringLiteral("Are you sure you wish to cancel?"), QMessageBox::NoButton, this);
    box.setInformativeText(QStringLiteral("This update will not be installed."));
    QPushButton *yes = box.addButton(QStringLiteral("Yes"), QMessageBox::YesRole);
    box.setDefaultButton(box.addButton(QStringLiteral("No"), QMessageBox::NoRole));
    box.exec();
    return box.clickedButton() == yes;
}
