#pragma once
// Turning the values agents answer with into text for the terminal: JSON (data as
// base64, dates as ISO 8601 text), one-line summaries and aligned tables. Nothing
// an agent sent reaches the terminal in a form the terminal could act on.
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QVariantMap>
#include <QStringList>
#include <QVariant>

class ZDCliOutput
{
public:
    ZDCliOutput() = delete;

    static QJsonValue toJson(const QVariant &value, int depth = 0);
    static QString compactJson(const QVariant &value);
    static QString prettyJson(const QVariant &value);
    // A JSON value as written on the command line; text that is not JSON is a string.
    static QVariant parseArgument(const QString &text);
    // Columns padded to their widest cell; the first row is the header. Cells are
    // shown as terminalText().
    static QString table(const QList<QStringList> &rows);
    // Text an agent sent, fit for a terminal: control and escape characters and the
    // marks that reorder text on screen are dropped, line breaks and tabs become spaces.
    static QString terminalText(const QString &text);
    // "host.local." as tables show it: without the final dot.
    static QString dotless(QString host);
    // A map keyed by computers, keyed by the names tables show (no trailing dot).
    static QVariantMap dotlessKeys(const QVariantMap &byHost);

    static constexpr int kMaxDepth = 64;
};
