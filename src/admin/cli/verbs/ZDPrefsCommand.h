#pragma once
// `kestra prefs`: the preference backups of the computers, and the verbs that
// back up, restore, trash, lock and unlock kinds of preference files by key.
class ZDCommandLine;

class ZDPrefsCommand
{
public:
    explicit ZDPrefsCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int run();

private:
    int list();
    int restore();
    ZDCommandLine &m_cli;
};
