#pragma once
#include <QByteArray>
#include <QTextBrowser>

// Shows another computer's HTML but never fetches what it names (images, style sheets,
// links). The answer is empty data, not a null value: on a null one the document reads
// local files by itself (file:///dev/zero never ends).
class ZDInertTextBrowser : public QTextBrowser
{
    Q_OBJECT
public:
    using QTextBrowser::QTextBrowser;
    QVariant loadResource(int, const QUrl &) override { return QByteArray(); }
};
