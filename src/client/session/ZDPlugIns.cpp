#include "session/ZDPlugIns.h"

#include "platform/ZDMainBundle.h"

#include <QFileInfo>
#include <QLibrary>

QString ZDPlugIns::path(const QString &fileName)
{
    QString contents = ZDMainBundle::bundlePath();
    contents = contents.isEmpty() ? QFileInfo(ZDMainBundle::executablePath()).absolutePath() + QStringLiteral("/..")
                                  : contents + QStringLiteral("/Contents");
    return contents + QStringLiteral("/PlugIns/") + fileName;
}

QFunctionPointer ZDPlugIns::entry(const QString &fileName, const char *name, QString *error)
{
    QLibrary library(path(fileName));
    const QFunctionPointer found = library.load() ? library.resolve(name) : nullptr;
    if (!found && error)
        *error = library.errorString();
    return found;
}
