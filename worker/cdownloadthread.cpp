#include "cdownloadthread.h"

#include "worker/cachefilewriter.h"
#include "worker/cachetrust.h"
#include "worker/concurrentdigesthasher.h"
#include "worker/entrychecks.h"
#include "worker/installer.h"

namespace {
// what the network layer and the hashers may hold of bodies not yet hashed, shared by the
// transfers in flight, so that memory stays flat however many there are
constexpr qint64 ReplyBufferBudget = 4 * 1024 * 1024;
constexpr qint64 MinimumReplyBuffer = 1024 * 1024;
constexpr int HasherBlockBudget = 32;
constexpr int MinimumHasherBlocks = 4;
} // namespace

CDownloadThread::CDownloadThread(QString folderUrl, QDir cacheDir, QDir installRoot,
                                 QList<ManifestEntry> files, QObject *parent)
    : QThread(parent)
    , folderUrl(folderUrl)
    , cacheDir(cacheDir)
    , installRoot(installRoot)
    , files(files)
    , lockedFileWait(Installer::defaultLockedFileWait())
{
    limits.stallTimeout = defaultStallTimeout();
    limits.minimumRate = defaultMinimumRate();
    limits.rateWindow = defaultRateWindow();
    // started and finished are emitted on the worker's thread: the job begins on this thread's
    // event loop once the thread runs, never inside the constructor or start()
    connect(this, &QThread::started, this, &CDownloadThread::beginJob, Qt::QueuedConnection);
    // a consumer that calls QThread::quit() directly still stops the job at its next step ...
    connect(
            this, &QThread::finished, this, [this] { threadEnded = true; },
            Qt::DirectConnection);
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

void CDownloadThread::setStallTimeout(int milliseconds)
{
    limits.stallTimeout = milliseconds;
}

int CDownloadThread::defaultStallTimeout()
{
    return 60 * 1000;
}

void CDownloadThread::setTransfers(int count)
{
    transfers = qBound(1, count, 64);
}

int CDownloadThread::defaultTransfers()
{
    // Qt opens at most six connections to one server over HTTP/1.1; over HTTP/2 one carries all
    return 6;
}

void CDownloadThread::setMinimumRate(qint64 bytesPerSecond, int windowMilliseconds)
{
    limits.minimumRate = qMax<qint64>(0, bytesPerSecond);
    limits.rateWindow = qMax(0, windowMilliseconds);
}

qint64 CDownloadThread::defaultMinimumRate()
{
    // far below any working link (a poor mobile one moves some kilobytes a second), far above a
    // server that only keeps the connection alive
    return 1024;
}

int CDownloadThread::defaultRateWindow()
{
    return 2 * 60 * 1000;
}

void CDownloadThread::setLockedFileWait(int milliseconds)
{
    lockedFileWait = qMax(0, milliseconds);
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

bool CDownloadThread::redirectAllowed(const QUrl &from, const QUrl &to)
{
    return FileTransfer::redirectAllowed(from, to);
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
    const EntryProblem problem = checkEntries(files, cacheDir, installRoot);
    if (problem.index >= 0) {
        fail(cacheFileOf(files.at(problem.index)), problem.message);
        return;
    }
    states.assign(size_t(files.size()), State::Waiting);
    inFlight.resize(size_t(files.size()));
    busyHashers.resize(size_t(files.size()));
    limits.replyBufferSize = qMax(MinimumReplyBuffer, ReplyBufferBudget / transfers);
    startTransfers();
}

void CDownloadThread::startTransfers()
{
    while (!stopped() && running < transfers && next < files.size()) {
        if (!startTransfer(next++))
            return;
    }
    announceInOrder();
}

bool CDownloadThread::startTransfer(int index)
{
    const ManifestEntry &entry = files.at(index);
    const QFileInfo cacheFile = cacheFileOf(entry);
    const QString cachePath = cacheFile.absoluteFilePath();
    // nothing in the cache is read, written or removed through a link
    const QString blocked = clearCacheDirs(cacheDir.absolutePath(), entry.path);
    if (!blocked.isEmpty()) {
        fail(cacheFile, tr("路径%1被占用，无法删除!").arg(blocked));
        return false;
    }
    const PathKind kind = pathKind(cachePath);
    if (kind == PathKind::File) {
        // used again only when nobody but this user can have put it there or changed it; any
        // other file is replaced once the download has been verified
        if (ownership(cachePath) == Ownership::Private
            && verifyFileDigests(cachePath, entry.digest, entry.sha256)) {
            states[size_t(index)] = State::Cached;
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

    std::unique_ptr<ConcurrentDigestHasher> hasher;
    if (idleHashers.empty()) {
        hasher = std::make_unique<ConcurrentDigestHasher>(
                qMax(MinimumHasherBlocks, HasherBlockBudget / transfers));
    } else {
        hasher = std::move(idleHashers.back());
        idleHashers.pop_back();
    }
    auto transfer = std::make_unique<FileTransfer>(
            manager, entry, fileUrl(folderUrl, entry.path), cacheFile, limits, *hasher,
            cacheDir.absoluteFilePath(QStringLiteral(".partial")));
    connect(transfer.get(), &FileTransfer::progress, this,
            [this, index](qint64 bytesReceived, qint64 bytesTotal) {
                if (index == shown && shownAnnounced && !stopped())
                    emit downloadProgress(bytesReceived, bytesTotal);
            });
    connect(transfer.get(), &FileTransfer::finished, this,
            [this, index] { onTransferFinished(index); });
    FileTransfer *started = transfer.get();
    busyHashers[size_t(index)] = std::move(hasher);
    inFlight[size_t(index)] = std::move(transfer);
    states[size_t(index)] = State::Transferring;
    ++running;
    started->start();
    return !stopped();
}

void CDownloadThread::announceInOrder()
{
    // consumers hear of the files in manifest order, one at a time, whatever order the
    // transfers end in
    while (!stopped() && shown < files.size()) {
        const State state = states[size_t(shown)];
        if (state == State::Waiting)
            return;
        if (state == State::Cached) {
            ++shown;
            continue;
        }
        FileTransfer *transfer = inFlight[size_t(shown)].get();
        if (!shownAnnounced) {
            shownAnnounced = true;
            emit downloadStarted(transfer->cacheFile(), shown, files.size());
            if (stopped()) // a receiver may have abandoned the job
                return;
            if (transfer->bytesReceived() > 0)
                emit downloadProgress(transfer->bytesReceived(), transfer->bytesTotal());
            if (stopped())
                return;
        }
        if (state != State::Done)
            return;
        inFlight[size_t(shown)].reset();
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
    FileTransfer *transfer = inFlight[size_t(index)].get();
    --running;
    states[size_t(index)] = State::Done;
    idleHashers.push_back(std::move(busyHashers[size_t(index)]));
    if (!transfer->errorMessage().isEmpty()) {
        fail(transfer->cacheFile(), transfer->errorMessage());
        return;
    }
    // the transfer object is deleted once consumers have heard of it, not inside its own signal
    startTransfers();
}

void CDownloadThread::installFiles()
{
    if (!flushCacheDirectory(cacheDir.absolutePath())) {
        const QString cachePath = cacheDir.absolutePath();
        fail(QFileInfo(cachePath), tr("更新文件%1写入失败").arg(QDir::toNativeSeparators(cachePath)));
        return;
    }
    Installer installer(cacheDir, installRoot);
    installer.setLockedFileWait(lockedFileWait);
    if (!installer.install(files)) {
        fail(QFileInfo(installer.failedPath()), installer.errorMessage());
        return;
    }
    succeed();
}

void CDownloadThread::endTransfers()
{
    for (std::unique_ptr<FileTransfer> &transfer : inFlight) {
        if (transfer)
            transfer->abort(); // its temporary file is removed
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
