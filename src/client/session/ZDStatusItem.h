#pragma once
// The agent's icon in the desktop's system tray, with a menu whose first item
// toggles the maintenance request.
//
// The widgets live in a module of the application folder (Contents/PlugIns),
// loaded only when there is a display: an agent without one never maps the
// widget libraries at all. create() gives null without a display, a tray or the
// module, so callers simply have nothing to act on.
#include <QHash>
#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QCoreApplication;

// What the module implements; one tray icon with its menu.
class ZDStatusItemBackend
{
public:
    virtual ~ZDStatusItemBackend() = default;
    virtual void setImage(const QByteArray &imageFile) = 0; // PNG, decoded by the module
    virtual void setFirstItemTitle(const QString &title) = 0;
    virtual QString firstItemTitle() const = 0;
};

// The module's entry points, "zdTrayCreateApplication" and "zdTrayCreateItem" (C linkage, resolved by name).
using ZDTrayCreateApplication = QCoreApplication *(*)(int *argc, char **argv);
using ZDTrayCreateItem = ZDStatusItemBackend *(*)(std::function<void()> *firstItemTriggered);

class ZDStatusItem : public QObject
{
    Q_OBJECT
public:
    // A QApplication made by the module; null when the module cannot be loaded.
    static std::unique_ptr<QCoreApplication> createGuiApplication(int &argc, char **argv);
    // Whether create() may give an item: a QApplication made by the module runs.
    static bool canShow();
    // Null without a QApplication, without a system tray, or without the module.
    static ZDStatusItem *create(const QHash<QString, QByteArray> &icons, QObject *parent = nullptr);
    ~ZDStatusItem() override;

    void setImage(const QString &key); // a key of the icons; unknown keys change nothing
    void setFirstItemTitle(const QString &title);
    QString firstItemTitle() const;

Q_SIGNALS:
    void firstItemTriggered();

private:
    ZDStatusItem(const QHash<QString, QByteArray> &icons, QObject *parent);
    QHash<QString, QByteArray> m_icons;
    std::unique_ptr<ZDStatusItemBackend> m_backend;
};
