#ifndef OUTCOMEREPORT_H
#define OUTCOMEREPORT_H

#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// How an attempt that found something to update ended, for the vendor: sent, when the
// configuration names a ReportUrl, as one GET whose query carries the fields below, so that any
// web server's access log collects them. Nothing in it names the installation, the user, the
// machine or a local path.
struct OutcomeReport
{
    // "installed", "failed", "declined", "left-out"; "rolled-back" (the last update undone: by
    // the watch of a host that failed, error then saying how, or by "updater rollback")
    QString event;
    QString version; // the release it went to (or was offered)
    QString folder;
    QString fromVersion; // the one it had, where known
    QString fromFolder;
    QString error; // the failure's text, passwords hidden
    qint64 bytesFetched = 0;
    qint64 bytesSavedByPatches = 0;
    qint64 milliseconds = 0;
    bool signedRelease = false;
    bool fallback = false; // the rollout's fallback in place of the release
};

// the report's URL: reportUrl with the fields added to its query as
//   event, version, folder, from_version, from_folder, error, bytes, saved, seconds, signed,
//   fallback
// (texts percent-encoded UTF-8, empty ones left out; seconds with one decimal; signed and
// fallback as 0 or 1)
QUrl outcomeReportUrl(const QString &reportUrl, const OutcomeReport &report);

// How long a report may take: an unreachable server delays the run by no more.
constexpr int OutcomeReportSeconds = 3;

// Sends the report once through manager, waiting at most OutcomeReportSeconds; whatever the
// answer, or none, nothing else changes (it is only logged).
void sendOutcomeReport(
    QNetworkAccessManager *manager, const QString &reportUrl, const OutcomeReport &report);

#endif // OUTCOMEREPORT_H
