// Old-style (OpenStep) property-list text, written and read strictly.
#include "plist/ZDPropertyList.h"

#include <QDateTime>
#include <QStringDecoder>

namespace {

bool isUnquotedChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
}

void writeString(const QString &text, QByteArray &out)
{
    const QByteArray utf8 = text.toUtf8();
    const bool bare = !utf8.isEmpty() && std::all_of(utf8.cbegin(), utf8.cend(), isUnquotedChar);
    if (bare) {
        out += utf8;
        return;
    }
    out += '"';
    for (const char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (uchar(c) < 0x20 || c == 0x7f)
                out += "\\U" + QByteArray::number(uchar(c), 16).rightJustified(4, '0');
            else
                out += c;
        }
    }
    out += '"';
}

bool write(const QVariant &value, QByteArray &out, int depth, QString *error)
{
    if (depth > ZDPropertyList::kMaxDepth) {
        *error = QStringLiteral("nested too deeply");
        return false;
    }
    switch (value.userType()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        out += '{';
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            writeString(it.key(), out);
            out += " = ";
            if (!write(it.value(), out, depth + 1, error))
                return false;
            out += "; ";
        }
        out += '}';
        return true;
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        const QVariantList list = value.toList();
        out += '(';
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (i > 0)
                out += ", ";
            if (!write(list.at(i), out, depth + 1, error))
                return false;
        }
        out += ')';
        return true;
    }
    case QMetaType::QByteArray:
        out += '<' + value.toByteArray().toHex() + '>';
        return true;
    case QMetaType::QDateTime:
        writeString(value.toDateTime().toUTC().toString(Qt::ISODate), out);
        return true;
    case QMetaType::QString:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        writeString(value.toString(), out);
        return true;
    default:
        *error = QStringLiteral("a %1 has no old-style form").arg(QString::fromLatin1(value.typeName()));
        return false;
    }
}

class Reader
{
public:
    explicit Reader(const QByteArray &text) : m_text(text) {}

    QVariant document(QString *error)
    {
        QVariant value = this->value(0);
        skipSpace();
        if (m_error.isEmpty() && m_pos != m_text.size())
            fail("text after the value");
        if (!m_error.isEmpty()) {
            *error = QStringLiteral("%1 at byte %2").arg(m_error).arg(m_pos);
            return {};
        }
        return value;
    }

private:
    void fail(const char *why)
    {
        if (m_error.isEmpty())
            m_error = QString::fromLatin1(why);
    }
    bool atEnd() const { return m_pos >= m_text.size(); }
    char peek() const { return atEnd() ? '\0' : m_text.at(m_pos); }
    void skipSpace()
    {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++m_pos;
    }
    bool expect(char c)
    {
        skipSpace();
        if (peek() != c) {
            fail("unexpected character");
            return false;
        }
        ++m_pos;
        return true;
    }

    QVariant value(int depth)
    {
        if (depth > ZDPropertyList::kMaxDepth) {
            fail("nested too deeply");
            return {};
        }
        skipSpace();
        if (atEnd()) {
            fail("unexpected end");
            return {};
        }
        switch (peek()) {
        case '{': return dictionary(depth);
        case '(': return array(depth);
        case '<': return data();
        default: {
            QString text;
            return string(&text) ? QVariant(text) : QVariant();
        }
        }
    }

    QVariant dictionary(int depth)
    {
        ++m_pos;
        QVariantMap map;
        while (m_error.isEmpty()) {
            skipSpace();
            if (peek() == '}') {
                ++m_pos;
                return map;
            }
            QString key;
            if (!string(&key) || !expect('='))
                break;
            const QVariant v = value(depth + 1);
            if (!m_error.isEmpty() || !expect(';'))
                break;
            if (map.contains(key)) {
                fail("duplicate key");
                break;
            }
            map.insert(key, v);
        }
        return {};
    }

    QVariant array(int depth)
    {
        ++m_pos;
        QVariantList list;
        while (m_error.isEmpty()) {
            skipSpace();
            if (peek() == ')') {
                ++m_pos;
                return list;
            }
            list << value(depth + 1);
            skipSpace();
            if (peek() == ',')
                ++m_pos;
            else if (peek() != ')')
                fail("expected \",\" or \")\"");
        }
        return {};
    }

    QVariant data()
    {
        ++m_pos;
        QByteArray hex;
        while (!atEnd() && peek() != '>') {
            const char c = peek();
            if (std::isxdigit(uchar(c)))
                hex += c;
            else if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                break;
            ++m_pos;
        }
        if (peek() != '>' || hex.size() % 2 != 0) {
            fail("malformed data");
            return {};
        }
        ++m_pos;
        return QByteArray::fromHex(hex);
    }

    bool string(QString *out)
    {
        skipSpace();
        QByteArray bytes;
        if (peek() != '"') {
            while (!atEnd() && isUnquotedChar(peek()))
                bytes += m_text.at(m_pos++);
            if (bytes.isEmpty()) {
                fail("expected a string");
                return false;
            }
        } else {
            ++m_pos;
            while (true) {
                if (atEnd()) {
                    fail("unterminated string");
                    return false;
                }
                const char c = m_text.at(m_pos++);
                if (c == '"')
                    break;
                if (uchar(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                    fail("control character in a string");
                    return false;
                }
                if (c != '\\') {
                    bytes += c;
                    continue;
                }
                if (!escape(bytes))
                    return false;
            }
        }
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        *out = decoder.decode(bytes);
        if (decoder.hasError()) {
            fail("text is not UTF-8");
            return false;
        }
        return true;
    }

    bool escape(QByteArray &bytes)
    {
        const char c = peek();
        ++m_pos;
        switch (c) {
        case '"': bytes += '"'; return true;
        case '\\': bytes += '\\'; return true;
        case 'n': bytes += '\n'; return true;
        case 't': bytes += '\t'; return true;
        case 'r': bytes += '\r'; return true;
        case 'U': {
            const QByteArray digits = m_text.mid(m_pos, 4);
            bool ok = digits.size() == 4 && std::all_of(digits.cbegin(), digits.cend(), [](char d) {
                return std::isxdigit(uchar(d));
            });
            const uint code = ok ? digits.toUInt(&ok, 16) : 0;
            if (!ok || (code >= 0xd800 && code <= 0xdfff)) {
                fail("malformed \\U escape");
                return false;
            }
            m_pos += 4;
            bytes += QString(QChar(char16_t(code))).toUtf8();
            return true;
        }
        default:
            --m_pos;
            fail("unknown escape");
            return false;
        }
    }

    const QByteArray &m_text;
    qsizetype m_pos = 0;
    QString m_error;
};

} // namespace

QByteArray ZDPropertyList::toOpenStep(const QVariant &value, QString *error)
{
    QString why;
    QByteArray out;
    if (!write(value, out, 0, &why)) {
        if (error)
            *error = why;
        return {};
    }
    return out;
}

QVariant ZDPropertyList::fromOpenStep(const QByteArray &text, QString *error)
{
    QString why;
    QVariant value;
    if (text.size() > kMaxInputBytes)
        why = QStringLiteral("the text is larger than %1 bytes").arg(kMaxInputBytes);
    else
        value = Reader(text).document(&why);
    if (error)
        *error = why;
    return value;
}
