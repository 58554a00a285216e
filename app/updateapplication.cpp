#include "filewrite.h"
#include "updateapplication.h"

#include "changedetection.h"
#include "proxyaccess.h"
#include "cdownloadthread.h"

#include <QCoreApplication>
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcState, "updater.state")
} // namespace

bool keepReleaseRecord(const UpdateContext &context,
    const std::optional<ReleaseRecord> &signedRecord, QString &error)
{
    QString reason;
    if (!signedRecord || writeReleaseRecord(context.installRoot, *signedRecord, reason))
        return true;
    error = QCoreApplication::translate("QObject", "创建文件[%1]失败:%2")
                .arg(context.installRoot.absoluteFilePath(releaseRecordName()), reason);
    return false;
}

void recordAppliedManifest(const UpdateContext &context, const QByteArray &manifestBytes)
{
    const QString path = context.installRoot.absoluteFilePath(appliedManifestName());
    QString error;
    if (!writeFileBytes(path, manifestBytes, &error))
        qCWarning(lcState, "the applied manifest %s was not written (%s): the next run fetches "
                           "the changed files again",
            qUtf8Printable(QDir::toNativeSeparators(path)), qUtf8Printable(error));
}

QList<ManifestEntry> changedFileList(Manifest changes)
{
    QList<ManifestEntry> list;
    list.reserve(changes.size());
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        list.append(it.value());
    return list;
}

AttemptResult applyUpdate(const UpdateContext &context, UpdateFrontend &frontend, Manifest changes,
    QByteArray manifestBytes, bool forced, QString folderUrl,
    const std::optional<ReleaseRecord> &signedRecord, const QMap<QString, DeltaPatch> &patches)
{
    QString recordFailure;
    if (!keepReleaseRecord(context, signedRecord, recordFailure))
        return frontend.reportFailure(recordFailure) ? AttemptResult::NewAttempt
                                                     : AttemptResult::NotInstalled;

    CDownloadThread worker(
        folderUrl, context.cacheDir, context.installRoot, changedFileList(changes));
    worker.setPatches(patches);
    if (context.stallTimeout > 0)
        worker.setStallTimeout(context.stallTimeout);
    if (context.transfers > 0)
        worker.setTransfers(context.transfers);
    if (context.minimumRate >= 0 || context.rateWindow > 0)
        worker.setMinimumRate(
            context.minimumRate >= 0 ? context.minimumRate : CDownloadThread::defaultMinimumRate(),
            context.rateWindow > 0 ? context.rateWindow : CDownloadThread::defaultRateWindow());
    if (context.proxy) {
        ProxyAccess *proxy = context.proxy;
        worker.setNetworkSetup([proxy](QNetworkAccessManager &manager) {
            proxy->setUpKeepingChallenges(manager);
        });
    }
    frontend.runWorker(worker, forced);
    // no late signal of the worker may reach what the attempt is about to destroy
    QObject::disconnect(&worker, nullptr, nullptr, nullptr);
    // the demand kept during the downloads, if any, is this run's: the one place it is taken
    std::optional<ProxyChallenge> challenge;
    if (context.proxy)
        challenge = context.proxy->takeChallenge();

    if (worker.succeeded()) {
        recordAppliedManifest(context, manifestBytes);
        return forced ? AttemptResult::InstalledForced : AttemptResult::InstalledOptional;
    }
    // a proxy that refused the credentials during the downloads: new ones are asked for (in
    // dialog mode), and a new attempt uses them; otherwise the report says what the proxy wants
    QString message = worker.errorMessage();
    if (frontend.answerProxyChallenge(context.proxy, challenge, message))
        return AttemptResult::NewAttempt;
    return frontend.reportWorkerFailure(message, forced) ? AttemptResult::NewAttempt
                                                         : AttemptResult::NotInstalled;
}
