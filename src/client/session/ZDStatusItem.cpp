#include "session/ZDStatusItem.h"

#include "log/ZDLog.h"
#include "session/ZDPlugIns.h"

#include <QCoreApplication>

namespace {

// The module stays loaded for the life of the process (widgets cannot be unloaded safely).
QFunctionPointer trayEntry(const char *name)
{
    QString error;
    const QFunctionPointer found = ZDPlugIns::entry(QStringLiteral("libKestraClientTray.so"), name, &error);
    if (!found)
        ZDLog::appendLog(QStringLiteral("Tray module unavailable: %@"), error);
    return found;
}

} // namespace

std::unique_ptr<QCoreApplication> ZDStatusItem::createGuiApplication(int &argc, char **argv)
{
    const auto make = reinterpret_cast<ZDTrayCreateApplication>(trayEntry("zdTrayCreateApplication"));
    return std::unique_ptr<QCoreApplication>(make ? make(&argc, argv) : nullptr);
}

bool ZDStatusItem::canShow()
{
    // Widgets need the module's QApplication; without a display the agent runs a QCoreApplication.
    return QCoreApplication::instance() && QCoreApplication::instance()->inherits("QApplication");
}

ZDStatusItem *ZDStatusItem::create(const QHash<QString, QByteArray> &icons, QObject *parent)
{
    if (!canShow())
        return nullptr;
    auto item = std::unique_ptr<ZDStatusItem>(new ZDStatusItem(icons, parent));
    return item->m_backend ? item.release() : nullptr;
}

ZDStatusItem::ZDStatusItem(const QHash<QString, QByteArray> &icons, QObject *parent) : QObject(parent), m_icons(icons)
{
    const auto make = reinterpret_cast<ZDTrayCreateItem>(trayEntry("zdTrayCreateItem"));
    if (!make)
        return;
    std::function<void()> triggered = [this] { Q_EMIT firstItemTriggered(); };
    m_backend.reset(make(&triggered));
    if (!m_backend)
        return;
    m_backend->setFirstItemTitle(QStringLiteral("Request Maintenance"));
    setImage(QStringLiteral("normal"));
}

ZDStatusItem::~ZDStatusItem() = default;

void ZDStatusItem::setImage(const QString &key)
{
    const auto it = m_icons.constFind(key);
    if (it != m_icons.constEnd() && m_backend)
        m_backend->setImage(*it);
}

void ZDStatusItem::setFirstItemTitle(const QString &title)
{
    if (m_backend)
        m_backend->setFirstItemTitle(title);
}

QString ZDStatusItem::firstItemTitle() const
{
    return m_backend ? m_backend->firstItemTitle() : QString();
}
