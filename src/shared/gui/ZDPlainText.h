#pragma once
// Text from the network is never markup on screen. Labels, message boxes and tool
// tips guess rich text by default: an <img> pointing at a device file freezes the
// window, markup in a computer's name reshapes a sheet. enforce() makes every label
// of the application (the labels inside message boxes included) plain text before it
// is first shown, so that a new widget cannot forget it. Tool tips are laid out
// before that: text from the network goes through toolTip().
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QObject>
#include <QTextDocument>
#include <QVariant>
#include <QWidget>

namespace ZDPlainText {

inline constexpr const char *kRichTextProperty = "zdRichText";

// A label whose own constant text is markup on purpose.
inline void allowRichText(QLabel *label)
{
    label->setProperty(kRichTextProperty, true);
    label->setTextFormat(Qt::RichText);
}

// Text shown as it is in a tool tip, which would otherwise guess markup.
inline QString toolTip(const QString &text)
{
    return Qt::convertFromPlainText(text);
}

inline void makePlain(QLabel *label)
{
    // The tool tip's own label shows what toolTip() escaped.
    if (label->objectName() == QLatin1String("qtooltip_label"))
        return;
    if (!label->property(kRichTextProperty).toBool() && label->textFormat() != Qt::PlainText)
        label->setTextFormat(Qt::PlainText);
}

// root and every label below it.
inline void makePlain(QWidget *root)
{
    if (auto *label = qobject_cast<QLabel *>(root))
        makePlain(label);
    for (QLabel *label : root->findChildren<QLabel *>())
        makePlain(label);
}

class Enforcer : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Polish) {
            if (auto *label = qobject_cast<QLabel *>(watched))
                makePlain(label);
        }
        return false;
    }
};

// For the whole application, from now on; once is enough, more is harmless.
inline void enforce()
{
    static constexpr auto kName = "zdPlainTextEnforcer";
    QCoreApplication *app = QCoreApplication::instance();
    // Found by name: Enforcer has no meta-object of its own to be cast by.
    if (!app || app->findChild<QObject *>(QLatin1String(kName), Qt::FindDirectChildrenOnly))
        return;
    auto *enforcer = new Enforcer(app);
    enforcer->setObjectName(QLatin1String(kName));
    app->installEventFilter(enforcer);
}

} // namespace ZDPlainText
