#include "cdownloadthread.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <cstdio>

namespace {
// the network layer holds at most this much of a body that the hash has not consumed yet, so
// memory stays flat however large the file and however fast the network
constexpr qint64 ReplyBufferSize = 4 * 1024 * 1024;
constexpr qint64 ReadChunkSize = 256 * 1024;

// an answer that is not the file: its body is only counted, up to this much
constexpr qint64 DiscardLimit = 1024 * 1024;
// as many hops as the network layer itself would follow
constexpr int MaxRedirects = 50;

bool isBelow(const QDir &dir, const QString &absolutePath)
{
    const QString base = QDir::cleanPath(dir.absolutePath());
    const QString path = QDir::cleanPath(absolutePath);
    return path.startsWith(base + QLatin1Char('/')) && path.size() > base.size() + 1;
}

// the runtime's rename on names in the local 8-bit file-name encoding: a plain rename, never a copy
bool plainRename(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// the topmost directory that mkpath would create for dir, or an empty text when it exists
QString firstMissingDir(QString dir)
{
    QString missing;
    while (!QFileInfo::exists(dir)) {
        missing = dir;
        const QString parent = QFileInfo(dir).absolutePath();
        if (parent == dir)
            break;
        dir = parent;
    }
    return missing;
}

void removeCreatedDirs(const QString &deepest, const QString &topmost)
{
    QDir dir(deepest);
    for (;;) {
        const QString path = dir.absolutePath();
        if (!QDir().rmdir(path) || path == topmost)
            return;
        dir.setPath(QFileInfo(path).absolutePath());
    }
}
} // namespace

CDownloadThread::CDownloadThread(QString folderUrl, QDir cacheDir, QDir installRoot,
                                 QList<ManifestEntry> files, QObject *parent)
    : QThread(parent)
    , folderUrl(folderUrl)
    , cacheDir(cacheDir)
    , installRoot(installRoot)
    , files(files)
{
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(defaultStallTimeout());
    connect(&stallTimer, &QTimer::timeout, this, &CDownloadThread::onStalled);
    // started and finished are emitted on the worker's thread: the job begins on this thread's
    // event loop once the thread runs, never inside the constructor or start()
    connect(this, &QThread::started, this, &CDownloadThread::beginJob, Qt::QueuedConnection);
    // a consumer that calls QThread::quit() directly still stops the chain at its next step
    connect(
            this, &QThread::finished, this, [this] { threadEnded = true; },
            Qt::DirectConnection);
}

CDownloadThread::~CDownloadThread()
{
    jobEnded = true;
    if (reply)
        reply->abort();
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
        endTransfer();
    }
    QThread::quit();
}

void CDownloadThread::setStallTimeout(int milliseconds)
{
    stallTimer.setInterval(milliseconds);
}

int CDownloadThread::defaultStallTimeout()
{
    return 60 * 1000;
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
    if (checkPaths())
        downloadNext();
}

bool CDownloadThread::checkPaths()
{
    // the parser already drops unsafe paths; this guards every other way a list could be built
    for (const ManifestEntry &entry : qAsConst(files)) {
        const QFileInfo cacheFile = cacheFileOf(entry);
        if (!isSafeManifestPath(entry.path) || !isBelow(cacheDir, cacheFile.absoluteFilePath())
            || !isBelow(installRoot, installRoot.absoluteFilePath(entry.path))) {
            fail(cacheFile, tr("更新文件%1路径不合法").arg(entry.path));
            return false;
        }
    }
    return true;
}

void CDownloadThread::downloadNext()
{
    for (;;) {
        if (stopped())
            return;
        if (current >= files.size()) {
            installFiles();
            return;
        }
        const ManifestEntry &entry = files.at(current);
        const QFileInfo cacheFile = cacheFileOf(entry);
        if (cacheFile.isFile()) {
            if (verifyFileDigest(cacheFile.absoluteFilePath(), entry.digest)) {
                ++current;
                continue;
            }
        } else if (cacheFile.isDir()) {
            if (!QDir(cacheFile.absoluteFilePath()).removeRecursively()) {
                fail(cacheFile, tr("路径%1被占用，无法删除!").arg(cacheFile.absoluteFilePath()));
                return;
            }
        } else if (cacheFile.exists() || cacheFile.isSymLink()) {
            if (!QFile::remove(cacheFile.absoluteFilePath())) {
                fail(cacheFile, tr("路径%1被占用，无法删除!").arg(cacheFile.absoluteFilePath()));
                return;
            }
        } else if (!cacheFile.dir().exists()) {
            cacheFile.dir().mkpath(QStringLiteral("."));
        }

        emit downloadStarted(cacheFile, current, files.size());
        if (stopped()) // a receiver may have abandoned the job
            return;

        // the body streams into a temporary file beside the cache file; it replaces the cache
        // file only once status, size and digest have passed
        target = std::make_unique<QSaveFile>(cacheFile.absoluteFilePath());
        writeFailed = !target->open(QIODevice::WriteOnly);
        redirectsLeft = MaxRedirects;
        if (!sendRequest(fileUrl(folderUrl, entry.path))) {
            target.reset();
            fail(cacheFile, tr("下载更新文件%1失败").arg(cacheFile.fileName()));
        }
        return;
    }
}

bool CDownloadThread::sendRequest(const QUrl &url)
{
    // Redirections are followed here, whatever their target. Qt 5.15's user-verified redirect
    // policy loses the body of the final answer (status 100, nothing read), so each hop is a
    // request of its own.
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *sent = manager.get(request);
    if (!sent)
        return false;
    reply = sent;
    hasher.reset();
    received = 0;
    oversized = false;
    stalled = false;

    sent->setReadBufferSize(ReplyBufferSize);
    connect(sent, &QNetworkReply::downloadProgress, this,
            [this](qint64 bytesReceived, qint64 bytesTotal) {
                stallTimer.start();
                emit downloadProgress(bytesReceived, bytesTotal);
            });
    connect(sent, &QNetworkReply::readyRead, this, &CDownloadThread::onReadyRead);
    connect(sent, &QNetworkReply::finished, this, &CDownloadThread::onReplyFinished);
    stallTimer.start();
    return true;
}

void CDownloadThread::consume(QNetworkReply *source)
{
    const int status = source->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400) {
        // the body of a redirection that is about to be followed
        source->readAll();
        return;
    }
    const quint64 limit = status == 200 ? files.at(current).size : quint64(DiscardLimit);
    QByteArray buffer;
    while (source->bytesAvailable() > 0) {
        buffer = source->read(ReadChunkSize);
        if (buffer.isEmpty())
            break;
        received += buffer.size();
        if (quint64(received) > limit) {
            // a broken or hostile server can fill neither the disk nor the memory
            oversized = status == 200;
            source->abort();
            return;
        }
        if (status != 200)
            continue;
        hasher.addData(buffer);
        if (!writeFailed && target->write(buffer) != buffer.size())
            writeFailed = true;
    }
}

void CDownloadThread::onReadyRead()
{
    auto *source = qobject_cast<QNetworkReply *>(sender());
    if (!source || source != reply || stopped())
        return;
    stallTimer.start();
    consume(source);
}

void CDownloadThread::onStalled()
{
    if (!reply)
        return;
    stalled = true;
    reply->abort();
}

void CDownloadThread::endTransfer()
{
    stallTimer.stop();
    if (reply) {
        QNetworkReply *inFlight = reply;
        reply = nullptr;
        inFlight->disconnect(this);
        inFlight->abort();
        inFlight->deleteLater();
    }
    target.reset(); // an uncommitted temporary file is removed
}

void CDownloadThread::onReplyFinished()
{
    auto *source = qobject_cast<QNetworkReply *>(sender());
    if (!source)
        return;
    source->deleteLater();
    if (source != reply || stopped())
        return;
    stallTimer.stop();

    const ManifestEntry entry = files.at(current);
    const QFileInfo cacheFile = cacheFileOf(entry);
    const int status = source->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!oversized && !stalled)
        consume(source); // whatever arrived with the end of the reply
    reply = nullptr;

    const QUrl redirect = source->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!stalled && status >= 300 && status < 400 && redirect.isValid()) {
        if (redirectsLeft-- > 0 && sendRequest(source->url().resolved(redirect)))
            return;
        target.reset();
        fail(cacheFile, tr("下载更新文件%1网络错误：%2-%3")
                                .arg(cacheFile.fileName(), QString::number(status),
                                     QCoreApplication::translate("QNetworkReply", "Too many redirects")));
        return;
    }

    if (stalled) {
        target.reset();
        fail(cacheFile, tr("下载更新文件%1网络错误：%2-%3")
                                .arg(cacheFile.fileName(), QString::number(0), tr("网络超时")));
        return;
    }
    if (status != 200) {
        target.reset();
        fail(cacheFile, tr("下载更新文件%1网络错误：%2-%3")
                                .arg(cacheFile.fileName(), QString::number(status),
                                     source->errorString()));
        return;
    }
    if (oversized || quint64(received) != entry.size) {
        target.reset();
        fail(cacheFile, tr("下载更新文件%1大小不对").arg(cacheFile.fileName()));
        return;
    }
    if (hasher.digestText() != entry.digest) {
        target.reset();
        fail(cacheFile, tr("更新文件%1校验不对").arg(cacheFile.fileName()));
        return;
    }
    const bool stored = !writeFailed && target->commit();
    target.reset();
    if (!stored) {
        fail(cacheFile, tr("更新文件%1写入失败").arg(cacheFile.fileName()));
        return;
    }
    ++current;
    downloadNext();
}

void CDownloadThread::installFiles()
{
    QList<InstalledFile> installed;
    for (const ManifestEntry &entry : qAsConst(files)) {
        InstalledFile file;
        file.destination = installRoot.absoluteFilePath(entry.path);
        file.cacheFile = cacheDir.absoluteFilePath(entry.path);
        const QFileInfo destination(file.destination);
        const QString setAside = installRoot.absoluteFilePath(entry.path + QLatin1String(".old"));

        QString message;
        if (destination.exists()) {
            if (QFileInfo::exists(setAside) && !QFile::remove(setAside))
                message = tr("删除文件%1失败").arg(QFileInfo(setAside).fileName());
            else if (!plainRename(file.destination, setAside))
                message = tr("重命名%1为%2失败").arg(file.destination, setAside);
            else
                file.setAside = setAside;
        } else if (!destination.dir().exists()) {
            file.createdDir = firstMissingDir(destination.absolutePath());
            if (!QDir().mkpath(destination.absolutePath()))
                message = tr("创建目录%1失败").arg(destination.absolutePath());
        }
        if (message.isEmpty() && !QFile::rename(file.cacheFile, file.destination))
            message = tr("覆盖文件%1失败").arg(destination.fileName());

        if (!message.isEmpty()) {
            undoInstall(file, false);
            for (auto it = installed.crbegin(); it != installed.crend(); ++it)
                undoInstall(*it, true);
            fail(destination, message);
            return;
        }
        installed.append(file);
    }
    succeed();
}

void CDownloadThread::undoInstall(const InstalledFile &file, bool moved)
{
    // puts the installation back as it was before this run and the file back in the cache,
    // where the next attempt finds it correct
    if (moved)
        QFile::rename(file.destination, file.cacheFile);
    if (!file.setAside.isEmpty())
        plainRename(file.setAside, file.destination);
    if (!file.createdDir.isEmpty())
        removeCreatedDirs(QFileInfo(file.destination).absolutePath(), file.createdDir);
}

void CDownloadThread::fail(const QFileInfo &file, const QString &message)
{
    jobEnded = true;
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
