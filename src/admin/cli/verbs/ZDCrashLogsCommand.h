#pragma once
// `kestra crashlogs`: the crash logs of the computers, fetched through the
// console's cache (only logs newer than each computer's last report are sent), with
// their statistics; `remove HOST FILE` moves one to that computer's Trash,
// `explain HOST FILE` prints its explanation as text. FILE is a name as listed.
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

class ZDCommandLine;
class ZDCrashLogController;
class ZDService;

class ZDCrashLogsCommand
{
public:
    explicit ZDCrashLogsCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int run();

private:
    int list();
    int remove();
    int explain();
    // The setup both per-log verbs share: the one computer named, a controller on the cache.
    int onOneLog(const std::function<void(ZDCrashLogController &, const std::shared_ptr<ZDService> &,
                                          const QVariantMap &log)> &work);
    ZDCommandLine &m_cli;
};
