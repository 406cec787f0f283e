#pragma once
// `kestra crashlogs`: the crash logs of the computers, fetched through the
// console's cache (only logs newer than each computer's last report are sent), with
// their statistics; `remove HOST FILE` moves one to that computer's Trash,
// `explain HOST FILE` prints its explanation.
class ZDCommandLine;

class ZDCrashLogsCommand
{
public:
    explicit ZDCrashLogsCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int run();

private:
    int list();
    int remove();
    int explain();
    ZDCommandLine &m_cli;
};
