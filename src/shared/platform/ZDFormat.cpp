#include "platform/ZDFormat.h"

#include <QDateTime>
#include <QStringList>

namespace {

QString describe(const QVariant &v)
{
    if (!v.isValid() || v.isNull())
        return QStringLiteral("(null)");
    switch (v.typeId()) {
    case QMetaType::QStringList:
        return QStringLiteral("(") + v.toStringList().join(QStringLiteral(", ")) + QStringLiteral(")");
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::QDateTime:
        return v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"));
    default:
        break;
    }
    if (v.canConvert<QString>())
        return v.toString();
    return QString::fromLatin1(v.typeName());
}

} // namespace

QString zdFormatList(const QString &format, const QVariantList &args)
{
    QString out;
    out.reserve(format.size() + 16 * args.size());
    qsizetype next = 0;
    const qsizetype n = format.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = format.at(i);
        if (c != QLatin1Char('%') || i + 1 >= n) {
            out += c;
            continue;
        }
        // Parse %[flags][width][.precision][length]conversion
        qsizetype j = i + 1;
        if (format.at(j) == QLatin1Char('%')) {
            out += QLatin1Char('%');
            i = j;
            continue;
        }
        QByteArray spec("%");
        while (j < n && QStringLiteral("-+ 0#").contains(format.at(j)))
            spec += format.at(j++).toLatin1();
        while (j < n && format.at(j).isDigit())
            spec += format.at(j++).toLatin1();
        if (j < n && format.at(j) == QLatin1Char('.')) {
            spec += format.at(j++).toLatin1();
            while (j < n && format.at(j).isDigit())
                spec += format.at(j++).toLatin1();
        }
        while (j < n && QStringLiteral("hlqzjL").contains(format.at(j)))
            ++j; // length modifiers are implied by the value
        if (j >= n) {
            out += format.mid(i);
            break;
        }
        const QChar conv = format.at(j);
        const QVariant value = next < args.size() ? args.at(next) : QVariant();
        switch (conv.toLatin1()) {
        case '@':
        case 's':
            ++next;
            out += QString::asprintf((spec + "s").constData(), describe(value).toUtf8().constData());
            break;
        case 'd':
        case 'i':
        case 'c':
            ++next;
            if (conv == QLatin1Char('c'))
                out += QChar(char16_t(value.toInt()));
            else
                out += QString::asprintf((spec + "lld").constData(), value.toLongLong());
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            ++next;
            out += QString::asprintf((spec + "ll" + conv.toLatin1()).constData(), value.toULongLong());
            break;
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'e':
        case 'E':
            ++next;
            out += QString::asprintf((spec + conv.toLatin1()).constData(), value.toDouble());
            break;
        default:
            // Not a conversion we know: keep the text as it stands.
            out += format.mid(i, j - i + 1);
            break;
        }
        i = j;
    }
    return out;
}
