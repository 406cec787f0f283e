#include "trust/ZDSoftwareUpdatesFetch.h"

#include "trust/ZDUpdateSignature.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>

#include <future>

namespace ZDSoftwareUpdatesFetch {

Result get(const QUrl &url, qint64 maxBytes, std::chrono::seconds timeout,
           const std::function<void(qint64, qint64)> &progress, bool plainHTTP, std::stop_token stop)
{
    if (!ZDUpdateSignature::isAllowedURL(url, plainHTTP))
        return {std::nullopt, QStringLiteral("refused address %1 (HTTPS is required)").arg(url.toDisplayString().left(512))};
    std::promise<Result> promise;
    std::future<Result> future = promise.get_future();
    QThread thread;
    QObject context;
    context.moveToThread(&thread);
    thread.start();
    std::function<void()> cancel; // set and run on the network thread only
    const std::stop_callback onStop(stop, [&] {
        QMetaObject::invokeMethod(&context, [&] {
            if (cancel)
                cancel();
        });
    });
    QMetaObject::invokeMethod(&context, [&] {
        auto *manager = new QNetworkAccessManager;
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
        request.setTransferTimeout(int(std::chrono::milliseconds(timeout).count()));
        request.setMaximumRedirectsAllowed(5);
        QNetworkReply *reply = manager->get(request);
        auto received = std::make_shared<QByteArray>();
        auto done = std::make_shared<bool>(false);
        const auto finish = [=, &promise](Result result) {
            if (*done)
                return;
            *done = true;
            reply->abort();
            manager->deleteLater(); // run as the thread ends
            promise.set_value(std::move(result));
        };
        cancel = [=] { finish({std::nullopt, QStringLiteral("cancelled")}); };
        if (stop.stop_requested())
            return cancel();
        QObject::connect(reply, &QNetworkReply::redirected, manager, [=](const QUrl &to) {
            if (ZDUpdateSignature::sameOrigin(url, to) && ZDUpdateSignature::isAllowedURL(to, plainHTTP))
                Q_EMIT reply->redirectAllowed();
            else
                finish({std::nullopt, QStringLiteral("refused redirect to %1").arg(to.toDisplayString().left(512))});
        });
        QObject::connect(reply, &QNetworkReply::readyRead, manager, [=] {
            *received += reply->readAll();
            if (received->size() > maxBytes)
                finish({std::nullopt, QStringLiteral("more than %1 bytes").arg(maxBytes)});
        });
        QObject::connect(reply, &QNetworkReply::downloadProgress, manager, [=](qint64 got, qint64 total) {
            if (progress && !*done)
                progress(got, total);
        });
        QObject::connect(reply, &QNetworkReply::finished, manager, [=] {
            *received += reply->readAll();
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (reply->error() != QNetworkReply::NoError)
                finish({std::nullopt, reply->errorString().left(512)});
            else if (status != 200)
                finish({std::nullopt, QStringLiteral("HTTP status %1").arg(status)});
            else if (received->size() > maxBytes)
                finish({std::nullopt, QStringLiteral("more than %1 bytes").arg(maxBytes)});
            else
                finish({*received, QString()});
        });
    });
    Result result = future.get();
    thread.quit();
    thread.wait();
    return result;
}

} // namespace ZDSoftwareUpdatesFetch
