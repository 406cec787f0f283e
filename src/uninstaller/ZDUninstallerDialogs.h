#pragma once
// The uninstaller's two messages.
#include "ZDUninstaller.h"

#include <QMessageBox>

#include <memory>

namespace ZDUninstallerDialogs {
// "Cancel" is the default; accepted only by "Uninstall".
std::unique_ptr<QMessageBox> confirmation(QWidget *parent = nullptr);
bool isUninstallChosen(const QMessageBox &box);
std::unique_ptr<QMessageBox> summary(const ZDUninstaller::Report &report, QWidget *parent = nullptr);
} // namespace ZDUninstallerDialogs
