// ZDUpdater: replaces an application from a signed archive, then opens it again.
//   ZDUpdater -app PATH -url URL
#include "log/ZDCrashHandler.h"
#include "files/ZDFileTree.h"
#include "log/ZDLog.h"
#include "platform/ZDMainBundle.h"
#include "ZDPlainText.h"
#include "process/ZDQuitSignals.h"
#include "ZDUpdater.h"
#include "ZDUpdaterWindow.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

namespace {
// Shown without blocking; the program ends once it is answered.
void alert(QApplication &app, QWidget *parent, const QString &title, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, title, title, QMessageBox::Ok, parent);
    box->setInformativeText(text);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, &app, &QApplication::quit);
    box->open();
}

// The console starts a copy of the updater from a private folder of its own: it goes with us.
void removeOwnCopy()
{
    const QFileInfo folder(QFileInfo(ZDMainBundle::bundlePath()).absolutePath());
    if (folder.fileName().startsWith(QLatin1String(ZDUpdater::kCopyFolderPrefix))
        && QFileInfo(folder.absolutePath()).canonicalFilePath() == QFileInfo(QDir::tempPath()).canonicalFilePath())
        ZDFileTree::remove(folder.absoluteFilePath());
}
} // namespace

int main(int argc, char **argv)
{
    ZDCrashHandler::install(QStringLiteral("ZDUpdater"));
    QApplication app(argc, argv);
    ZDLog::createNewLog(QStringLiteral("ZDUpdater"));
    ZDPlainText::enforce();
    ZDQuitSignals::install(app);
    const auto arguments = ZDUpdater::parse(app.arguments());
    bool installed = false;
    QString reopen;
    if (!arguments) {
        ZDLog::appendLog(QStringLiteral("Error - Invalid arguments."));
        alert(app, nullptr, QStringLiteral("Error"), QStringLiteral("Invalid arguments."));
        app.exec();
        const QStringList given = app.arguments();
        const qsizetype at = given.indexOf(QStringLiteral("-app"));
        if (at > 0 && at + 1 < given.size())
            reopen = given.at(at + 1);
    } else {
        ZDUpdaterWindow window;
        ZDUpdater updater(*arguments);
        bool alerted = false;
        QObject::connect(&updater, &ZDUpdater::statusChanged, &window, &ZDUpdaterWindow::setStatus);
        QObject::connect(&updater, &ZDUpdater::progressChanged, &window, &ZDUpdaterWindow::setProgress);
        QObject::connect(&updater, &ZDUpdater::indeterminate, &window, &ZDUpdaterWindow::setIndeterminate);
        QObject::connect(&updater, &ZDUpdater::downloadFinished, &window, &ZDUpdaterWindow::hideSizeText);
        QObject::connect(&updater, &ZDUpdater::failed, &window, [&](const QString &title, const QString &text) {
            alerted = true;
            alert(app, &window, title, text);
        });
        QObject::connect(&updater, &ZDUpdater::finished, &window, [&](bool done) {
            installed = done;
            if (!alerted)
                app.quit();
        });
        QObject::connect(&window, &ZDUpdaterWindow::cancelRequested, &window, [&] {
            updater.cancel();
            app.quit();
        });
        window.show();
        window.raise();
        window.activateWindow();
        updater.start();
        app.exec();
        updater.wait(); // a download still running ends; a swap begun completes
        reopen = updater.reopenPath();
    }
    if (!reopen.isEmpty() && !ZDUpdater::open(reopen))
        ZDLog::appendLog(QStringLiteral("Unable to open %@"), reopen);
    removeOwnCopy();
    ZDLog::finishWriting();
    return installed ? 0 : 1;
}
