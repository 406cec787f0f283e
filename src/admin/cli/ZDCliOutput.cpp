#include "ZDCliOutput.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// What a terminal may act on besides the C0 controls, which the JSON writer escapes
// itself: DEL, the C1 controls (0x9B starts a sequence like ESC [) and the bidirectional marks.
bool isControlBeyondAscii(char16_t c)
{
    return (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E)
        || (c >= 0x2066 && c <= 0x2069);
}

// JSON text with those characters written as escapes: the same value, inert on a terminal.
QString escapedJson(const QByteArray &json)
{
    const QString text = QString::fromUtf8(json);
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (isControlBeyondAscii(c.unicode()))
            out += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

} // namespace

QJsonValue ZDCliOutput::toJson(const QVariant &value, int depth)
{
    if (depth > kMaxDepth)
        return QJsonValue(QStringLiteral("(too deep)"));
    if (!value.isValid() || value.isNull())
        return QJsonValue();
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        QJsonObject o;
        const QVariantMap m = value.toMap();
        for (auto it = m.cbegin(); it != m.cend(); ++it)
            o.insert(it.key(), toJson(it.value(), depth + 1));
        return o;
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        QJsonArray a;
        for (const QVariant &v : value.toList())
            a.append(toJson(v, depth + 1));
        return a;
    }
    case QMetaType::QByteArray:
        return QString::fromLatin1(value.toByteArray().toBase64());
    case QMetaType::QDateTime:
        return value.toDateTime().toUTC().toString(Qt::ISODate);
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return value.toLongLong();
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble();
    case QMetaType::QString:
        return value.toString();
    default:
        return value.canConvert<QString>() ? QJsonValue(value.toString())
                                           : QJsonValue(QString::fromLatin1(value.typeName()));
    }
}

QString ZDCliOutput::compactJson(const QVariant &value)
{
    const QJsonValue j = toJson(value);
    if (j.isObject())
        return escapedJson(QJsonDocument(j.toObject()).toJson(QJsonDocument::Compact));
    if (j.isArray())
        return escapedJson(QJsonDocument(j.toArray()).toJson(QJsonDocument::Compact));
    // A scalar: wrap it to let the writer quote it, then unwrap.
    const QByteArray wrapped = QJsonDocument(QJsonArray{j}).toJson(QJsonDocument::Compact);
    return escapedJson(wrapped.mid(1, wrapped.size() - 2));
}

QString ZDCliOutput::prettyJson(const QVariant &value)
{
    const QJsonValue j = toJson(value);
    if (j.isObject())
        return escapedJson(QJsonDocument(j.toObject()).toJson(QJsonDocument::Indented));
    if (j.isArray())
        return escapedJson(QJsonDocument(j.toArray()).toJson(QJsonDocument::Indented));
    return compactJson(value) + QLatin1Char('\n');
}

QVariant ZDCliOutput::parseArgument(const QString &text)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + "]", &error);
    if (error.error == QJsonParseError::NoError && doc.isArray() && doc.array().size() == 1)
        return doc.array().first().toVariant();
    return text;
}

QString ZDCliOutput::terminalText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\n' || c == u'\t' || c == u'\r')
            out += u' ';
        else if (c.unicode() >= 0x20 && !isControlBeyondAscii(c.unicode()))
            out += c;
    }
    return out;
}

QString ZDCliOutput::table(const QList<QStringList> &shownRows)
{
    QList<QStringList> rows;
    for (const QStringList &row : shownRows) {
        QStringList cells;
        for (const QString &cell : row)
            cells << terminalText(cell);
        rows << cells;
    }
    QList<qsizetype> widths;
    for (const QStringList &row : std::as_const(rows)) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths << 0;
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    QString out;
    for (const QStringList &row : std::as_const(rows)) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        out += line + QLatin1Char('\n');
    }
    return out;
}

QString ZDCliOutput::dotless(QString host)
{
    while (host.endsWith(u'.'))
        host.chop(1);
    return host;
}

QVariantMap ZDCliOutput::dotlessKeys(const QVariantMap &byHost)
{
    QVariantMap out;
    for (auto it = byHost.cbegin(); it != byHost.cend(); ++it) {
        // Two forms of one name: the first answer stays.
        if (!out.contains(dotless(it.key())))
            out.insert(dotless(it.key()), it.value());
    }
    return out;
}
