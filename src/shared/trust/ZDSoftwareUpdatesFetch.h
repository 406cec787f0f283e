#pragma once
// One HTTP(S) download, bounded in size and time, on a network thread of its own so
// that any caller's thread may wait for it. Redirects may not leave the first
// address's scheme, host and port; only addresses ZDUpdateSignature allows are asked.
#include <QByteArray>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>

namespace ZDSoftwareUpdatesFetch {
struct Result
{
    std::optional<QByteArray> data; // empty optional: failed, see error
    QString error;
};
// progress(received, total): total is -1 without a Content-Length. Called on the network thread.
// A stop request ends the download at once as failed.
Result get(const QUrl &url, qint64 maxBytes, std::chrono::seconds timeout,
           const std::function<void(qint64, qint64)> &progress = {}, bool plainHTTP = false,
           std::stop_token stop = {});
} // namespace ZDSoftwareUpdatesFetch
