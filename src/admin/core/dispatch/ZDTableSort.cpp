#include "dispatch/ZDTableSort.h"

#include "console/ZDAdminDefaults.h"
#include "console/ZDAdminSettings.h"

#include <QCollator>
#include <QDateTime>

#include <algorithm>

namespace {

// <0, 0, >0; both values present.
int compareValues(const QVariant &a, const QVariant &b, const QCollator &collator)
{
    const auto isNumber = [](const QVariant &v) {
        switch (v.typeId()) {
        case QMetaType::Int: case QMetaType::UInt: case QMetaType::LongLong: case QMetaType::ULongLong:
        case QMetaType::Double: case QMetaType::Bool:
            return true;
        default:
            return false;
        }
    };
    if (a.typeId() == QMetaType::QDateTime && b.typeId() == QMetaType::QDateTime) {
        const QDateTime x = a.toDateTime(), y = b.toDateTime();
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    if (isNumber(a) && isNumber(b)) {
        const double x = a.toDouble(), y = b.toDouble();
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    return collator.compare(a.toString(), b.toString());
}

} // namespace

ZDTableSort::ZDTableSort(QString prefix, QString settingsPath, QString secondColumn)
    : m_prefix(std::move(prefix)), m_settingsPath(std::move(settingsPath)), m_secondColumn(std::move(secondColumn))
{
}

QString ZDTableSort::column() const
{
    const auto settings = ZDAdminSettings::open(m_settingsPath);
    const QString stored = ZDAdminDefaults::value(*settings, key("SortedColumn")).toString();
    return stored.isEmpty() ? m_secondColumn : stored;
}

bool ZDTableSort::descending() const
{
    const auto settings = ZDAdminSettings::open(m_settingsPath);
    return ZDAdminDefaults::boolValue(*settings, key("SortedDescending"), false);
}

void ZDTableSort::clickColumn(const QString &id)
{
    const bool reverse = id == column();
    const bool nextDescending = reverse ? !descending() : false;
    const auto settings = ZDAdminSettings::open(m_settingsPath);
    settings->setValue(key("SortedColumn"), id);
    settings->setValue(key("SortedDescending"), nextDescending);
    settings->sync();
}

void ZDTableSort::store(const QString &id, bool descending)
{
    const auto settings = ZDAdminSettings::open(m_settingsPath);
    settings->setValue(key("SortedColumn"), id);
    settings->setValue(key("SortedDescending"), descending);
    settings->sync();
}

QVariantList ZDTableSort::sorted(QVariantList rows, const QString &key, bool descending)
{
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    std::stable_sort(rows.begin(), rows.end(), [&](const QVariant &left, const QVariant &right) {
        const QVariant a = left.toMap().value(key);
        const QVariant b = right.toMap().value(key);
        if (!a.isValid() || !b.isValid())
            return a.isValid() && !b.isValid();
        const int order = compareValues(a, b, collator);
        return descending ? order > 0 : order < 0;
    });
    return rows;
}
