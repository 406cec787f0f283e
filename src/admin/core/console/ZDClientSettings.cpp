#include "console/ZDClientSettings.h"

#include "dispatch/ZDAggregation.h"

QStringList ZDClientSettings::keys()
{
    return {QString::fromLatin1(kAutoUpdateCheck), QString::fromLatin1(kGlobalUpdateCheck),
            QString::fromLatin1(kShowMenuBarIcon), QString::fromLatin1(kEnableMaintenanceRequests)};
}

ZDClientSettings ZDClientSettings::merged(const QVariantMap &answers)
{
    ZDClientSettings result;
    for (const QString &key : keys()) {
        QVariantList values;
        for (const QVariant &answer : answers) {
            if (answer.typeId() != QMetaType::QVariantMap)
                continue;
            const QVariant value = answer.toMap().value(key);
            if (!ZDAggregation::isNumber(value))
                continue;
            const double d = value.toDouble();
            const qint64 n = ZDAggregation::integerValue(value);
            if (double(n) == d && (n == 0 || n == 1))
                values << QVariantMap{{key, int(n)}};
        }
        if (values.isEmpty()) {
            result.setState(key, kUnknown);
            continue;
        }
        const QVariant merged = ZDAggregation::aggregatedValueForKey(key, values);
        result.setState(key, merged.isValid() ? int(merged.toLongLong()) : kMixed);
    }
    return result;
}

int ZDClientSettings::state(const QString &key) const
{
    return m_states.value(key, kUnknown).toInt();
}

void ZDClientSettings::setState(const QString &key, int state)
{
    if (state != 0 && state != 1 && state != kMixed)
        state = kUnknown;
    m_states.insert(key, state);
}

bool ZDClientSettings::maintenanceEnabled() const
{
    const int menuBar = state(QString::fromLatin1(kShowMenuBarIcon));
    return menuBar == 1 || menuBar == kMixed;
}

int ZDClientSettings::toggle(const QString &key)
{
    const int current = state(key);
    const int next = current == 0 ? 1 : (current == 1 ? 0 : 1);
    setState(key, next);
    return next;
}

QVariantMap ZDClientSettings::settingsToSend() const
{
    QVariantMap out;
    for (const QString &key : keys()) {
        const int s = state(key);
        out.insert(key, (s == 0 || s == 1) ? s : kMixed);
    }
    return out;
}
