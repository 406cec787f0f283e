#include "ZDIniText.h"

#include <QList>

namespace ZDIniText {
namespace {

struct Line
{
    QByteArray bytes; // without its '\n'
    bool newline = false;
};

QList<Line> split(const QByteArray &text)
{
    QList<Line> lines;
    qsizetype from = 0;
    while (from < text.size()) {
        const qsizetype end = text.indexOf('\n', from);
        if (end < 0) {
            lines.append({text.mid(from), false});
            break;
        }
        lines.append({text.mid(from, end - from), true});
        from = end + 1;
    }
    return lines;
}

QByteArray join(const QList<Line> &lines)
{
    QByteArray out;
    for (const Line &l : lines)
        out += l.bytes + (l.newline ? "\n" : "");
    return out;
}

bool isHeader(const QByteArray &line) { return line.trimmed().startsWith('['); }

bool isGroup(const QByteArray &line, const QByteArray &group)
{
    return line.trimmed() == '[' + group + ']';
}

// The entry's value text and whether it is marked for expansion; nullopt when the
// line is not the (unlocalised) entry.
std::optional<QByteArray> entryValue(const QByteArray &line, const QByteArray &entry, bool *expand)
{
    const QByteArray t = line.trimmed();
    if (!t.startsWith(entry))
        return std::nullopt;
    qsizetype at = entry.size();
    *expand = false;
    while (at < t.size() && t.at(at) == '[') {
        const qsizetype close = t.indexOf(']', at);
        if (close < 0 || close == at + 1 || t.at(at + 1) != '$')
            return std::nullopt; // a locale: another entry
        *expand = *expand || t.mid(at, close - at).contains('e');
        at = close + 1;
    }
    while (at < t.size() && (t.at(at) == ' ' || t.at(at) == '\t'))
        ++at;
    if (at >= t.size() || t.at(at) != '=')
        return std::nullopt;
    return t.mid(at + 1).trimmed();
}

QString unescaped(const QByteArray &raw)
{
    QByteArray out;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw.at(i);
        if (c != '\\' || i + 1 >= raw.size()) {
            out += c;
            continue;
        }
        const char n = raw.at(++i);
        switch (n) {
        case 's': out += ' '; break;
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 'x':
            if (i + 2 < raw.size()) {
                bool ok = false;
                const int v = raw.mid(i + 1, 2).toInt(&ok, 16);
                if (ok) {
                    out += char(v);
                    i += 2;
                    break;
                }
            }
            out += "\\x";
            break;
        default: out += n; // "\\", "\;", "\,"
        }
    }
    return QString::fromUtf8(out);
}

QByteArray escaped(const QString &value)
{
    QByteArray out = value.toUtf8().replace('\\', "\\\\");
    // Spaces at either end would be trimmed on reading.
    qsizetype lead = 0;
    while (lead < out.size() && out.at(lead) == ' ')
        ++lead;
    QByteArray middle = out.mid(lead);
    qsizetype trail = 0;
    while (trail < middle.size() && middle.at(middle.size() - 1 - trail) == ' ')
        ++trail;
    middle.chop(trail);
    return QByteArray("\\s").repeated(lead) + middle + QByteArray("\\s").repeated(trail);
}

} // namespace

std::optional<QString> value(const QByteArray &text, const QString &group, const QString &entry, const QString &home)
{
    const QByteArray g = group.toUtf8(), e = entry.toUtf8();
    std::optional<QString> found;
    bool inGroup = false;
    for (const Line &l : split(text)) {
        if (isHeader(l.bytes)) {
            inGroup = isGroup(l.bytes, g);
            continue;
        }
        bool expand = false;
        if (!inGroup)
            continue;
        if (const std::optional<QByteArray> raw = entryValue(l.bytes, e, &expand)) {
            QString v = unescaped(*raw);
            for (const QString &name : {QStringLiteral("$HOME"), QStringLiteral("${HOME}")}) {
                if (expand && (v == name || v.startsWith(name + QLatin1Char('/'))))
                    v = home + v.mid(name.size());
            }
            found = v;
        }
    }
    return found;
}

QByteArray withValue(const QByteArray &text, const QString &group, const QString &entry, const std::optional<QString> &newValue)
{
    const QByteArray g = group.toUtf8(), e = entry.toUtf8();
    QList<Line> lines = split(text);
    qsizetype groupAt = -1, lastInGroup = -1;
    bool inGroup = false, placed = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray &bytes = lines.at(i).bytes;
        if (isHeader(bytes)) {
            inGroup = isGroup(bytes, g);
            if (inGroup && groupAt < 0)
                groupAt = lastInGroup = i;
            continue;
        }
        if (!inGroup)
            continue;
        if (!bytes.trimmed().isEmpty())
            lastInGroup = i;
        bool expand = false;
        if (!entryValue(bytes, e, &expand))
            continue;
        if (newValue && !placed) {
            const bool cr = bytes.endsWith('\r');
            lines[i].bytes = e + '=' + escaped(*newValue) + (cr ? "\r" : "");
            placed = true;
        } else {
            lines.removeAt(i--);
            --lastInGroup;
        }
    }
    if (!newValue || placed)
        return join(lines);
    const Line added{e + '=' + escaped(*newValue), true};
    if (groupAt >= 0) {
        lines[lastInGroup].newline = true;
        lines.insert(lastInGroup + 1, added);
        return join(lines);
    }
    if (!lines.isEmpty()) {
        lines.last().newline = true;
        if (!lines.last().bytes.trimmed().isEmpty())
            lines.append({QByteArray(), true});
    }
    lines.append({'[' + g + ']', true});
    lines.append(added);
    return join(lines);
}

} // namespace ZDIniText
