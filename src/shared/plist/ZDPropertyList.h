#pragma once
// Property lists (XML and binary) to and from the suite's value type, QVariant:
//   text QString, integer qint64 (negative values too), real double, bool,
//   date QDateTime (UTC), data QByteArray, array QVariantList, dictionary QVariantMap.
// Every property list is untrusted input: size and depth are bounded and a bad
// file reads as an invalid QVariant ("none"), never a crash.
#include <QByteArray>
#include <QString>
#include <QVariant>

class ZDPropertyList
{
public:
    enum class Format { Xml, Binary };

    static constexpr qint64 kMaxInputBytes = 64 * 1024 * 1024;
    static constexpr int kMaxDepth = 256;

    ZDPropertyList() = delete;

    // Parses XML or binary data; invalid QVariant and a reason in *error on failure.
    static QVariant fromData(const QByteArray &data, QString *error = nullptr);
    // Serialises; empty QByteArray and a reason in *error when the value holds a
    // type a property list cannot carry (or is nested too deeply).
    static QByteArray toData(const QVariant &value, Format format = Format::Xml, QString *error = nullptr);

    // Reads a file. A missing file reads as none silently; an unreadable, truncated
    // or malformed one reads as none with one log line.
    static QVariant readFile(const QString &path);
    // Reads a file whose top level must be a dictionary; empty map otherwise.
    static QVariantMap readDictionary(const QString &path);
    // Writes atomically (temporary file, then rename); false with one log line on failure.
    static bool writeFile(const QString &path, const QVariant &value, Format format = Format::Xml);

    // Old-style (OpenStep) text: dictionaries, arrays, strings and <hex> data.
    // Numbers, booleans and dates are written as their text, so they read back as
    // text. The reader is strict: only those forms, UTF-8, no duplicate keys,
    // nothing after the value; bounded like the other formats.
    static QByteArray toOpenStep(const QVariant &value, QString *error = nullptr);
    static QVariant fromOpenStep(const QByteArray &text, QString *error = nullptr);
};
