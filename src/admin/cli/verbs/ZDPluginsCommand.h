#pragma once
// `kestra plugins`: the plug-ins of the computers merged into one row per plug-in
// with a line per computer, and the verbs that bring them into line (sync), enable
// or disable them, or move them between all users and the current user.
class ZDCommandLine;

class ZDPluginsCommand
{
public:
    explicit ZDPluginsCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int run();

private:
    ZDCommandLine &m_cli;
};
