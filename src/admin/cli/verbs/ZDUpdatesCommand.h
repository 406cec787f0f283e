#pragma once
// `kestra updates`: the computers' available software updates merged into one row
// per product with a line per computer; `updates install [PRODUCT...]` installs the
// chosen products (all automatic ones by default), one product at a time, waiting
// for each computer's finished notice.
class ZDCommandLine;

class ZDUpdatesCommand
{
public:
    explicit ZDUpdatesCommand(ZDCommandLine &cli) : m_cli(cli) {}
    int run();

private:
    ZDCommandLine &m_cli;
};
