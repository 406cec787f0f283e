// KestraClientListener: the agent's settings program.
#include "Orvelle_Network_ClientPref.h"
#include "ZDClientPrefWindow.h"
#include "log/ZDCrashHandler.h"
#include "log/ZDLog.h"

#include <QApplication>

int main(int argc, char **argv)
{
    ZDCrashHandler::install(QStringLiteral("KestraClientListener"));
    QApplication app(argc, argv);
    ZDLog::createNewLog(QStringLiteral("KestraClientListener"));
    Orvelle_Network_ClientPref controller;
    ZDClientPrefWindow window(&controller);
    window.show();
    const int status = app.exec();
    ZDLog::finishWriting();
    return status;
}
