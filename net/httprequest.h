#ifndef HTTPREQUEST_H
#define HTTPREQUEST_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// Sends one request and waits for the whole answer in a nested event loop. True only when a
// complete answer with status 200 arrived; the body then replaces responseBody. On failure
// errorText says why and responseBody is untouched. timeoutSeconds <= 0 means no limit; the
// limit covers the whole exchange, not only idle time. A body larger than maxBodySize bytes
// (when positive) ends the exchange as a failure. statusCode, when given, receives the HTTP
// status of a complete answer (0 when none arrived).
bool httpRequest(QNetworkAccessManager *manager, QUrl url, QByteArray &responseBody,
                 QString &errorText, int timeoutSeconds, QMap<QByteArray, QByteArray> requestHeaders,
                 QByteArray verb, QByteArray requestBody,
                 QMap<QByteArray, QByteArray> *responseHeaders, qint64 maxBodySize = 0,
                 int *statusCode = nullptr);

#endif // HTTPREQUEST_H
