#pragma once
// `kestra sysinfo`: each computer's hardware and system summary; `kestra diff`:
// the Difference Finder between the working and the failing computers named.
#include <QString>
#include <QStringList>

class ZDCommandLine;

class ZDSysinfoCommand
{
public:
    explicit ZDSysinfoCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int run();

private:
    int sysinfo();
    int diff();
    ZDCommandLine &m_cli;
};
