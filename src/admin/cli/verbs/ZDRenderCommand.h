#pragma once
// `kestra render`: every computer's render jobs as rows named HOST:CLUSTER:JOB, the
// job actions (pause, resume, cancel) and the computers' sharing (on, off, reset).
class ZDCommandLine;

class ZDRenderCommand
{
public:
    explicit ZDRenderCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int run();

private:
    ZDCommandLine &m_cli;
};
