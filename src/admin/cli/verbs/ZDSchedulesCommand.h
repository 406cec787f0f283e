#pragma once
// `kestra schedules`: the computers' scheduled tasks merged into one row per task
// with a line per computer, and the verbs that add, remove, enable, disable or
// bring them into line (sync: the values most computers share).
class ZDCommandLine;

class ZDSchedulesCommand
{
public:
    explicit ZDSchedulesCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int run();

private:
    ZDCommandLine &m_cli;
};
