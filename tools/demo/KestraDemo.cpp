// Walks through the foundation in a sandbox: folders, a rotated log, a
// preferences file, a credential on its way to an agent and a tool run.
#include "log/ZDCrashHandler.h"
#include "rights/ZDEncryption.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "plist/ZDPropertyList.h"
#include "process/ZDTaskEx.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>

namespace {

void say(const QString &text)
{
    std::fprintf(stdout, "%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("KESTRA_SYSTEM_ROOT")) {
        say(QStringLiteral("usage: KESTRA_SYSTEM_ROOT=<sandbox folder> KestraDemo (scripts/demo.sh sets it up)"));
        return 2;
    }
    ZDCrashHandler::install();

    say(QStringLiteral("== Folders (system root %1)").arg(ZDLocalPaths::systemRoot()));
    say(QStringLiteral("  user preferences   %1").arg(ZDLocalPaths::prefsDirectory(true)));
    say(QStringLiteral("  local applications %1").arg(ZDLocalPaths::applicationDirectory(false)));
    say(QStringLiteral("  user logs          %1").arg(ZDLocalPaths::logDirectory(true)));
    say(QStringLiteral("  Trash              %1").arg(ZDLocalPaths::trashDirectory()));
    const QString console = ZDLocalPaths::currentConsoleUser();
    say(QStringLiteral("  console user       %1").arg(console.isEmpty() ? QStringLiteral("(nobody)") : console));

    say(QStringLiteral("== Log"));
    for (int run = 0; run < 3; ++run) {
        ZDLog::createNewLog(QStringLiteral("KestraDemo"));
        ZDLog::appendLog(QStringLiteral("Demo run %i of %i..."), run + 1, 3);
    }
    ZDLog::appendLogAndPrint(QStringLiteral("Progress at 100% (printed and logged as it stands)"));
    ZDLog::finishWriting();
    for (const QString &log : ZDLog::availableLogs())
        say(QStringLiteral("  %1 (%2 bytes)").arg(log).arg(QFileInfo(log).size()));

    say(QStringLiteral("== Preferences"));
    const QString prefs = ZDLocalPaths::prefsDirectory(true) + QStringLiteral("/com.zendrel.KestraClient.plist");
    QVariantMap settings = ZDPropertyList::readDictionary(prefs);
    settings.insert(QStringLiteral("customPort"), 35011);
    settings.insert(QStringLiteral("disableBonjour"), false);
    settings.insert(QStringLiteral("launches"), settings.value(QStringLiteral("launches")).toLongLong() + 1);
    ZDPropertyList::writeFile(prefs, settings);
    say(QStringLiteral("  %1 now holds %2 keys, launches = %3")
            .arg(prefs)
            .arg(ZDPropertyList::readDictionary(prefs).size())
            .arg(ZDPropertyList::readDictionary(prefs).value(QStringLiteral("launches")).toLongLong()));

    say(QStringLiteral("== Credential cipher"));
    const QByteArray wire = ZDEncryption::encryptCredential(QStringLiteral("s3cret"));
    say(QStringLiteral("  \"s3cret\" travels as %1 (%2 bytes), the agent reads \"%3\"")
            .arg(QString::fromLatin1(wire.toHex()))
            .arg(wire.size())
            .arg(ZDEncryption::decryptCredential(wire)));

    say(QStringLiteral("== Task runner"));
    say(QStringLiteral("  uname -sr: %1").arg(ZDTaskEx::stringFromTask(QStringLiteral("/bin/uname"), {QStringLiteral("-sr")}).trimmed()));
    const int code = ZDTaskEx::terminationCodeFromTask(QStringLiteral("/bin/sleep"), {QStringLiteral("5")}, std::chrono::seconds(1));
    say(QStringLiteral("  sleep 5 with a 1 s time-out ended with status %1 (SIGTERM)").arg(code));
    ZDLog::finishWriting();
    say(QStringLiteral("== Crash reports of this program would go to %1").arg(ZDCrashHandler::reportFolder()));
    say(QStringLiteral("== The log now reads:"));
    QFile current(ZDLog::availableLogs().value(0));
    if (current.open(QIODevice::ReadOnly))
        std::fputs(current.readAll().constData(), stdout);
    return 0;
}
