#include "console/ZDRemoteLogText.h"

#include "platform/ZDFormat.h"

namespace {

bool isTextCharacter(QChar c)
{
    const char16_t u = c.unicode();
    if (u == u'\t' || u == u'\n' || u == u'\r')
        return true;
    return u >= 0x20 && u != 0x7f && u != 0xfffd && !(u >= 0x80 && u < 0xa0);
}

} // namespace

ZDRemoteLogText::Shown ZDRemoteLogText::textForAnswer(const QVariant &answer)
{
    Shown shown;
    if (answer.typeId() != QMetaType::QString)
        return shown;
    const QString text = answer.toString();
    for (const QChar c : text) {
        if (!isTextCharacter(c))
            return shown;
    }
    shown.isText = true;
    if (text.size() > kMaxShownCharacters) {
        // The end of a log is what people look for.
        shown.truncated = true;
        shown.text = truncationNotice(kMaxShownCharacters) + text.right(kMaxShownCharacters);
    } else {
        shown.text = text;
    }
    return shown;
}

QString ZDRemoteLogText::truncationNotice(qsizetype shownCharacters)
{
    return zdFormat(QStringLiteral("[Log too long: showing its last %i characters]\n"), qint64(shownCharacters));
}

bool ZDRemoteLogText::isUsableName(const QString &name)
{
    if (name.isEmpty() || name.size() > kMaxNameLength || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (!isTextCharacter(c) || c == u'\t' || c == u'\n' || c == u'\r')
            return false;
    }
    return true;
}

QStringList ZDRemoteLogText::namesForAnswer(const QVariant &answer)
{
    QStringList names;
    if (answer.typeId() != QMetaType::QVariantList && answer.typeId() != QMetaType::QStringList)
        return names;
    for (const QVariant &item : answer.toList()) {
        if (names.size() >= kMaxNames)
            break;
        if (item.typeId() == QMetaType::QString && isUsableName(item.toString()))
            names << item.toString();
    }
    return names;
}
