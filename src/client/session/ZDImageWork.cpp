#include "session/ZDImageWork.h"

#include "log/ZDLog.h"
#include "session/ZDPlugIns.h"

#include <atomic>

namespace {

std::atomic<const ZDImageBackend *> g_linked{nullptr};

const ZDImageBackend *backend()
{
    if (const ZDImageBackend *linked = g_linked.load())
        return linked;
    static const ZDImageBackend *loaded = [] {
        QString error;
        const auto entry = reinterpret_cast<ZDImageBackendEntry>(
            ZDPlugIns::entry(QStringLiteral("libKestraClientImaging.so"), "zdImageBackend", &error));
        const ZDImageBackend *found = entry ? entry() : nullptr;
        if (!found)
            ZDLog::appendLog(QStringLiteral("Image module unavailable: %@"), error);
        return found;
    }();
    return loaded;
}

} // namespace

void ZDImageWork::useBackend(const ZDImageBackend *backend) { g_linked.store(backend); }

QByteArray ZDImageWork::scaledPng(const QByteArray &data, const QSize &size)
{
    const ZDImageBackend *work = backend();
    return work ? work->scaledPng(data, size.width(), size.height()) : QByteArray();
}

QByteArray ZDImageWork::iconFilePng(const QString &path, int side, int maxSide)
{
    const ZDImageBackend *work = backend();
    return work ? work->iconFilePng(path, side, maxSide) : QByteArray();
}

QByteArray ZDImageWork::genericIconPng(int side)
{
    const ZDImageBackend *work = backend();
    return work ? work->genericIconPng(side) : QByteArray();
}
