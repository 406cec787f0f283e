#include "session/ZDFetchWork.h"

#include "log/ZDLog.h"
#include "session/ZDPlugIns.h"

#include <atomic>

namespace {

std::atomic<const ZDFetchBackend *> g_linked{nullptr};

struct Loaded
{
    const ZDFetchBackend *backend = nullptr;
    QString error;
};

const Loaded &loaded()
{
    static const Loaded once = [] {
        Loaded l;
        const auto entry = reinterpret_cast<ZDFetchBackendEntry>(
            ZDPlugIns::entry(QStringLiteral("libKestraClientNetwork.so"), "zdFetchBackend", &l.error));
        l.backend = entry ? entry() : nullptr;
        if (!l.backend)
            ZDLog::appendLog(QStringLiteral("Download module unavailable: %@"), l.error);
        return l;
    }();
    return once;
}

} // namespace

void ZDFetchWork::useBackend(const ZDFetchBackend *backend) { g_linked.store(backend); }

ZDSoftwareUpdatesFetch::Result ZDFetchWork::get(const QUrl &url, qint64 maxBytes, std::chrono::seconds timeout,
                                                bool plainHTTP)
{
    const ZDFetchBackend *work = g_linked.load();
    if (!work)
        work = loaded().backend;
    if (!work)
        return {std::nullopt, QStringLiteral("the download module cannot be loaded (%1)").arg(loaded().error)};
    return work->get(url, maxBytes, timeout, {}, plainHTTP, {});
}
