#pragma once
// `kestra paths`: the application paths of the computers row by row, and the
// verbs that set or reset one path, reset all of them, or copy one computer's
// paths onto the others. Resetting all and copying ask first (unless --yes).
class ZDCommandLine;

class ZDPathsCommand
{
public:
    explicit ZDPathsCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int run();

private:
    ZDCommandLine &m_cli;
};
