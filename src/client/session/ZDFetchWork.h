#pragma once

#include "trust/ZDSoftwareUpdatesFetch.h"

// Downloads need the network library and what it pulls in (Kerberos, proxies, brotli),
// a dozen libraries an agent would otherwise map at every start for a download it
// makes now and then: the work lives in a module loaded on first use.

// What the module implements (entry point "zdFetchBackend", C linkage, resolved by name).
struct ZDFetchBackend
{
    ZDSoftwareUpdatesFetch::Result (*get)(const QUrl &url, qint64 maxBytes, std::chrono::seconds timeout,
                                          const std::function<void(qint64, qint64)> &progress, bool plainHTTP,
                                          std::stop_token stop);
};
using ZDFetchBackendEntry = const ZDFetchBackend *(*)();

namespace ZDFetchWork {
// ZDSoftwareUpdatesFetch::get through the module; a failure with the reason when it cannot be loaded.
ZDSoftwareUpdatesFetch::Result get(const QUrl &url, qint64 maxBytes, std::chrono::seconds timeout,
                                   bool plainHTTP = false);

// Programs that run agents in-process link the download work in and hand it over here.
void useBackend(const ZDFetchBackend *backend);
}
