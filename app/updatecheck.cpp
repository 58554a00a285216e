#include "updatecheck.h"

#include "filewrite.h"
#include "relaunch.h"
#include "runlog.h"
#include "updateapplication.h"
#include "changedetection.h"
#include "deltaindex.h"
#include "patchchoice.h"
#include "httprequest.h"
#include "proxyaccess.h"
#include "publicationurls.h"
#include "pathtrust.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSaveFile>
#include <QSettings>

namespace {
constexpr int FetchTimeoutSeconds = 5;
// far above any real manifest (some 800,000 files), far below what fills memory
constexpr qint64 MaxFetchedBody = 64 * 1024 * 1024;
// An entry costs some 300 bytes once parsed, and every listed file a look at the disk: a
// manifest of millions of minimal lines would take gigabytes and minutes before the first
// download. Far more files than any application ships, and within half a gigabyte.
constexpr int MaxManifestLines = 500000;
// What arrives before any signature is checked is held once and looked at without copies, so
// that the run stays within some 128 MiB. A descriptor is three keys: a thousand times that is
// plenty.
constexpr qint64 MaxDescriptorSize = 64 * 1024;
// The statement names every file, 71 bytes and the encoded path a line: room for the largest
// manifest taken with paths of 63 bytes on average, and a few signatures. (While Qt's network
// thread reads ahead, what it has read is held beside the body: more would pass 128 MiB.)
constexpr qint64 MaxStatementSize = 64 * 1024 * 1024;

QString tr(const char *text)
{
    return QCoreApplication::translate("QObject", text);
}

// A proxy that wants credentials is asked for them here, once its refusal has ended the request,
// and the request is sent again: the question never runs inside Qt's wait for an answer, where
// the time limit would go on counting while a person types.
bool fetch(const UpdateContext &context, UpdateFrontend &frontend, const QString &url,
    QByteArray &body, QString &error, int *status = nullptr, qint64 maxBody = MaxFetchedBody)
{
    for (;;) {
        std::optional<ProxyChallenge> challenge;
        if (httpRequest(context.manager, QUrl(url, QUrl::TolerantMode), body, error,
                FetchTimeoutSeconds, maxBody, status, &challenge))
            return true;
        if (!frontend.answerProxyChallenge(context.proxy, challenge, error))
            return false;
    }
}

// A name the joining slash doubled is asked for once more with it single, after a 404. Found
// at neither, the message is the one of the URL asked for first, as before there was a second.
bool fetch(const UpdateContext &context, UpdateFrontend &frontend, const PublicationUrl &url,
    QByteArray &body, QString &error, int *status = nullptr, qint64 maxBody = MaxFetchedBody)
{
    int answered = 0;
    QString firstError;
    const bool fetched = getWithPlainFallback(url, [&](const QString &text, int &got) {
        const bool received = fetch(context, frontend, text, body, error, &got, maxBody);
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

// Whether the cache directory may be used, or false with the reason in error; a path that is no
// directory at all fails where the descriptor is saved. Every folder above it is checked as well: whoever
// may rename one of them could swap the checked cache for a directory of their own. resolved
// is the cache's path without links, the one that was checked.
bool checkCacheDir(const QString &path, QString &resolved, QString &error)
{
    QString above;
    if (!checkFolders(QFileInfo(path).absolutePath(), above, error))
        return false;
    resolved = QDir(above).filePath(QFileInfo(path).fileName());
    switch (pathKind(resolved)) {
    case PathKind::Link:
        error = tr("是指向别处的链接");
        return false;
    case PathKind::Directory:
        break;
    default:
        return true;
    }
    switch (ownership(resolved)) {
    case Ownership::Private:
        return true;
    case Ownership::OtherOwner:
        error = tr("属于其他用户");
        return false;
    case Ownership::OthersMayWrite:
        error = tr("其他用户可写入");
        return false;
    case Ownership::Unknown:
        break;
    }
    error = tr("无法读取其所有者和权限");
    return false;
}

// The patches the release offers for the changed files whose installed copy they apply to. The
// index is optional and any trouble with it means whole files, told only in the log; a signed
// release's index must be the one its statement names.
QMap<QString, DeltaPatch> availablePatches(const UpdateContext &context, UpdateFrontend &frontend,
    const QString &folder, const Manifest &changes, const Manifest &applied,
    const ReleaseStatement *statement)
{
    QByteArray bytes;
    QString error;
    QList<DeltaPatch> patches;
    int status = 0;
    const PublicationUrl index = folderFileUrl(folder, deltaIndexName());
    if (!fetch(context, frontend, index, bytes, error, &status)) {
        // none published is no news
        if (status != 404)
            qCInfo(lcDelta, "no patches: the index cannot be fetched (%s)", qUtf8Printable(error));
    }
    else if (statement && statement->files.value(deltaIndexName()) != sha256Hex(bytes))
        qCInfo(lcDelta, "no patches: the index is not the one the release statement signs");
    else if (!parseDeltaIndex(bytes, patches))
        qCInfo(lcDelta, "no patches: the index is not in the expected format");
    const QMap<QString, DeltaPatch> chosen = choosePatches(patches, changes, applied, context.installRoot);
    if (!patches.isEmpty())
        qCInfo(lcDelta, "%d of %d changed files have a patch for the installed copy",
            chosen.size(), changes.size());
    return chosen;
}

AttemptResult runAttempt(const UpdateContext &configured, UpdateFrontend &frontend)
{
    UpdateContext context = configured; // its cache resolved once checked, below
    context.manager->clearAccessCache();
    QByteArray body;
    QString error;

    const PublicationUrl descriptorAddress = descriptorUrl(context.baseUrl);
    const QUrl descriptor(descriptorAddress.url, QUrl::TolerantMode);
    if (!descriptor.isValid()) {
        frontend.reportFatal(
            tr("配置错误"), tr("升级描述文件地址不合法:%1").arg(descriptor.toString()));
        return AttemptResult::NotInstalled;
    }
    const auto failed = [&frontend](const QString &message) {
        return frontend.reportFailure(message) ? AttemptResult::NewAttempt
                                               : AttemptResult::NotInstalled;
    };

    if (!fetch(context, frontend, descriptorAddress, body, error, nullptr, MaxDescriptorSize))
        return failed(tr("下载升级描述文件失败:%1").arg(error));

    // Everything in the cache is installed with administrator rights: a cache that someone else
    // could change or replace, or a link that leads somewhere else, is not used at all. The
    // attempt goes on with the path that was checked, never again through a link.
    QString checkedCache;
    QString cacheProblem;
    if (!checkCacheDir(context.cacheDir.absolutePath(), checkedCache, cacheProblem))
        return failed(tr("缓存目录%1不安全:%2")
                          .arg(QDir::toNativeSeparators(context.cacheDir.absolutePath()),
                              cacheProblem));
    context.cacheDir.setPath(checkedCache);

    // a descriptor that was not saved whole (a full disk) would be read back as the defaults, a
    // forced update from "Base": that is a failure to save it
    const QString savedPath = context.cacheDir.absoluteFilePath(savedDescriptorName());
    if (!writeFileBytes(savedPath, body, &error))
        return failed(tr("创建文件[%1]失败:%2").arg(savedPath, error));
    const UpdateDescriptor values = readDescriptor(savedPath);

    // a signed release: nothing past this statement is fetched unless it verifies
    std::optional<ReleaseRecord> signedRecord;
    ReleaseStatement statement;
    if (!context.publicKeys.isEmpty()) {
        QByteArray statementBytes;
        if (!fetch(context, frontend, signatureUrl(context.baseUrl), statementBytes, error,
                nullptr, MaxStatementSize))
            return failed(tr("下载升级签名文件失败:%1").arg(error));
        const ReleaseRecord record = readReleaseRecord(context.installRoot);
        if (!verifyStatement(statementBytes, context.publicKeys, body, values, record,
                QDateTime::currentDateTimeUtc(), statement, error))
            return failed(error);
        signedRecord = recordAfter(record, statement);
    }

    const QString folder = folderUrl(context.baseUrl, values.folder);
    if (!fetch(context, frontend, manifestUrl(folder), body, error))
        return failed(tr("下载更新列表文件失败:%1").arg(error));
    // a signed release's manifest is the one signed, or it is not even parsed
    if (signedRecord && !verifyManifest(body, statement, error))
        return failed(error);
    const int lines = body.count('\n');
    if (lines > MaxManifestLines)
        return failed(tr("更新列表文件条目过多:%1行,最多%2行").arg(lines).arg(MaxManifestLines));

    Manifest remote = parseManifest(body);
    startRunLog(context.cacheDir, remote);
    if (signedRecord && !attachSignedHashes(statement, remote, error))
        return failed(error);
    const Manifest applied = readAppliedManifest(context.installRoot);
    const Manifest changes = detectChanges(remote, applied, context.installRoot);
    const bool forced = values.updateType != 0;
    frontend.reportComparison(!changes.isEmpty() && forced);
    if (changes.isEmpty()) {
        // the installation holds the release already: it is recorded as accepted all the same
        if (!keepReleaseRecord(context, signedRecord, error))
            return failed(error);
        recordAppliedManifest(context, body);
        return AttemptResult::NotInstalled;
    }
    if (!forced && !frontend.confirmUpdate(values.version))
        return AttemptResult::NotInstalled;
    // patches are asked for only where the release announces them, once the update goes ahead:
    // a server without them never sees a request it did not expect
    const QMap<QString, DeltaPatch> patches = values.deltaIndex
        ? availablePatches(
            context, frontend, folder, changes, applied, signedRecord ? &statement : nullptr)
        : QMap<QString, DeltaPatch>();
    return applyUpdate(context, frontend, changes, body, forced, folder, signedRecord, patches);
}
} // namespace

int runUpdateCheck(const UpdateContext &context, UpdateFrontend &frontend)
{
    for (;;) {
        const AttemptResult result = runAttempt(context, frontend);
        if (result == AttemptResult::NewAttempt)
            continue;
        if (frontend.relaunchesHost(result))
            relaunchHost(context.hostProgram);
        return result == AttemptResult::NotInstalled ? 1 : 0;
    }
}
