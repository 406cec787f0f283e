#include "ZDUninstallerDialogs.h"

#include <QPushButton>

namespace ZDUninstallerDialogs {

std::unique_ptr<QMessageBox> confirmation(QWidget *parent)
{
    auto box = std::make_unique<QMessageBox>(QMessageBox::Warning, QStringLiteral("Kestra Admin Uninstaller"),
                                             ZDUninstaller::confirmationText(), QMessageBox::NoButton, parent);
    box->setTextFormat(Qt::PlainText);
    QPushButton *cancel = box->addButton(QMessageBox::Cancel);
    box->addButton(QStringLiteral("Uninstall"), QMessageBox::DestructiveRole)->setObjectName(QStringLiteral("uninstall"));
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return box;
}

bool isUninstallChosen(const QMessageBox &box)
{
    return box.clickedButton() && box.clickedButton()->objectName() == QLatin1String("uninstall");
}

std::unique_ptr<QMessageBox> summary(const ZDUninstaller::Report &report, QWidget *parent)
{
    auto box = std::make_unique<QMessageBox>(report.complete() ? QMessageBox::Information : QMessageBox::Warning,
                                             QStringLiteral("Kestra Admin Uninstaller"),
                                             ZDUninstaller::summaryTitle(report), QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(ZDUninstaller::summaryText(report));
    return box;
}

} // namespace ZDUninstallerDialogs
