#pragma once
// `kestra apps`: the editing applications and the maker's tools per computer
// (installed, running, version), opening, quitting and force quitting them; and
// the tool runs: `clean`, `remove-group`, `caches` and `repair`.
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
    ZDCommandLine &m_cli;
};
