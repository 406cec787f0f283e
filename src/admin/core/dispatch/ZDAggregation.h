#pragma once
// Merging the answers of many computers into one shown value: a common value,
// "(various)" or -1 for differing texts or numbers, version ranges, majority values
// and application status summaries. Pure functions; inputs are walked in the order
// given and never sorted. Values that are not what a rule expects (an answer is
// untrusted) count as missing, never as an error.
#include <QDateTime>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

class ZDAggregation
{
public:
    ZDAggregation() = delete;

    static constexpr const char *kVarious = "(various)";
    static constexpr qint64 kVariousNumber = -1;
    static constexpr const char *kNotInstalled = "Not installed";
    static constexpr const char *kRunning = "Running";
    static constexpr const char *kNotRunning = "Not running";
    static constexpr const char *kSomeRunning = "Some running";

    // -1, 0 or 1 over the first three numeric components (missing or non-numeric: 0).
    static int compareVersionString(const QString &a, const QString &b);

    // The common value of key; at the first differing later value "(various)" for
    // text, -1 for a number, null otherwise.
    static QVariant aggregatedValueForKey(const QString &key, const QVariantList &dictionaries);
    // Per computer the key's value, taken from the sub-dictionary under app when app is
    // given; asNumber turns each value into an integer first.
    static QVariant aggregatedValueForKey(const QString &key, const QString &app, const QVariantList &dictionaries,
                                          bool asNumber = false);
    // "low - high", the one version when all are the same text, null without versions.
    static QVariant versionRangeInArray(const QVariantList &dictionaries, const QString &key);
    // Over {"installed", "running"} per computer: "Not installed", "Running",
    // "Not running", "Some running"; null for no computers.
    static QVariant aggregatedAppDictStatus(const QVariantList &dictionaries);
    // The first computer's text values that no other computer contradicts (versions:
    // no other is higher). Null for no computers.
    static QVariant commonOrHighestStatsFromArray(const QVariantList &dictionaries);
    // The items (dictionaries with a "name") under key of the first computer that every
    // other computer has too. Null for no computers.
    static QVariant commonItemsFromArray(const QVariantList &dictionaries, const QString &key);
    // For each key of the first dictionary, the most frequent value across all.
    static QVariantMap commonValuesForDictArray(const QVariantList &dictionaries);
    // The key with the largest integer value; null when no value is a number.
    static QVariant highestValueFromDict(const QVariantMap &dictionary);

    struct DateComponents
    {
        int year = 0;
        int month = 0;
        int day = 0;
        int hour = 0;
        int minute = 0;
        int second = 0;
        int weekOfYear = 0; // ISO 8601 week
        friend bool operator==(const DateComponents &, const DateComponents &) = default;
    };
    // In local time.
    static DateComponents componentsFromDate(const QDateTime &date);

    // Text, number (booleans included) and equality as the merges see them.
    static bool isText(const QVariant &value);
    static bool isNumber(const QVariant &value);
    static bool valuesEqual(const QVariant &a, const QVariant &b);
    // The leading integer of a text or the integer part of a number; 0 otherwise.
    static qint64 integerValue(const QVariant &value);
};
