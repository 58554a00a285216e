#include "cdownloadthread.h"

#include "cachefilewriter.h"
#include "concurrentdigesthasher.h"
#include "entrychecks.h"
#include "filetransfer.h"
#include "installer.h"
#include "patchtransfer.h"
#include "pathtrust.h"
#include "reservednames.h"

#include <algorithm>

namespace {
// What the network layer and a hasher may hold of a body not hashed yet. Only a large file
// arriving faster than it is hashed fills them, and at most MaxLargeTransfers of those run at
// once, so memory stays flat however many transfers there are; a small file fits in its
// blocks whole. Two large files at once fill a fast link as well as more would.
constexpr qint64 LargeFileSize = 1024 * 1024;
constexpr int MaxLargeTransfers = 2;
constexpr qint64 LargeReplyBuffer = 4 * 1024 * 1024;
constexpr int LargeHasherBlocks = 32;
constexpr qint64 SmallReplyBuffer = 1024 * 1024;
constexpr int SmallHasherBlocks = int(LargeFileSize / ConcurrentDigestHasher::BlockSize);

bool isLarge(const ManifestEntry &entry)
{
    return entry.size >= quint64(LargeFileSize);
}
} // namespace

CDownloadThread::CDownloadThread(
    QString folderUrl, QDir cacheDir, QDir installRoot, QList<ManifestEntry> files, QObject *parent)
    : QThread(parent)
    , folderUrl(folderUrl)
    , cacheDir(cacheDir)
    , installRoot(installRoot)
    , files(files)
{
    // started and finished are emitted on the worker's thread: the job begins on this thread's
    // event loop once the thread runs, never inside the constructor or start()
    connect(this, &QThread::started, this, &CDownloadThread::beginJob, Qt::QueuedConnection);
    // a consumer that calls QThread::quit() directly still stops the job at its next step ...
    connect(
        this, &QThread::finished, this, [this] { threadEnded = true; }, Qt::DirectConnection);
    // ... and the transfers in flight end with the thread, their temporary files removed,
    // before the consumers (connected later) hear of the end
    connect(this, &QThread::finished, this, [this] {
        if (!jobEnded) {
            jobEnded = true;
            endTransfers();
        }
    });
}

CDownloadThread::~CDownloadThread()
{
    jobEnded = true;
    endTransfers();
    // never leave a running thread behind, whatever the consumer did
    QThread::quit();
    wait();
}

bool CDownloadThread::succeeded() const
{
    return success.load();
}

QString CDownloadThread::errorMessage() const
{
    return outcome;
}

void CDownloadThread::quit()
{
    if (!jobEnded) {
        jobEnded = true;
        endTransfers();
    }
    QThread::quit();
}

void CDownloadThread::setTransferSettings(const TransferSettings &chosen)
{
    settings = chosen;
    settings.transfers = qBound(1, chosen.transfers, 64);
    settings.http2Transfers = qBound(1, chosen.http2Transfers, 64);
    settings.minimumRate = qMax<qint64>(0, chosen.minimumRate);
    settings.rateWindow = qMax(0, chosen.rateWindow);
    settings.lockedFileWait = qMax(0, chosen.lockedFileWait);
}

void CDownloadThread::setNetworkSetup(std::function<void(QNetworkAccessManager &)> setup)
{
    networkSetup = std::move(setup);
}

void CDownloadThread::setHttp2(bool spoken)
{
    http2 = spoken;
}

int CDownloadThread::transfersAtOnce() const
{
    return http2 ? settings.http2Transfers : settings.transfers;
}

int CDownloadThread::leastLoadedManager()
{
    // Qt opens at most six connections to a server per manager over HTTP/1.1; over HTTP/2 a
    // manager carries every transfer as a stream of one connection
    constexpr int ConnectionsPerManager = 6;
    const size_t wanted = http2
        ? 1
        : size_t((transfersAtOnce() + ConnectionsPerManager - 1) / ConnectionsPerManager);
    while (managers.size() < wanted) {
        managers.push_back(std::make_unique<QNetworkAccessManager>());
        managerLoad.push_back(0);
        if (networkSetup)
            networkSetup(*managers.back());
    }
    return int(std::min_element(managerLoad.begin(), managerLoad.end()) - managerLoad.begin());
}

void CDownloadThread::setPatches(QMap<QString, DeltaPatch> chosen)
{
    patches = std::move(chosen);
}

QUrl CDownloadThread::fileUrl(const QString &folderUrl, const QString &path)
{
    QByteArray encoded;
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (!encoded.isEmpty())
            encoded += '/';
        encoded += QUrl::toPercentEncoding(segment, "!$&'()*+,;=@");
    }
    return QUrl(folderUrl + QString::fromLatin1(encoded), QUrl::TolerantMode);
}

bool CDownloadThread::stopped() const
{
    return jobEnded || threadEnded.load();
}

QFileInfo CDownloadThread::cacheFileOf(const ManifestEntry &entry) const
{
    return QFileInfo(cacheDir.absoluteFilePath(entry.path));
}

void CDownloadThread::beginJob()
{
    if (stopped())
        return;
    // the parser already drops unsafe paths; this guards every other way a list could be built
    int failing = -1;
    QString error;
    if (!checkEntries(files, cacheDir, installRoot, failing, error)) {
        fail(cacheFileOf(files.at(failing)), error);
        return;
    }
    // the cache mirrors the installation: a release may have a ".partial" of its own
    QStringList paths;
    downloads.resize(size_t(files.size()));
    for (int index = 0; index < files.size(); ++index) {
        Download &download = downloads[size_t(index)];
        download.entry = files.at(index);
        download.large = isLarge(download.entry);
        paths.append(download.entry.path);
    }
    partialFolder = freeCacheName(partialFolderBaseName(), paths);
    startTransfers();
}

void CDownloadThread::startTransfers()
{
    while (!stopped() && running < transfersAtOnce() && next < files.size()) {
        // files start in manifest order: a large one waits for a large one to end
        if (downloads[size_t(next)].large && runningLarge >= MaxLargeTransfers)
            break;
        if (!startTransfer(next++))
            return;
    }
    announceInOrder();
}

bool CDownloadThread::startTransfer(int index)
{
    Download &download = downloads[size_t(index)];
    const ManifestEntry &entry = download.entry;
    const QFileInfo cacheFile = cacheFileOf(entry);
    const QString cachePath = cacheFile.absoluteFilePath();
    // nothing in the cache is read, written or removed through a link
    QString error;
    if (!clearCacheDirs(cacheDir.absolutePath(), entry.path, error)) {
        fail(cacheFile, error);
        return false;
    }
    const PathKind kind = pathKind(cachePath);
    if (kind == PathKind::File) {
        // used again only when nobody but this user can have put it there or changed it; any
        // other file is replaced once the download has been verified
        if (ownership(cachePath) == Ownership::Private
            && verifyFileDigests(cachePath, entry.digest, entry.signedHashKind, entry.signedHash)) {
            download.state = State::Cached;
            return true;
        }
    } else if (kind != PathKind::Missing) {
        // a directory, a link, a fifo: out of the way, a link removed as a link
        if (!removeWithoutFollowing(cachePath)) {
            fail(cacheFile, tr("路径%1被占用，无法删除!").arg(cachePath));
            return false;
        }
    }
    if (!QFileInfo(cacheFile.absolutePath()).isDir())
        QDir().mkpath(cacheFile.absolutePath());

    auto &idle = download.large ? idleLargeHashers : idleHashers;
    if (idle.empty()) {
        download.hasher = std::make_unique<ConcurrentDigestHasher>(
            download.large ? LargeHasherBlocks : SmallHasherBlocks);
    } else {
        download.hasher = std::move(idle.back());
        idle.pop_back();
    }
    download.manager = leastLoadedManager();
    ++managerLoad[size_t(download.manager)];
    download.state = State::Transferring;
    ++running;
    if (download.large)
        ++runningLarge;
    const auto patch = patches.constFind(entry.path);
    if (patch != patches.cend()) {
        const PatchSource source {fileUrl(folderUrl, deltaPatchPath(*patch)), patch->size,
            patch->digest, installRoot.absolutePath(), entry.path};
        auto transfer = std::make_unique<PatchTransfer>(*managers[size_t(download.manager)], entry,
            source, cacheFile, settings, download.large ? LargeReplyBuffer : SmallReplyBuffer,
            *download.hasher, cacheDir.absoluteFilePath(partialFolder));
        PatchTransfer *started = transfer.get();
        watch(index, *started);
        connect(started, &PatchTransfer::failed, this, [this, index] { onPatchFailed(index); });
        download.transfer = std::move(transfer);
        download.patched = true;
        if (started->start())
            return !stopped();
        // the patch cannot be used: the whole file instead (the refused one is replaced below)
    }
    startWholeFile(index);
    return !stopped();
}

void CDownloadThread::startWholeFile(int index)
{
    Download &download = downloads[size_t(index)];
    download.patched = false;
    auto transfer = std::make_unique<FileTransfer>(*managers[size_t(download.manager)],
        download.entry, fileUrl(folderUrl, download.entry.path), cacheFileOf(download.entry),
        settings, download.large ? LargeReplyBuffer : SmallReplyBuffer, *download.hasher,
        cacheDir.absoluteFilePath(partialFolder));
    FileTransfer *started = transfer.get();
    watch(index, *started);
    download.transfer = std::move(transfer);
    started->start();
}

void CDownloadThread::watch(int index, Transfer &transfer)
{
    connect(&transfer, &Transfer::progress, this,
        [this, index](qint64 bytesReceived, qint64 bytesTotal) {
            if (index == shown && shownAnnounced && !stopped())
                emit downloadProgress(bytesReceived, bytesTotal);
        });
    connect(&transfer, &Transfer::finished, this, [this, index] { onTransferFinished(index); });
}

void CDownloadThread::onPatchFailed(int index)
{
    // falling back is a fresh transfer of the whole file, on the same manager and hasher;
    // the patch's transfer is deleted later, not inside its own signal
    Transfer *patchTransfer = downloads[size_t(index)].transfer.release();
    fetched += patchTransfer->bytesReceived();
    patchTransfer->deleteLater();
    if (!stopped())
        startWholeFile(index);
}

void CDownloadThread::announceInOrder()
{
    // consumers hear of the files in manifest order, one at a time, whatever order the
    // transfers end in
    while (!stopped() && shown < files.size()) {
        Download &download = downloads[size_t(shown)];
        const State state = download.state;
        if (state == State::Waiting)
            return;
        if (state == State::Cached) {
            ++shown;
            continue;
        }
        Transfer *transfer = download.transfer.get();
        if (!shownAnnounced) {
            shownAnnounced = true;
            emit downloadStarted(cacheFileOf(download.entry), shown, files.size());
            if (stopped()) // a receiver may have abandoned the job
                return;
            if (transfer->bytesReceived() > 0)
                emit downloadProgress(transfer->bytesReceived(), transfer->bytesTotal());
            if (stopped())
                return;
        }
        if (state != State::Done)
            return;
        download.transfer.reset();
        ++shown;
        shownAnnounced = false;
    }
    if (!stopped() && shown >= files.size() && running == 0)
        installFiles();
}

void CDownloadThread::onTransferFinished(int index)
{
    if (stopped())
        return;
    Download &download = downloads[size_t(index)];
    --running;
    --managerLoad[size_t(download.manager)];
    download.state = State::Done;
    if (download.large) {
        --runningLarge;
        idleLargeHashers.push_back(std::move(download.hasher));
    } else {
        idleHashers.push_back(std::move(download.hasher));
    }
    const qint64 received = download.transfer->bytesReceived();
    fetched += received;
    qCInfo(lcTransfer, "%s: %s, %lld bytes received%s", qUtf8Printable(download.entry.path),
        download.transfer->succeeded() ? "verified" : "failed", received,
        download.patched ? " (a patch)" : " (the whole file)");
    if (!download.transfer->succeeded()) {
        fail(cacheFileOf(download.entry), download.transfer->errorMessage());
        return;
    }
    if (download.patched)
        savedByPatches += qMax<qint64>(0, qint64(download.entry.size) - received);
    // the transfer object is deleted once consumers have heard of it, not inside its own signal
    startTransfers();
}

void CDownloadThread::installFiles()
{
    QString flushError;
    if (!flushCacheDirectory(cacheDir.absolutePath(), &flushError)) {
        const QString cachePath = cacheDir.absolutePath();
        qCWarning(
            lcTransfer, "the cache cannot be put on the disk: %s", qUtf8Printable(flushError));
        fail(QFileInfo(cachePath),
            tr("更新文件%1写入失败").arg(QDir::toNativeSeparators(cachePath)));
        return;
    }
    Installer installer(cacheDir, installRoot, settings.lockedFileWait);
    if (undoRecord)
        installer.setUpdateRecord(*undoRecord);
    if (!installer.install(files)) {
        fail(QFileInfo(installer.failedPath()), installer.errorMessage());
        return;
    }
    succeed();
}

void CDownloadThread::endTransfers()
{
    for (Download &download : downloads) {
        if (download.transfer)
            download.transfer->abort(); // its temporary file is removed
    }
}

void CDownloadThread::fail(const QFileInfo &file, const QString &message)
{
    jobEnded = true;
    endTransfers();
    outcome = message;
    emit downloadFail(file, outcome);
    QThread::quit();
}

void CDownloadThread::succeed()
{
    jobEnded = true;
    success = true;
    outcome = tr("更新成功");
    QThread::quit();
}
