#pragma once
// `kestra apps`: the editing applications and the maker's tools per computer
// (installed, running, version), opening, quitting and force quitting them; and
// the tool runs: `clean`, `remove-group`, `caches` and `repair`.
#include "dispatch/ZDDispatcher.h"
#include "features/apps/ZDMaintenanceRuns.h"

#include <functional>

class ZDCommandLine;

class ZDAppsCommand
{
public:
    explicit ZDAppsCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int apps();
    int clean();
    int removeGroup();
    int caches();
    int repair();

private:
    // A tool run on the computers off the main thread; the errors they reported and
    // the run's failures count as failures.
    ZDMaintenanceRuns::Report runTool(const ZDDispatcher::ServiceList &services,
                                      const std::function<ZDMaintenanceRuns::Report(ZDMaintenanceRuns &)> &work);

    ZDCommandLine &m_cli;
};
