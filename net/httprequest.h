#ifndef HTTPREQUEST_H
#define HTTPREQUEST_H

#include "proxyaccess.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

// Sends one GET and waits for the whole answer in a nested event loop. True only when a
// complete answer with status 200 arrived; the body then replaces responseBody. On failure
// errorText says why and responseBody is untouched. timeoutSeconds <= 0 means no limit; the
// limit covers the whole exchange, not only idle time. A body larger than maxBodySize bytes
// (when positive) ends the exchange as a failure. statusCode, when given, receives the HTTP
// status of a complete answer (0 when none arrived). proxyChallenge, when given, receives the
// proxy's demand for credentials that failed the request, or none: the manager answers no such
// demand itself (see ProxyAccess). http2, when given, receives whether the answer came over
// HTTP/2.
bool httpRequest(QNetworkAccessManager *manager, const QUrl &url, QByteArray &responseBody,
    QString &errorText, int timeoutSeconds, qint64 maxBodySize = 0, int *statusCode = nullptr,
    std::optional<ProxyChallenge> *proxyChallenge = nullptr, bool *http2 = nullptr);

// Whether a file download redirected from one URL to the other is followed: any web server, but
// never a local file or another scheme, and never from an encrypted connection to a plain one.
bool downloadRedirectAllowed(const QUrl &from, const QUrl &to);
// how many redirections one file download follows
constexpr int MaxDownloadRedirects = 50;

// A GET whose body is handed to consume as it arrives, never held whole, as the download worker
// receives a file: redirections followed where redirectAllowed says so (at most maxRedirects),
// the transfer failed after stallSeconds without a byte. consume returning false ends it as a
// failure with errorText unchanged. True only for a complete 200 answer; statusCode, when
// given, receives the status of the last answer (0 when none arrived).
bool httpStream(QNetworkAccessManager *manager, QUrl url,
    const std::function<bool(const char *data, qint64 size)> &consume, QString &errorText,
    int stallSeconds, const std::function<bool(const QUrl &from, const QUrl &to)> &redirectAllowed,
    int maxRedirects, int *statusCode = nullptr);

#endif // HTTPREQUEST_H
