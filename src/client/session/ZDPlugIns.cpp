#include "session/ZDPlugIns.h"

#include "platform/ZDMainBundle.h"

#include <QFileInfo>

QString ZDPlugIns::path(const QString &fileName)
{
    QString contents = ZDMainBundle::bundlePath();
    contents = contents.isEmpty() ? QFileInfo(ZDMainBundle::executablePath()).absolutePath() + QStringLiteral("/..")
                                  : contents + QStringLiteral("/Contents");
    return contents + QStringLiteral("/PlugIns/") + fileName;
}
