// The widget side of the agent's tray icon, loaded only when there is a display.
#include "session/ZDStatusItem.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace {

class TrayItem final : public ZDStatusItemBackend
{
public:
    explicit TrayItem(std::function<void()> triggered) : m_menu(std::make_unique<QMenu>())
    {
        m_first = m_menu->addAction(QStringLiteral("Request Maintenance"));
        QObject::connect(m_first, &QAction::triggered, [triggered = std::move(triggered)] {
            if (triggered)
                triggered();
        });
        m_tray = std::make_unique<QSystemTrayIcon>();
        m_tray->setContextMenu(m_menu.get());
        m_tray->setToolTip(QStringLiteral("Kestra Client"));
        m_tray->show();
    }
    ~TrayItem() override { m_tray->hide(); }

    void setImage(const QByteArray &imageFile) override
    {
        QPixmap pixmap;
        if (pixmap.loadFromData(imageFile, "PNG"))
            m_tray->setIcon(QIcon(pixmap));
    }
    void setFirstItemTitle(const QString &title) override { m_first->setText(title); }
    QString firstItemTitle() const override { return m_first->text(); }

private:
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    QAction *m_first = nullptr;
};

} // namespace

extern "C" Q_DECL_EXPORT QCoreApplication *zdTrayCreateApplication(int *argc, char **argv)
{
    auto *app = new QApplication(*argc, argv);
    app->setQuitOnLastWindowClosed(false);
    return app;
}

extern "C" Q_DECL_EXPORT ZDStatusItemBackend *zdTrayCreateItem(std::function<void()> *firstItemTriggered)
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()) || !QSystemTrayIcon::isSystemTrayAvailable())
        return nullptr;
    return new TrayItem(firstItemTriggered ? *firstItemTriggered : std::function<void()>());
}
