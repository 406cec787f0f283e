// A small program under an editing application's name that really crashes: it
// installs the suite's crash handler and dies of SIGSEGV, so the handler writes a
// real crash report ("Motion_<date>.crash" in the user's diagnostic reports).
// "--name NAME" crashes under another application's name.
#include "log/ZDCrashHandler.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

// Not inlined, so the crashed thread's top frame is this program; not checked by the
// undefined-behaviour sanitizer, so that the store really faults.
[[gnu::noinline, gnu::no_sanitize_undefined]] int touch(volatile int *where)
{
    *where = 1;
    return *where;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--name"));
    const QString name = at > 0 && at + 1 < args.size() ? args.at(at + 1) : QStringLiteral("Motion");
    if (!ZDCrashHandler::install(name)) {
        std::fprintf(stderr, "no crash report folder\n");
        return 73;
    }
    volatile int *nowhere = nullptr;
    return touch(nowhere);
}
