#include "session/ZDImageWork.h"

#include "log/ZDLog.h"
#include "session/ZDPlugIns.h"

#include <QLibrary>

#include <atomic>

namespace {

std::atomic<const ZDImageBackend *> g_linked{nullptr};

const ZDImageBackend *backend()
{
    if (const ZDImageBackend *linked = g_linked.load())
        return linked;
    // Loaded once and kept: the encoders it registers cannot be unloaded safely.
    static const ZDImageBackend *loaded = [] {
        static QLibrary library(ZDImageWork::modulePath());
        const auto entry = library.load() ? reinterpret_cast<ZDImageBackendEntry>(library.resolve("zdImageBackend"))
                                          : nullptr;
        const ZDImageBackend *found = entry ? entry() : nullptr;
        if (!found)
            ZDLog::appendLog(QStringLiteral("Image module unavailable: %@"), library.errorString());
        return found;
    }();
    return loaded;
}

} // namespace

QString ZDImageWork::modulePath() { return ZDPlugIns::path(QStringLiteral("libKestraClientImaging.so")); }

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
