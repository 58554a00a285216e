#include "updateapplication.h"

#include "net/changedetection.h"
#include "net/proxyaccess.h"
#include "worker/cdownloadthread.h"

void recordAppliedRelease(const UpdateContext &context, const QByteArray &manifestBytes,
    const std::optional<ReleaseRecord> &signedRecord)
{
    writeFileBytes(context.installRoot.absoluteFilePath(appliedManifestName()), manifestBytes);
    if (signedRecord)
        writeReleaseRecord(context.installRoot, *signedRecord);
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
        worker.setNetworkSetup([proxy](QNetworkAccessManager &manager) { proxy->setUp(manager); });
        proxy->takeChallenge(); // only the downloads' own are answered below
    }
    frontend.runWorker(worker, forced);
    // no late signal of the worker may reach what the attempt is about to destroy
    QObject::disconnect(&worker, nullptr, nullptr, nullptr);

    if (worker.succeeded()) {
        recordAppliedRelease(context, manifestBytes, signedRecord);
        return forced ? AttemptResult::InstalledForced : AttemptResult::InstalledOptional;
    }
    // a proxy that refused the credentials during the downloads: new ones are asked for (in
    // dialog mode), and a new attempt uses them; otherwise the report says what the proxy wants
    QString message = worker.errorMessage();
    if (frontend.answerProxyChallenge(context.proxy, message))
        return AttemptResult::NewAttempt;
    return frontend.reportWorkerFailure(message, forced) ? AttemptResult::NewAttempt
                                                         : AttemptResult::NotInstalled;
}
