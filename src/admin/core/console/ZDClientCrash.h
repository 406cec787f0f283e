#pragma once
// An agent that crashed hands the name of its crash report to the first console
// that connects. This passes it on for the user to decide, and on request fetches
// the report's text, saves it in a private temporary folder (kept while this object
// lives) and starts the crash-report tool on it with the computer's name.
// Everything from the agent is untrusted: the name must be a usable log name, the
// text a string of bounded size.
#include "fleet/ZDService.h"

#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class ZDDiscovery;
class ZDDispatcher;

class ZDClientCrash : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype kMaxReportCharacters = 16 * 1024 * 1024;

    // Watches the computers the discovery has and every one it adds later. The
    // dispatcher must outlive the work started here: it runs on the global thread pool.
    ZDClientCrash(ZDDiscovery *discovery, ZDDispatcher *dispatcher, QObject *parent = nullptr);

    // On a worker thread; ends in reportOpened or reportFailed on this object's thread.
    void openReport(const ZDServicePtr &service, const QString &logName);

Q_SIGNALS:
    // The computer's agent crashed in its last run: ask the user, then openReport.
    void crashReported(const ZDServicePtr &service, const QString &computerName, const QString &logName);
    // The tool was started on this copy of the report.
    void reportOpened(const QString &computerName, const QString &file);
    // No text came back, it could not be saved, or no tool was found.
    void reportFailed(const QString &computerName);

private:
    void watch(const ZDServicePtr &service);
    void crashLogReceived(ZDService *service, const QString &logName);

    ZDDispatcher *m_dispatcher;
    std::shared_ptr<QTemporaryDir> m_folder;
};
