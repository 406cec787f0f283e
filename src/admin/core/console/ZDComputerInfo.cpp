#include "console/ZDComputerInfo.h"

#include "dispatch/ZDErrorCallback.h"
#include "platform/ZDFormat.h"

#include <QStringList>

#include <algorithm>

namespace {

QString textOf(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString().left(ZDComputerInfo::kMaxValueLength);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Bool:
        return value.toString();
    default:
        return QString();
    }
}

} // namespace

QString ZDComputerInfo::title(const QString &name)
{
    return zdFormat(QStringLiteral("Info for %@"), name);
}

QString ZDComputerInfo::addressText(const QString &ip, int port)
{
    if (ip.isEmpty())
        return QString();
    return zdFormat(QStringLiteral("%@:%i"), ip, port);
}

QString ZDComputerInfo::versionText(const QVariantMap &configDict)
{
    QString text;
    const QString versionString = textOf(configDict.value(QStringLiteral("versionString")));
    if (!versionString.isEmpty())
        text += zdFormat(QStringLiteral("Client version: %@ (%@)\n"), versionString,
                         textOf(configDict.value(QStringLiteral("version"))));
    else
        text += QStringLiteral("Client version: Unknown\n");
    const QString orvString = textOf(configDict.value(QStringLiteral("orvVersionString")));
    if (!orvString.isEmpty())
        text += zdFormat(QStringLiteral("Kestra Maintenance Tools version: %@ (%@)\n"), orvString,
                         textOf(configDict.value(QStringLiteral("orvVersion"))));
    else
        text += QStringLiteral("Kestra Maintenance Tools is not installed\n\n");
    return text;
}

QString ZDComputerInfo::specsText(const QVariant &systemSpecs)
{
    if (systemSpecs.typeId() != QMetaType::QVariantMap)
        return QString();
    const QVariantMap specs = systemSpecs.toMap();
    QStringList keys = specs.keys();
    std::stable_sort(keys.begin(), keys.end(),
                     [](const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    QString text;
    int lines = 0;
    for (const QString &key : std::as_const(keys)) {
        const QString value = textOf(specs.value(key));
        if (value.isEmpty())
            continue;
        if (++lines > kMaxSpecLines)
            break;
        text += zdFormat(QStringLiteral("%@: %@\n"), key.left(kMaxValueLength), value);
    }
    return text;
}

QString ZDComputerInfo::stateText(bool connected, int errorCode)
{
    QString text = connected ? QStringLiteral("Connected") : QStringLiteral("Not connected");
    if (errorCode != 0)
        text += QStringLiteral(" - ") + ZDErrorCallback::descriptionForCode(errorCode);
    return text;
}
