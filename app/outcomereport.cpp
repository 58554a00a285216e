#include "outcomereport.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrlQuery>

Q_LOGGING_CATEGORY(lcReport, "updater.report")

namespace {
// the wait for the answer: with the connection's set-up and teardown, within
// OutcomeReportSeconds
constexpr int ReportWaitMs = OutcomeReportSeconds * 1000 - 500;

void addText(QUrlQuery &query, const char *key, const QString &value)
{
    if (!value.isEmpty())
        query.addQueryItem(
            QString::fromLatin1(key), QString::fromUtf8(QUrl::toPercentEncoding(value)));
}

void addNumber(QUrlQuery &query, const char *key, const QString &value)
{
    query.addQueryItem(QString::fromLatin1(key), value);
}
} // namespace

QUrl outcomeReportUrl(const QString &reportUrl, const OutcomeReport &report)
{
    QUrl url(reportUrl, QUrl::TolerantMode);
    QUrlQuery query(url);
    addText(query, "event", report.event);
    addText(query, "version", report.version);
    addText(query, "folder", report.folder);
    addText(query, "from_version", report.fromVersion);
    addText(query, "from_folder", report.fromFolder);
    addText(query, "error", report.error);
    addNumber(query, "bytes", QString::number(report.bytesFetched));
    addNumber(query, "saved", QString::number(report.bytesSavedByPatches));
    addNumber(query, "seconds", QString::number(report.milliseconds / 1000.0, 'f', 1));
    addNumber(query, "signed", report.signedRelease ? QStringLiteral("1") : QStringLiteral("0"));
    addNumber(query, "fallback", report.fallback ? QStringLiteral("1") : QStringLiteral("0"));
    url.setQuery(query);
    return url;
}

void sendOutcomeReport(
    QNetworkAccessManager *manager, const QString &reportUrl, const OutcomeReport &report)
{
    const QUrl url = outcomeReportUrl(reportUrl, report);
    if (!url.isValid()
        || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
        qCWarning(lcReport, "no outcome report: the ReportUrl is not a web address");
        return;
    }
    QNetworkRequest request(url);
    // nothing is followed elsewhere, nothing of the answer is kept
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager->get(request);
    reply->setReadBufferSize(4096);
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    deadline.start(ReportWaitMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!reply->isFinished())
        qCInfo(lcReport, "the outcome report had no answer within %d ms", ReportWaitMs);
    else if (status < 200 || status > 299)
        qCInfo(lcReport, "the outcome report was not taken: %s",
            qUtf8Printable(status ? QString::number(status) : reply->errorString()));
    reply->abort();
    delete reply;
}
