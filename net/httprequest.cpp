#include "httprequest.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <limits>
#include <utility>

bool httpRequest(QNetworkAccessManager *manager, const QUrl &url, QByteArray &responseBody,
    QString &errorText, int timeoutSeconds, qint64 maxBodySize, int *statusCode,
    std::optional<ProxyChallenge> *proxyChallenge, bool *http2)
{
    // a custom request whose verb is GET, as the request was always sent; over TLS in HTTP/2
    // where the server offers it, as the files come, so that the answer tells whether they
    // can share one connection
    QNetworkRequest request(url);
    if (url.scheme() == QLatin1String("https"))
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
    QNetworkReply *reply = manager->sendCustomRequest(request, QByteArrayLiteral("GET"));
    if (!reply) {
        errorText = QCoreApplication::translate("QObject", "发送请求失败");
        return false;
    }

    QByteArray body;
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (proxyChallenge) {
        proxyChallenge->reset();
        // one request at a time goes through the manager: a demand during the wait is this one's
        QObject::connect(manager, &QNetworkAccessManager::proxyAuthenticationRequired, &loop,
            [proxyChallenge](const QNetworkProxy &proxy, QAuthenticator *authenticator) {
                *proxyChallenge = ProxyChallenge::of(proxy, *authenticator);
            });
    }
    bool tooLarge = false;
    if (maxBodySize > 0) {
        // a hostile or broken server must not fill the memory within the time limit
        QObject::connect(
            reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64 total) {
                if (!tooLarge && qMax(received, total) > maxBodySize) {
                    tooLarge = true;
                    reply->abort();
                }
            });
    }
    // The body is taken as it arrives and read straight into place, never through a copy of all
    // that waits in the reply (Qt's network thread reads ahead as fast as the server sends, and
    // hands over tens of megabytes at once), with room made at once for an announced length
    // within the limit: a body at the limit is held about once.
    const qint64 limit
        = maxBodySize > 0 ? maxBodySize : qint64(std::numeric_limits<int>::max() / 2);
    const auto take = [&]() {
        const qint64 available = reply->bytesAvailable();
        if (tooLarge || available <= 0)
            return;
        if (body.size() + available > limit) {
            tooLarge = true;
            reply->abort();
            return;
        }
        if (body.isEmpty() && maxBodySize > 0) {
            bool known = false;
            const qint64 length
                = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
            if (known && length > 0 && length <= limit)
                body.reserve(int(length));
        }
        const int size = body.size();
        body.resize(size + int(available));
        const qint64 read = reply->read(body.data() + size, available);
        body.resize(size + int(qMax<qint64>(read, 0)));
    };
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, take);
    // The network layer sends a request again when its connection closes at certain moments,
    // even after part of the answer was handed over, and the next answer's bytes then follow the
    // first's in the same reply: half an answer twice has the announced length. A new answer's
    // head after body bytes were taken is a broken transfer, whatever the reply says at its end.
    bool restarted = false;
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&]() {
        take(); // what the earlier answer still had waiting belongs to it
        if (!body.isEmpty())
            restarted = true;
    });
    if (timeoutSeconds > 0)
        QTimer::singleShot(timeoutSeconds * 1000, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();

    // completion decides first: a 200 whose body is still arriving when the limit ends the
    // wait is a time-out, never a success with a truncated body
    if (!reply->isFinished()) {
        errorText = QCoreApplication::translate("QObject", "网络超时");
        reply->deleteLater();
        return false;
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (statusCode)
        *statusCode = status;
    if (http2)
        *http2 = reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
    take(); // what came with the end
    // a 200 whose transfer broke off (the connection closed before the announced length, the
    // body was too large) carries a partial body: never taken for the whole one. The network
    // layer says so by an error, but not always: a connection that closes early at the wrong
    // moment is sent again, and what arrived of the first answer would stay in front of the
    // second. An announced length the body does not have is a broken transfer as well (Qt drops
    // the length of a body it decompresses itself).
    bool announced = false;
    const qint64 length
        = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&announced);
    const bool cutShort = restarted || (announced && length != body.size());
    if (status != 200 || tooLarge || cutShort || reply->error() != QNetworkReply::NoError) {
        errorText = tooLarge ? QCoreApplication::translate("QObject", "数据量超过限制")
                             : reply->errorString();
        if (errorText.isEmpty() || (cutShort && reply->error() == QNetworkReply::NoError))
            errorText = QCoreApplication::translate("QNetworkReply", "Connection closed");
        reply->deleteLater();
        return false;
    }
    responseBody = std::move(body);
    reply->deleteLater();
    return true;
}

bool httpStream(QNetworkAccessManager *manager, QUrl url,
    const std::function<bool(const char *data, qint64 size)> &consume, QString &errorText,
    int stallSeconds, const std::function<bool(const QUrl &from, const QUrl &to)> &redirectAllowed,
    int maxRedirects, int *statusCode)
{
    for (int hop = 0;; ++hop) {
        QNetworkRequest request(url);
        request.setAttribute(
            QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        if (url.scheme() == QLatin1String("https"))
            request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
        QNetworkReply *reply = manager->get(request);
        if (!reply) {
            errorText = QCoreApplication::translate("QObject", "发送请求失败");
            return false;
        }
        QEventLoop loop;
        QTimer stall;
        stall.setSingleShot(true);
        bool stalled = false;
        bool refused = false; // by consume
        QObject::connect(&stall, &QTimer::timeout, &loop, [&]() {
            stalled = true;
            reply->abort();
        });
        const auto status = [reply]() {
            return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        };
        QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&]() {
            if (stallSeconds > 0)
                stall.start(stallSeconds * 1000);
            // only the body of the file goes to consume, never that of an error or a redirection
            if (status() != 200 || refused) {
                reply->skip(reply->bytesAvailable());
                return;
            }
            const QByteArray chunk = reply->readAll();
            if (!consume(chunk.constData(), chunk.size())) {
                refused = true;
                reply->abort();
            }
        });
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (stallSeconds > 0)
            stall.start(stallSeconds * 1000);
        if (!reply->isFinished())
            loop.exec();

        const int answer = status();
        if (statusCode)
            *statusCode = answer;
        if (!refused && answer == 200 && reply->error() == QNetworkReply::NoError
            && reply->bytesAvailable() > 0) {
            const QByteArray rest = reply->readAll();
            refused = !consume(rest.constData(), rest.size());
        }
        const QUrl next = answer >= 300 && answer < 400
            ? url.resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl())
            : QUrl();
        const bool received
            = !refused && !stalled && answer == 200 && reply->error() == QNetworkReply::NoError;
        if (!received && !refused) {
            errorText = stalled ? QCoreApplication::translate("QObject", "网络超时")
                                : reply->errorString();
        }
        reply->deleteLater();
        if (next.isValid() && !next.isEmpty() && !refused && !stalled) {
            if (hop < maxRedirects && redirectAllowed(url, next)) {
                url = next;
                continue;
            }
            errorText = hop < maxRedirects
                ? QCoreApplication::translate("QNetworkReply", "Insecure redirect")
                : QCoreApplication::translate("QNetworkReply", "Too many redirects");
            return false;
        }
        return received;
    }
}

bool downloadRedirectAllowed(const QUrl &from, const QUrl &to)
{
    const QString scheme = to.scheme();
    if (scheme == QLatin1String("https"))
        return true;
    return scheme == QLatin1String("http") && from.scheme() != QLatin1String("https");
}
