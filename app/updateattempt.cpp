#include "updateattempt.h"

#include "cachecheck.h"
#include "cdownloadthread.h"
#include "changedetection.h"
#include "filewrite.h"
#include "installrights.h"
#include "patchchoice.h"
#include "pathtrust.h"
#include "proxyaccess.h"
#include "publicationurls.h"
#include "outcomereport.h"
#include "releasefetch.h"
#include "reservednames.h"
#include "rollbackrun.h"
#include "rolloutchoice.h"
#include "runlog.h"
#include "runnotes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QUrl>

#include <algorithm>

namespace {
Q_LOGGING_CATEGORY(lcState, "updater.state")

// An entry costs some 300 bytes once parsed, and every listed file a look at the disk: a
// manifest of millions of minimal lines would take gigabytes and minutes before the first
// download. Far more files than any application ships, and within half a gigabyte.
constexpr int MaxManifestLines = 500000;

// the messages' translation context, in which the catalogs (translations/) hold them
struct Message
{
    Q_DECLARE_TR_FUNCTIONS(QObject)
};

bool fetchDescriptor(UpdateAttempt &attempt, UpdateFrontend &frontend, QString &error)
{
    QString reason;
    if (fetchReleaseFile(attempt.context, frontend, descriptorUrl(attempt.context.baseUrl),
            attempt.descriptorBytes, reason, nullptr, MaxDescriptorSize))
        return true;
    error = Message::tr("下载升级描述文件失败:%1").arg(reason);
    return false;
}

// Everything in the cache is installed with administrator rights: a cache that someone else
// could change or replace, or a link that leads somewhere else, is not used at all. The attempt
// goes on with the path that was checked, never again through a link.
bool useCheckedCache(UpdateAttempt &attempt, QString &error)
{
    return useCheckedCacheDir(attempt.context.cacheDir, error);
}

// The cache keeps the descriptor of the last attempt; one that could not be saved whole (a full
// disk) fails the attempt. Its values are read from the bytes fetched.
bool saveDescriptor(UpdateAttempt &attempt, QString &error)
{
    const QString path = attempt.context.cacheDir.absoluteFilePath(savedDescriptorName());
    QString reason;
    if (!writeFileBytes(path, attempt.descriptorBytes, &reason)) {
        error = Message::tr("创建文件[%1]失败:%2").arg(path, reason);
        return false;
    }
    attempt.descriptor = parseDescriptor(attempt.descriptorBytes);
    return true;
}

// A check that cannot install needs no cache: one that is unsafe, missing or refuses the
// descriptor (made by another user, in a folder this one cannot write) is left alone, and the
// check goes on without a copy of update.ini or a run log. Nothing it keeps is ever installed:
// what is installed is fetched by a run with the rights, into a cache of its own.
bool keepDescriptor(UpdateAttempt &attempt, QString &error)
{
    if (attempt.mayInstall)
        return useCheckedCache(attempt, error) && saveDescriptor(attempt, error);
    if (useCheckedCache(attempt, error) && saveDescriptor(attempt, error))
        return true;
    qCInfo(lcState, "checking without the cache: %s", qUtf8Printable(error));
    error.clear();
    attempt.withoutCache = true;
    attempt.descriptor = parseDescriptor(attempt.descriptorBytes);
    return true;
}

// A signed release (the configuration names keys): nothing past its statement is fetched
// unless it verifies. The statement's bytes are dropped once read: what arrives before a
// signature is checked is held once.
bool verifyRelease(UpdateAttempt &attempt, UpdateFrontend &frontend, QString &error)
{
    const UpdateContext &context = attempt.context;
    if (context.publicKeys.isEmpty())
        return true;
    QByteArray statementBytes;
    QString reason;
    if (!fetchReleaseFile(context, frontend, signatureUrl(context.baseUrl), statementBytes, reason,
            nullptr, MaxStatementSize)) {
        error = Message::tr("下载升级签名文件失败:%1").arg(reason);
        return false;
    }
    if (!verifyStatement(statementBytes, context.publicKeys, attempt.descriptorBytes,
            attempt.descriptor, attempt.installed, QDateTime::currentDateTimeUtc(),
            attempt.statement, error))
        return false;
    attempt.signedRecord = recordAfter(attempt.installed, attempt.statement);
    return true;
}

// A signed release's manifest is the one signed, or it is not even parsed; its entries then
// carry their signed hashes.
bool fetchManifest(UpdateAttempt &attempt, UpdateFrontend &frontend, QString &error)
{
    attempt.folderUrl = folderUrl(attempt.context.baseUrl, attempt.descriptor.folder);
    QString reason;
    if (!fetchReleaseFile(attempt.context, frontend, manifestUrl(attempt.folderUrl),
            attempt.manifestBytes, reason, nullptr, MaxFetchedBody, &attempt.http2)) {
        error = Message::tr("下载更新列表文件失败:%1").arg(reason);
        return false;
    }
    if (attempt.signedRecord && !verifyManifest(attempt.manifestBytes, attempt.statement, error))
        return false;
    const QByteArray &bytes = attempt.manifestBytes;
    const auto lines = int(std::count(bytes.cbegin(), bytes.cend(), '\n')); // (vectorized)
    if (lines > MaxManifestLines) {
        error = Message::tr("更新列表文件条目过多:%1行,最多%2行").arg(lines).arg(MaxManifestLines);
        return false;
    }
    // an installation that recorded this very md5.txt has nothing to update, found without
    // parsing a hundred thousand lines twice (the run log was named after it at the start)
    attempt.holdsManifest = appliedManifestIs(attempt.context.installRoot, bytes);
    attempt.remote.clear();
    if (attempt.holdsManifest)
        return true;
    attempt.remote = parseManifest(attempt.manifestBytes);
    if (!attempt.withoutCache)
        startRunLog(attempt.context.cacheDir, attempt.remote.keys());
    return !attempt.signedRecord || attachSignedHashes(attempt.statement, attempt.remote, error);
}

void findChanges(UpdateAttempt &attempt)
{
    attempt.applied.clear();
    attempt.changes.clear();
    if (attempt.holdsManifest)
        return;
    attempt.applied = readAppliedManifest(attempt.context.installRoot);
    attempt.changes = detectChanges(attempt.remote, attempt.applied, attempt.context.installRoot);
}

// The patches the release offers for the changed files whose installed copy they apply to,
// asked for only where the release announces them, once the update goes ahead: a server without
// them never sees a request it did not expect. The index is optional and any trouble with it
// means whole files, told only in the log; a signed release's index must be the one its
// statement names.
void fetchPatches(UpdateAttempt &attempt, UpdateFrontend &frontend)
{
    if (!attempt.descriptor.deltaIndex)
        return;
    QByteArray bytes;
    QString error;
    QList<DeltaPatch> patches;
    int status = 0;
    const PublicationUrl index = folderFileUrl(attempt.folderUrl, deltaIndexName());
    if (!fetchReleaseFile(attempt.context, frontend, index, bytes, error, &status)) {
        // none published is no news
        if (status != 404)
            qCInfo(lcDelta, "no patches: the index cannot be fetched (%s)", qUtf8Printable(error));
    } else if (attempt.signedRecord
        && attempt.statement.files.value(deltaIndexName())
            != signedHashHex(attempt.statement.fileHash, bytes))
        qCInfo(lcDelta, "no patches: the index is not the one the release statement signs");
    else if (!parseDeltaIndex(bytes, patches))
        qCInfo(lcDelta, "no patches: the index is not in the expected format");
    attempt.patches
        = choosePatches(patches, attempt.changes, attempt.applied, attempt.context.installRoot);
    if (!patches.isEmpty())
        qCInfo(lcDelta, "%d of %d changed files have a patch for the installed copy",
            attempt.patches.size(), attempt.changes.size());
}

// For a signed release, the record against rollback, written before any of its files is
// installed (and when the installation holds it already): a release whose record could not be
// kept would lower the guard against the older ones. A release of an unsigned publication is
// recorded when update.ini numbers it, so that a rollout's fallback is never a step back.
bool keepReleaseRecord(const UpdateAttempt &attempt, QString &error)
{
    std::optional<ReleaseRecord> record = attempt.signedRecord;
    if (!record && attempt.descriptor.release != 0) {
        record = ReleaseRecord();
        record->release = attempt.descriptor.release;
        record->folder = attempt.descriptor.folder;
        record->version = attempt.descriptor.version;
    }
    const QDir &installRoot = attempt.context.installRoot;
    QString reason;
    if (!record || writeReleaseRecord(installRoot, *record, reason))
        return true;
    error = Message::tr("创建文件[%1]失败:%2")
                .arg(installRoot.absoluteFilePath(releaseRecordName()), reason);
    return false;
}

// The worker downloads the changed files (or their patches) into the cache, verifies them and
// installs them; true once everything is installed. Otherwise message says why (empty when the
// user stopped it), and a proxy's demand for credentials during the downloads is in challenge.
bool downloadAndInstall(UpdateAttempt &attempt, UpdateFrontend &frontend, QString &message,
    std::optional<ProxyChallenge> &challenge)
{
    const UpdateContext &context = attempt.context;
    const Manifest &changes = attempt.changes;
    const QMap<QString, DeltaPatch> &patches = attempt.patches;
    const QString &folderUrl = attempt.folderUrl;
    CDownloadThread worker(folderUrl, context.cacheDir, context.installRoot, changes.values());
    worker.setPatches(patches);
    worker.setUpdateRecord(attempt.undoBase);
    worker.setTransferSettings(context.transfer);
    worker.setHttp2(attempt.http2);
    if (context.proxy) {
        ProxyAccess *proxy = context.proxy;
        worker.setNetworkSetup(
            [proxy](QNetworkAccessManager &manager) { proxy->setUpKeepingChallenges(manager); });
    }
    frontend.runWorker(worker, attempt.forced());
    // no late signal of the worker may reach what the attempt is about to destroy
    QObject::disconnect(&worker, nullptr, nullptr, nullptr);
    // the demand kept during the downloads, if any, is this run's: the one place it is taken
    if (context.proxy)
        challenge = context.proxy->takeChallenge();
    attempt.outcome.bytesFetched = worker.bytesFetched();
    attempt.outcome.bytesSavedByPatches = worker.bytesSavedByPatches();
    if (worker.succeeded())
        return true;
    message = worker.errorMessage();
    return false;
}

// The applied manifest, once the installation holds the release. It only spares the next run
// the hashing of files it lists: when it cannot be written, the old one stays and the next run
// fetches the files that changed once more, so the run log says why and the update stands.
void recordAppliedManifest(const UpdateAttempt &attempt)
{
    const QString path = attempt.context.installRoot.absoluteFilePath(appliedManifestName());
    QString error;
    if (!writeFileBytes(path, attempt.manifestBytes, &error))
        qCWarning(lcState,
            "the applied manifest %s was not written (%s): the next run fetches "
            "the changed files again",
            qUtf8Printable(QDir::toNativeSeparators(path)), qUtf8Printable(error));
}
} // namespace

namespace {
// The steps in order; each outcome after change detection found something to update is noted
// in attempt.outcome for the vendor's report.
AttemptResult runSteps(UpdateAttempt &attempt, UpdateFrontend &frontend)
{
    const UpdateContext &context = attempt.context;
    const QUrl descriptor(descriptorUrl(context.baseUrl).url, QUrl::TolerantMode);
    if (!descriptor.isValid()) {
        frontend.reportFatal(Message::tr("配置错误"),
            Message::tr("升级描述文件地址不合法:%1").arg(descriptor.toString()));
        return AttemptResult::NotInstalled;
    }
    const auto failed = [&frontend, &attempt](const QString &message) {
        attempt.noteOutcome(QStringLiteral("failed"), message);
        return frontend.reportFailure(message) ? AttemptResult::NewAttempt
                                               : AttemptResult::NotInstalled;
    };

    QString error;
    if (!fetchDescriptor(attempt, frontend, error) || !keepDescriptor(attempt, error)
        || !verifyRelease(attempt, frontend, error) || !fetchManifest(attempt, frontend, error))
        return failed(error);
    findChanges(attempt);
    if (!attempt.changes.isEmpty()) {
        // the share of a staged rollout is asked only of an installation that lacks the release
        RolloutChoice choice = RolloutChoice::Release;
        attempt.foundChanges = true;
        if (!chooseRolloutRelease(attempt, choice, error))
            return failed(error);
        if (choice == RolloutChoice::Nothing) {
            // nothing is recorded: the installation has not taken the release
            attempt.noteOutcome(QStringLiteral("left-out"));
            frontend.reportComparison(false);
            return AttemptResult::NotInstalled;
        }
        if (choice == RolloutChoice::Fallback) {
            if (!takeFallback(attempt, frontend, error) || !fetchManifest(attempt, frontend, error))
                return failed(error);
            findChanges(attempt);
        }
    }
    // a release rolled back on this machine is left out until update.ini names another one
    if (!attempt.changes.isEmpty() && !attempt.withoutCache && releaseRolledBack(attempt)) {
        frontend.reportComparison(false);
        return AttemptResult::NotInstalled;
    }
    const bool update = !attempt.changes.isEmpty();
    // an updater started elevated for this run reports everything itself
    const bool elevates = update && !attempt.mayInstall && mayAskForRights(context);
    if (!elevates)
        frontend.reportComparison(update && attempt.forced());
    if (!update) {
        // the installation holds the release already: it is recorded as accepted all the same,
        // by a run that may write there
        if (attempt.mayInstall && !keepReleaseRecord(attempt, error))
            return failed(error);
        if (attempt.mayInstall && !attempt.holdsManifest)
            recordAppliedManifest(attempt);
        return AttemptResult::NotInstalled;
    }
    if (!attempt.forced() && !context.elevatedRun
        && !frontend.confirmUpdate(attempt.descriptor.version)) {
        attempt.noteOutcome(QStringLiteral("declined"));
        return AttemptResult::NotInstalled;
    }
    // nothing of the release is fetched, and nothing written, without the rights to install it
    if (!attempt.mayInstall && !elevates)
        return failed(Message::tr("需要管理员权限才能安装更新"));
    AttemptResult elevated = AttemptResult::NotInstalled;
    if (!attempt.mayInstall)
        return handOverToElevatedRun(attempt, frontend, elevated, error) ? elevated : failed(error);
    fetchPatches(attempt, frontend);
    attempt.undoBase = recordBeforeInstalling(attempt);
    if (!keepReleaseRecord(attempt, error))
        return failed(error);

    std::optional<ProxyChallenge> challenge;
    if (downloadAndInstall(attempt, frontend, error, challenge)) {
        recordAppliedManifest(attempt);
        attempt.noteOutcome(QStringLiteral("installed"));
        return attempt.forced() ? AttemptResult::InstalledForced : AttemptResult::InstalledOptional;
    }
    // stopped by the user: empty
    attempt.noteOutcome(
        error.isEmpty() ? QStringLiteral("declined") : QStringLiteral("failed"), error);
    // a proxy that refused the credentials during the downloads: new ones are asked for (in
    // dialog mode), and a new attempt uses them; otherwise the report says what the proxy wants
    if (frontend.answerProxyChallenge(context.proxy, challenge, error))
        return AttemptResult::NewAttempt;
    return frontend.reportWorkerFailure(error, attempt.forced()) ? AttemptResult::NewAttempt
                                                                 : AttemptResult::NotInstalled;
}
} // namespace

AttemptResult runAttempt(
    const UpdateContext &context, UpdateFrontend &frontend, std::optional<int> &exitCode)
{
    UpdateAttempt attempt(context);
    attempt.mayInstall = mayInstallNow(context);
    attempt.context.manager->clearAccessCache();
    attempt.installed = readReleaseRecord(context.installRoot);
    QElapsedTimer clock;
    clock.start();
    const AttemptResult result = runSteps(attempt, frontend);
    logAttemptEnd(attempt, result);
    if (attempt.foundChanges && !attempt.outcome.event.isEmpty() && !context.reportUrl.isEmpty()) {
        OutcomeReport &report = attempt.outcome;
        report.fromFolder = attempt.installed.folder;
        report.fromVersion = attempt.installed.version;
        report.folder = attempt.descriptor.folder;
        report.version = attempt.descriptor.version;
        report.signedRelease = attempt.signedRecord.has_value();
        report.fallback = attempt.fallback;
        report.error = context.passwords.hidden(report.error);
        report.milliseconds = clock.elapsed();
        sendOutcomeReport(context.manager, context.reportUrl, report);
    }
    exitCode = attempt.elevatedExitCode;
    return result;
}
