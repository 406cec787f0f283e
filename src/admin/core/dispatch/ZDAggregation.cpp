#include "dispatch/ZDAggregation.h"

#include <array>
#include <limits>
#include <utility>
#include <vector>

namespace {

std::array<qint64, 3> versionComponents(const QString &version)
{
    std::array<qint64, 3> out{0, 0, 0};
    const QStringList parts = version.split(QLatin1Char('.'));
    for (int i = 0; i < 3 && i < parts.size(); ++i)
        out[size_t(i)] = ZDAggregation::integerValue(parts.at(i));
    return out;
}

// The merge result for a first difference, decided by the differing value.
QVariant differenceMarker(const QVariant &value)
{
    if (ZDAggregation::isText(value))
        return QString::fromLatin1(ZDAggregation::kVarious);
    if (ZDAggregation::isNumber(value))
        return ZDAggregation::kVariousNumber;
    return QVariant();
}

bool boolValue(const QVariant &value)
{
    return ZDAggregation::isNumber(value) && ZDAggregation::integerValue(value) != 0;
}

QVariantList itemsOf(const QVariant &list)
{
    if (list.metaType().id() == QMetaType::QVariantList)
        return list.toList();
    if (list.metaType().id() == QMetaType::QVariantMap)
        return list.toMap().values();
    return {};
}

bool isIntegral(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return true;
    default:
        return false;
    }
}

} // namespace

bool ZDAggregation::isText(const QVariant &value)
{
    return value.metaType().id() == QMetaType::QString;
}

bool ZDAggregation::isNumber(const QVariant &value)
{
    if (isIntegral(value))
        return true;
    switch (value.metaType().id()) {
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

bool ZDAggregation::valuesEqual(const QVariant &a, const QVariant &b)
{
    if (isNumber(a) || isNumber(b)) {
        if (!isNumber(a) || !isNumber(b))
            return false;
        if (isIntegral(a) && isIntegral(b))
            return a.toLongLong() == b.toLongLong();
        const auto unsignedId = [](const QVariant &v) {
            return v.metaType().id() == QMetaType::ULongLong || v.metaType().id() == QMetaType::ULong;
        };
        if (unsignedId(a) && unsignedId(b))
            return a.toULongLong() == b.toULongLong();
        return a.toDouble() == b.toDouble();
    }
    if (isText(a) || isText(b))
        return isText(a) && isText(b) && a.toString() == b.toString();
    if (a.isNull() || b.isNull())
        return a.isNull() && b.isNull();
    return a == b;
}

qint64 ZDAggregation::integerValue(const QVariant &value)
{
    if (isIntegral(value))
        return value.toLongLong();
    if (isNumber(value)) {
        if (value.metaType().id() == QMetaType::ULongLong || value.metaType().id() == QMetaType::ULong)
            return qint64(std::min<quint64>(value.toULongLong(), quint64(std::numeric_limits<qint64>::max())));
        const double d = value.toDouble();
        if (d != d)
            return 0;
        if (d >= 9.2e18)
            return std::numeric_limits<qint64>::max();
        if (d <= -9.2e18)
            return std::numeric_limits<qint64>::min();
        return qint64(d);
    }
    if (!isText(value))
        return 0;
    // The leading integer, as a text's integer value is read: blanks, a sign, digits.
    const QString text = value.toString();
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+')))
        negative = text.at(i++) == QLatin1Char('-');
    qint64 result = 0;
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    for (; i < text.size() && text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9'); ++i) {
        const int digit = text.at(i).unicode() - '0';
        if (result > (kMax - digit) / 10)
            return negative ? std::numeric_limits<qint64>::min() : kMax;
        result = result * 10 + digit;
    }
    return negative ? -result : result;
}

int ZDAggregation::compareVersionString(const QString &a, const QString &b)
{
    const auto x = versionComponents(a);
    const auto y = versionComponents(b);
    for (size_t i = 0; i < 3; ++i) {
        if (x[i] < y[i])
            return -1;
        if (x[i] > y[i])
            return 1;
    }
    return 0;
}

QVariant ZDAggregation::aggregatedValueForKey(const QString &key, const QVariantList &dictionaries)
{
    QVariant found;
    for (const QVariant &dictionary : dictionaries) {
        const QVariant value = dictionary.toMap().value(key);
        if (found.isNull()) {
            found = value;
            continue;
        }
        if (!valuesEqual(value, found))
            return differenceMarker(value);
    }
    return found;
}

QVariant ZDAggregation::aggregatedValueForKey(const QString &key, const QString &app, const QVariantList &dictionaries,
                                              bool asNumber)
{
    QVariantList values;
    values.reserve(dictionaries.size());
    for (const QVariant &dictionary : dictionaries) {
        QVariantMap map = dictionary.toMap();
        if (!app.isEmpty())
            map = map.value(app).toMap();
        const QVariant value = map.value(key);
        values << (asNumber ? QVariant(integerValue(value)) : value);
    }
    if (values.isEmpty())
        return QVariant();
    for (qsizetype i = 1; i < values.size(); ++i) {
        if (!valuesEqual(values.at(i), values.at(i - 1)))
            return differenceMarker(values.at(i));
    }
    return values.first();
}

QVariant ZDAggregation::versionRangeInArray(const QVariantList &dictionaries, const QString &key)
{
    QString lowest;
    QString highest;
    bool any = false;
    for (const QVariant &dictionary : dictionaries) {
        const QVariant value = dictionary.toMap().value(key);
        if (!isText(value))
            continue;
        const QString version = value.toString();
        if (!any) {
            lowest = highest = version;
            any = true;
            continue;
        }
        if (compareVersionString(version, highest) == 1)
            highest = version;
        if (compareVersionString(version, lowest) == -1)
            lowest = version;
    }
    if (!any)
        return QVariant();
    if (lowest == highest)
        return highest;
    return QStringLiteral("%1 - %2").arg(lowest, highest);
}

QVariant ZDAggregation::aggregatedAppDictStatus(const QVariantList &dictionaries)
{
    if (dictionaries.isEmpty())
        return QVariant();
    qsizetype installed = 0;
    qsizetype running = 0;
    for (const QVariant &dictionary : dictionaries) {
        const QVariantMap app = dictionary.toMap();
        if (!boolValue(app.value(QStringLiteral("installed"))))
            continue;
        ++installed;
        if (boolValue(app.value(QStringLiteral("running"))))
            ++running;
    }
    if (installed == 0)
        return QString::fromLatin1(kNotInstalled);
    if (running == dictionaries.size())
        return QString::fromLatin1(kRunning);
    if (running == 0)
        return QString::fromLatin1(kNotRunning);
    return QString::fromLatin1(kSomeRunning);
}

QVariant ZDAggregation::commonOrHighestStatsFromArray(const QVariantList &dictionaries)
{
    if (dictionaries.isEmpty())
        return QVariant();
    const QVariantMap first = dictionaries.first().toMap();
    QVariantMap result;
    for (auto it = first.cbegin(); it != first.cend(); ++it) {
        if (!isText(it.value()))
            continue;
        const QString reference = it.value().toString();
        bool kept = true;
        for (qsizetype i = 1; i < dictionaries.size() && kept; ++i) {
            const QVariant other = dictionaries.at(i).toMap().value(it.key());
            if (!isText(other))
                continue;
            const QString text = other.toString();
            kept = text.contains(QLatin1Char('.')) ? compareVersionString(text, reference) != 1 : text == reference;
        }
        if (kept)
            result.insert(it.key(), reference);
    }
    return result;
}

QVariant ZDAggregation::commonItemsFromArray(const QVariantList &dictionaries, const QString &key)
{
    if (dictionaries.isEmpty())
        return QVariant();
    std::vector<QVariantList> lists;
    lists.reserve(size_t(dictionaries.size()));
    for (const QVariant &dictionary : dictionaries)
        lists.push_back(itemsOf(dictionary.toMap().value(key)));
    const auto hasName = [](const QVariantList &items, const QVariant &name) {
        for (const QVariant &item : items) {
            if (valuesEqual(item.toMap().value(QStringLiteral("name")), name))
                return true;
        }
        return false;
    };
    QVariantList common;
    for (const QVariant &item : lists.front()) {
        const QVariant name = item.toMap().value(QStringLiteral("name"));
        if (name.isNull())
            continue; // an item without a name matches nothing
        bool everywhere = true;
        for (size_t i = 1; i < lists.size() && everywhere; ++i)
            everywhere = hasName(lists[i], name);
        if (everywhere)
            common << item;
    }
    return common;
}

QVariantMap ZDAggregation::commonValuesForDictArray(const QVariantList &dictionaries)
{
    QVariantMap result;
    if (dictionaries.isEmpty())
        return result;
    const QVariantMap first = dictionaries.first().toMap();
    for (auto it = first.cbegin(); it != first.cend(); ++it) {
        // Distinct values in the order first met, with their counts.
        std::vector<std::pair<QVariant, int>> counted;
        for (const QVariant &dictionary : dictionaries) {
            const QVariantMap map = dictionary.toMap();
            const auto found = map.constFind(it.key());
            if (found == map.cend())
                continue;
            bool known = false;
            for (auto &[value, count] : counted) {
                if (valuesEqual(value, found.value())) {
                    ++count;
                    known = true;
                    break;
                }
            }
            if (!known)
                counted.emplace_back(found.value(), 1);
        }
        const std::pair<QVariant, int> *winner = nullptr;
        for (const auto &entry : counted) {
            if (!winner || entry.second > winner->second)
                winner = &entry;
        }
        if (winner)
            result.insert(it.key(), winner->first);
    }
    return result;
}

QVariant ZDAggregation::highestValueFromDict(const QVariantMap &dictionary)
{
    QVariant key;
    qint64 highest = 0;
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
        if (!isNumber(it.value()))
            continue;
        const qint64 value = integerValue(it.value());
        if (key.isNull() || value > highest) {
            key = it.key();
            highest = value;
        }
    }
    return key;
}

ZDAggregation::DateComponents ZDAggregation::componentsFromDate(const QDateTime &date)
{
    if (!date.isValid())
        return {};
    const QDateTime local = date.toLocalTime();
    const QDate day = local.date();
    const QTime time = local.time();
    return {day.year(), day.month(), day.day(), time.hour(), time.minute(), time.second(), day.weekNumber()};
}
