#include "releasefetch.h"

#include "httprequest.h"
#include "updatefrontend.h"
#include "updaterun.h"

#include <QLoggingCategory>
#include <QUrl>

#include <optional>

namespace {
Q_LOGGING_CATEGORY(lcRequest, "updater.request")

constexpr int FetchTimeoutSeconds = 5;

// The question never runs inside Qt's wait for an answer, where the time limit would go on
// counting while a person types.
bool fetch(const UpdateContext &context, UpdateFrontend &frontend, const QString &url,
    QByteArray &body, QString &error, int *status, qint64 maxBody, bool *http2)
{
    for (;;) {
        std::optional<ProxyChallenge> challenge;
        bool overHttp2 = false;
        const bool fetched = httpRequest(context.manager, QUrl(url, QUrl::TolerantMode), body,
            error, FetchTimeoutSeconds, maxBody, status, &challenge, &overHttp2);
        qCInfo(lcRequest, "GET %s: %s, %lld bytes%s", qUtf8Printable(url),
            qUtf8Printable(fetched ? QString::number(*status) : error), qint64(body.size()),
            fetched && overHttp2 ? " (HTTP/2)" : "");
        if (http2)
            *http2 = overHttp2;
        if (fetched)
            return true;
        if (!frontend.answerProxyChallenge(context.proxy, challenge, error))
            return false;
    }
}
} // namespace

bool fetchReleaseFile(const UpdateContext &context, UpdateFrontend &frontend,
    const PublicationUrl &url, QByteArray &body, QString &error, int *status, qint64 maxBody,
    bool *http2)
{
    int answered = 0;
    QString firstError;
    const bool fetched = getWithPlainFallback(url, [&](const QString &text, int &got) {
        const bool received = fetch(context, frontend, text, body, error, &got, maxBody, http2);
        if (answered == 404 && got == 404)
            error = firstError;
        firstError = error;
        answered = got;
        return received;
    });
    if (status)
        *status = answered;
    return fetched;
}
