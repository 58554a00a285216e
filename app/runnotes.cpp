#include "runnotes.h"

#include "cachecheck.h"
#include "changedetection.h"
#include "runlog.h"
#include "updateattempt.h"

#include <QCoreApplication>
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcRun, "updater.run")

QString orNone(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("-") : value;
}
} // namespace

void beginRunLog(const UpdateContext &context, const UpdaterConfig &config, bool trim)
{
    QDir cache = context.cacheDir;
    QString error;
    if (!useCheckedCacheDir(cache, error))
        return;
    // named after the installed release's files, read without building its entries
    QFile applied;
    const QStringList names = openAppliedManifest(context.installRoot, applied)
        ? manifestTopNames(applied)
        : QStringList();
    startRunLog(cache, names, trim);
    qCInfo(lcRun, "%s%s", runLogRunMark().constData(),
        qUtf8Printable(QCoreApplication::arguments().join(QLatin1Char(' '))));
    qCInfo(lcRun, "URL=%s DownLoadUrl=%s Cache=%s ExeName=%s", qUtf8Printable(config.baseUrl),
        qUtf8Printable(orNone(config.downloadUrl)), qUtf8Printable(config.cachePath),
        qUtf8Printable(config.hostProgram));
    const TransferSettings &transfer = config.transfer;
    qCInfo(lcRun,
        "Proxy=%s CaCertificates=%s PublicKeys=%d ReportUrl=%s HealthCheck=%d StallTimeout=%d "
        "Transfers=%d MinimumRate=%lld MinimumRateWindow=%d",
        qUtf8Printable(orNone(config.proxy)), qUtf8Printable(orNone(config.caCertificates)),
        int(config.publicKeys.split(QLatin1Char(' '), Qt::SkipEmptyParts).size()),
        qUtf8Printable(orNone(config.reportUrl)), config.healthCheck, transfer.stallTimeout,
        transfer.transfers, transfer.minimumRate, transfer.rateWindow / 1000);
}

void logAttemptEnd(const UpdateAttempt &attempt, AttemptResult result)
{
    const UpdateDescriptor &release = attempt.descriptor;
    const QString &event = attempt.outcome.event;
    if (result == AttemptResult::NotInstalled && event.isEmpty() && !release.folder.isEmpty()) {
        qCInfo(lcRun, "nothing to update: the installation holds %s (%s)",
            qUtf8Printable(release.version), qUtf8Printable(release.folder));
    } else if (event == QLatin1String("left-out")) {
        qCInfo(lcRun, "left out of the rollout of %s", qUtf8Printable(release.version));
    } else if (event == QLatin1String("installed")) {
        qCInfo(lcRun, "%s (%s) installed: %d files, %lld bytes fetched",
            qUtf8Printable(release.version), qUtf8Printable(release.folder),
            int(attempt.changes.size()), attempt.outcome.bytesFetched);
    } else if (!event.isEmpty()) {
        qCInfo(lcRun, "%s %s", qUtf8Printable(event), qUtf8Printable(attempt.outcome.error));
    }
}
