// The readiness GET on Qt Network: a module of the bundle that LinuxUrlSession loads on the first request
// and calls on the main thread only.
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>

#include "platform/linux/shell/url_session.h"

namespace nubrio::linux_platform {

namespace {

struct Exchange {
    QNetworkReply* reply = nullptr;
    QByteArray body;
    bool done = false;
    platform::UrlSession::Completion completion;
};

// Completes once: the reply is stopped and let go before the completion runs, whatever it then does.
void complete(const std::shared_ptr<Exchange>& exchange, std::optional<std::string> body) {
    if (exchange->done) return;
    exchange->done = true;
    QNetworkReply* reply = exchange->reply;
    if (reply->isRunning()) reply->abort();  // emits finished, which finds the exchange done
    reply->deleteLater();
    auto completion = std::move(exchange->completion);
    if (completion) completion(std::move(body));
}

// An answer with an error status still has its body; a transport failure has none.
bool hasBody(QNetworkReply& reply) {
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError) return true;
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) return false;
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError) ||
           (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

bool overCap(const Exchange& exchange) {
    return static_cast<std::size_t>(exchange.body.size()) > LinuxUrlSession::MaximumBodySize;
}

class QtUrlSession final : public platform::UrlSession {
public:
    void get(const platform::UrlRequest& request, Completion completion) override;

private:
    QNetworkAccessManager& manager();

    std::unique_ptr<QNetworkAccessManager> manager_;
};

QNetworkAccessManager& QtUrlSession::manager() {
    if (!manager_) {
        manager_ = std::make_unique<QNetworkAccessManager>();
        // Qt would otherwise send loopback requests through an http_proxy from the environment.
        manager_->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        manager_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        manager_->setCache(nullptr);
    }
    return *manager_;
}

void QtUrlSession::get(const platform::UrlRequest& request, Completion completion) {
    QNetworkRequest networkRequest(QUrl(QString::fromStdString(request.url)));
    networkRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    networkRequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

    auto exchange = std::make_shared<Exchange>();
    exchange->completion = std::move(completion);
    QNetworkReply* reply = manager().get(networkRequest);
    exchange->reply = reply;
    // Qt stops reading from the socket while this much is unread, so a flood waits for the check below.
    reply->setReadBufferSize(static_cast<qint64>(LinuxUrlSession::MaximumBodySize));

    QObject::connect(reply, &QNetworkReply::readyRead, reply, [exchange] {
        if (exchange->done) return;
        exchange->body += exchange->reply->readAll();
        if (overCap(*exchange)) complete(exchange, std::nullopt);
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [exchange] {
        if (exchange->done) return;
        exchange->body += exchange->reply->readAll();
        if (overCap(*exchange) || !hasBody(*exchange->reply))
            complete(exchange, std::nullopt);
        else
            complete(exchange, exchange->body.toStdString());
    });

    // Qt's transfer timeout only measures silence; a server sending a byte now and then would defeat
    // it, so the whole request gets a hard deadline of its own.
    const double seconds = request.timeoutSeconds > 0 ? request.timeoutSeconds : 60.0;
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    deadline->setTimerType(Qt::PreciseTimer);
    QObject::connect(deadline, &QTimer::timeout, reply, [exchange] { complete(exchange, std::nullopt); });
    deadline->start(static_cast<int>(std::clamp(std::ceil(seconds * 1000.0), 1.0, static_cast<double>(INT_MAX))));
}

}  // namespace

}  // namespace nubrio::linux_platform

extern "C" __attribute__((visibility("default"))) nubrio::platform::UrlSession* nubrio_network_create_url_session() {
    return new nubrio::linux_platform::QtUrlSession();
}
