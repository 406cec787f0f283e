#pragma once
// What the console shows of an agent's answers about its logs. Answers are
// untrusted: names must be paths of bounded length without control characters, text is shown only when it is
// text (no NUL or other control bytes but tab, CR, LF) and only its last
// kMaxShownCharacters characters.
#include <QString>
#include <QStringList>
#include <QVariant>

class ZDRemoteLogText
{
public:
    ZDRemoteLogText() = delete;

    static constexpr qsizetype kMaxShownCharacters = 1024 * 1024;
    static constexpr qsizetype kMaxNames = 1000;
    static constexpr qsizetype kMaxNameLength = 4096;

    struct Shown
    {
        bool isText = false;  // false: nothing to show
        bool truncated = false;
        QString text;
    };

    // The answer of logWithFilename:.
    static Shown textForAnswer(const QVariant &answer);
    // The answer of populateZDLogFilenames: the usable names, in order.
    static QStringList namesForAnswer(const QVariant &answer);
    static bool isUsableName(const QString &name);
    // The line shown above a cut text.
    static QString truncationNotice(qsizetype shownCharacters);
};
