#include "cdownloadthread.h"

#include "worker/cachetrust.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
// the network layer holds at most this much of a body that the hash has not consumed yet, so
// memory stays flat however large the file and however fast the network
constexpr qint64 ReplyBufferSize = 4 * 1024 * 1024;
// Every cached file is on the disk before anything is installed. Writing back what has arrived
// every so often, while the rest is still on its way, leaves that wait only the last piece of a
// large file instead of all of it.
constexpr qint64 WritebackInterval = 8 * 1024 * 1024;

// an answer that is not the file: its body is only counted, up to this much
constexpr qint64 DiscardLimit = 1024 * 1024;
// as many hops as the network layer itself would follow
constexpr int MaxRedirects = 50;

// a plain rename, never a copy. On Windows through the wide API: the runtime's narrow rename
// would take the names in the ANSI code page and turn every character outside it into "?".
bool plainRename(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    const QString nativeFrom = QDir::toNativeSeparators(from);
    const QString nativeTo = QDir::toNativeSeparators(to);
    return ::MoveFileExW(reinterpret_cast<const wchar_t *>(nativeFrom.utf16()),
                         reinterpret_cast<const wchar_t *>(nativeTo.utf16()), 0);
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

// the nearest directory at or above path's directory that exists
QString firstExistingDir(const QString &path)
{
    QString dir = QFileInfo(path).absolutePath();
    while (!QFileInfo(dir).isDir() && QFileInfo(dir).absolutePath() != dir)
        dir = QFileInfo(dir).absolutePath();
    return dir;
}

// true when names in dir ignore letter case: always on Windows; elsewhere a probe file is made
// and looked for under its name in the other case (a directory that cannot be written to is
// taken as case-sensitive, the common case)
bool foldsCase(const QString &dir)
{
#ifdef Q_OS_WIN
    Q_UNUSED(dir)
    return true;
#else
    QTemporaryFile probe(dir + QLatin1String("/.case-probe-XXXXXX"));
    if (!probe.open())
        return false;
    QString swapped = QFileInfo(probe.fileName()).fileName();
    for (QChar &c : swapped)
        c = c.isUpper() ? c.toLower() : c.toUpper();
    return QFileInfo::exists(dir + QLatin1Char('/') + swapped);
#endif
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

// true when one path is the other or lies below it
bool pathsOverlap(const QString &a, const QString &b, Qt::CaseSensitivity cs)
{
    const auto below = [cs](const QString &path, const QString &dir) {
        return path.size() > dir.size() && path.at(dir.size()) == QLatin1Char('/')
                && path.startsWith(dir, cs);
    };
    return a.compare(b, cs) == 0 || below(a, b) || below(b, a);
}

// Between the cache directory and a cache file lie only real directories of this user's: a
// link among them is removed as a link, a directory that someone else could change is removed
// with what it holds, and downloadNext makes the real ones. Returns the path that could not be
// removed, or an empty text.
QString clearCacheDirs(const QString &cacheDir, const QString &entryPath)
{
    QString path = cacheDir;
    const QStringList names = entryPath.split(QLatin1Char('/'));
    for (int i = 0; i + 1 < names.size(); ++i) {
        path += QLatin1Char('/') + names.at(i);
        const PathKind kind = pathKind(path);
        if (kind == PathKind::Directory && ownership(path) == Ownership::Private)
            continue;
        if ((kind == PathKind::Link || kind == PathKind::Directory)
            && !removeWithoutFollowing(path))
            return path;
        break; // made again below; a file in the way fails the download's write
    }
    return QString();
}

// A replacing file takes the permission bits of the file it replaces: an executable stays one.
// Set-user-ID, set-group-ID and sticky bits are not carried over.
bool takePermissions(const QString &replaced, const QString &replacing)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::lstat(QFile::encodeName(replaced).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return true; // nothing to take them from: the default stays
    return ::chmod(QFile::encodeName(replacing).constData(), status.st_mode & 0777) == 0;
#else
    // no such bits; the access list comes from the directory
    Q_UNUSED(replaced)
    Q_UNUSED(replacing)
    return true;
#endif
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

// The temporary file a download streams into; it replaces the cache file only when committed.
// On Linux the file has no name until then (O_TMPFILE), so a run that is killed leaves nothing
// behind, and committing does not wait for the disk: flushCache() puts every cached file on the
// disk at once before the first one is installed. One flush for the whole cache instead of one
// for each file is what makes an update of thousands of small files affordable. Elsewhere, and
// on a file system without unnamed files, QSaveFile does the job and flushes at each commit.
class CDownloadThread::CacheFileWriter
{
public:
    explicit CacheFileWriter(const QString &path)
        : path(path)
    {
    }

    ~CacheFileWriter()
    {
#ifdef Q_OS_LINUX
        if (descriptor >= 0)
            ::close(descriptor); // an unnamed file disappears with its descriptor
#endif
    }

    bool open()
    {
#ifdef Q_OS_LINUX
        // an unnamed file is named through /proc when it is committed
        static const bool haveProc = ::access("/proc/self/fd", F_OK) == 0;
        if (haveProc) {
            const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
            descriptor = ::open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
            if (descriptor >= 0)
                return true;
        }
#endif
        saveFile = std::make_unique<QSaveFile>(path);
        return saveFile->open(QIODevice::WriteOnly);
    }

    bool write(const char *data, qint64 length)
    {
        if (saveFile)
            return saveFile->write(data, length) == length;
#ifdef Q_OS_LINUX
        while (length > 0) {
            const ssize_t written = ::write(descriptor, data, size_t(length));
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            data += written;
            length -= written;
        }
        return true;
#else
        return false;
#endif
    }

    // starts writing what has been written so far to the disk, without waiting for it
    bool startWriteback()
    {
        if (saveFile && !saveFile->flush())
            return false;
#ifdef Q_OS_LINUX
        // a failure shows again where it matters, when the file is committed or flushed
        ::sync_file_range(saveFile ? saveFile->handle() : descriptor, 0, 0,
                          SYNC_FILE_RANGE_WRITE);
#endif
        return true;
    }

    bool commit()
    {
        if (saveFile)
            return saveFile->commit();
#ifdef Q_OS_LINUX
        // gives the unnamed file its name; a stale cache file of that name makes way first
        const QByteArray name = QFile::encodeName(path);
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(descriptor);
        const auto link = [&] {
            return ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(),
                            AT_SYMLINK_FOLLOW)
                    == 0;
        };
        bool linked = link();
        if (!linked && errno == EEXIST && ::unlink(name.constData()) == 0)
            linked = link();
        const bool closed = ::close(descriptor) == 0;
        descriptor = -1;
        return linked && closed;
#else
        return false;
#endif
    }

private:
    const QString path;
#ifdef Q_OS_LINUX
    int descriptor = -1;
#endif
    std::unique_ptr<QSaveFile> saveFile;
};

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
    // a consumer that calls QThread::quit() directly still stops the chain at its next step ...
    connect(
            this, &QThread::finished, this, [this] { threadEnded = true; },
            Qt::DirectConnection);
    // ... and the transfer in flight ends with the thread, its temporary file removed, before
    // the consumers (connected later) hear of the end
    connect(this, &QThread::finished, this, [this] {
        if (!jobEnded) {
            jobEnded = true;
            endTransfer();
        }
    });
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

bool CDownloadThread::redirectAllowed(const QUrl &from, const QUrl &to)
{
    // any web server, but never a local file or another scheme, and never from an encrypted
    // connection to a plain one
    const QString scheme = to.scheme();
    if (scheme == QLatin1String("https"))
        return true;
    return scheme == QLatin1String("http") && from.scheme() != QLatin1String("https");
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
    QHash<QString, QString> foldedPaths; // case-folded path to the path listed first
    // Nothing installs into the cache directory, onto it or onto a directory that holds it: a
    // release folder named like the cache ("update/x") would replace the cached file of another
    // entry before that one is installed, with bytes never checked against its own line.
    const auto resolved = [](const QDir &dir) {
        const QString canonical = dir.canonicalPath();
        return canonical.isEmpty() ? QDir::cleanPath(dir.absolutePath()) : canonical;
    };
    const QString cachePath = resolved(cacheDir);
    const QString rootPath = resolved(installRoot);
    const auto intoCache = [&](const QString &path) {
        const QString destination = rootPath + QLatin1Char('/') + path;
        if (!pathsOverlap(destination, cachePath, Qt::CaseInsensitive))
            return false;
        return pathsOverlap(destination, cachePath, Qt::CaseSensitive)
                || foldsCase(firstExistingDir(destination));
    };
    for (const ManifestEntry &entry : qAsConst(files)) {
        const QFileInfo cacheFile = cacheFileOf(entry);
        if (!isSafeManifestPath(entry.path)
            || !isPathBelow(cacheDir.absolutePath(), cacheFile.absoluteFilePath())
            || !isPathBelow(installRoot.absolutePath(), installRoot.absoluteFilePath(entry.path))
            || intoCache(entry.path)) {
            fail(cacheFile, tr("更新文件%1路径不合法").arg(entry.path));
            return false;
        }
        // Where names ignore case the two would be one file, and the second would set the first
        // aside over the original's .old: refused on Windows, and elsewhere where the
        // installation's file system folds case (a FAT or NTFS volume, a case-folding folder).
        const QString folded = entry.path.toCaseFolded();
        const auto clash = foldedPaths.constFind(folded);
        if (clash != foldedPaths.cend()
            && foldsCase(firstExistingDir(installRoot.absoluteFilePath(entry.path)))) {
            fail(cacheFile, tr("更新文件%1与%2路径仅大小写不同").arg(*clash, entry.path));
            return false;
        }
        foldedPaths.insert(folded, entry.path);
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
        const QString cachePath = cacheFile.absoluteFilePath();
        // nothing in the cache is read, written or removed through a link
        const QString blocked = clearCacheDirs(cacheDir.absolutePath(), entry.path);
        if (!blocked.isEmpty()) {
            fail(cacheFile, tr("路径%1被占用，无法删除!").arg(blocked));
            return;
        }
        const PathKind kind = pathKind(cachePath);
        if (kind == PathKind::File) {
            // used again only when nobody but this user can have put it there or changed it;
            // any other file is replaced once the download has been verified
            if (ownership(cachePath) == Ownership::Private
                && verifyFileDigests(cachePath, entry.digest, entry.sha256)) {
                ++current;
                continue;
            }
        } else if (kind != PathKind::Missing) {
            // a directory, a link, a fifo: out of the way, a link removed as a link
            if (!removeWithoutFollowing(cachePath)) {
                fail(cacheFile, tr("路径%1被占用，无法删除!").arg(cachePath));
                return;
            }
        }
        if (!QFileInfo(cacheFile.absolutePath()).isDir())
            QDir().mkpath(cacheFile.absolutePath());

        emit downloadStarted(cacheFile, current, files.size());
        if (stopped()) // a receiver may have abandoned the job
            return;

        // the body streams into a temporary file beside the cache file; it replaces the cache
        // file only once status, size and digest have passed
        target = std::make_unique<CacheFileWriter>(cacheFile.absoluteFilePath());
        writeFailed = !target->open();
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
    // Redirections are followed here, each hop a request of its own: with Qt 5.15's own
    // following the body of a redirection is read to its end before anything is reported, so
    // a redirection whose body never ends would hold the download without a signal.
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *sent = manager.get(request);
    if (!sent)
        return false;
    reply = sent;
    hasher.reset(!files.at(current).sha256.isEmpty());
    received = 0;
    notWrittenBack = 0;
    oversized = false;
    stalled = false;
    cutShortError.clear();

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
        // the body of a redirection that is about to be followed: dropped, and cut short when
        // it goes on and on (the redirection is followed all the same)
        received += source->readAll().size();
        if (received > DiscardLimit)
            cutShort(source, status);
        return;
    }
    const quint64 limit = status == 200 ? files.at(current).size : quint64(DiscardLimit);
    while (source->bytesAvailable() > 0) {
        // the body lands in the hasher's own block: hashed on its thread while this one writes
        // it and receives the next
        char *block = hasher.nextBlock();
        const qint64 count = source->read(block, ConcurrentDigestHasher::BlockSize);
        if (count <= 0)
            break;
        received += count;
        if (quint64(received) > limit) {
            // a broken or hostile server can fill neither the disk nor the memory
            oversized = status == 200;
            if (oversized)
                source->abort();
            else
                cutShort(source, status);
            return;
        }
        if (status != 200)
            continue; // the block is not handed over, the next read fills it again
        hasher.commitBlock(count);
        if (!writeFailed && !target->write(block, count))
            writeFailed = true;
        notWrittenBack += count;
        if (notWrittenBack >= WritebackInterval)
            startWriteback();
    }
}

void CDownloadThread::cutShort(QNetworkReply *source, int status)
{
    // the abort would replace the reply's own error text with "Operation canceled": the text
    // it would have ended with is kept for the message
    if (status >= 400) {
        const QString reason
                = source->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        cutShortError = QCoreApplication::translate("QNetworkReply",
                                                    "Error transferring %1 - server replied: %2")
                                .arg(source->url().toString(), reason);
    } else {
        cutShortError = source->errorString();
    }
    source->abort();
}

void CDownloadThread::startWriteback()
{
    notWrittenBack = 0;
    if (!writeFailed && !target->startWriteback())
        writeFailed = true;
}

bool CDownloadThread::flushCache()
{
#ifdef Q_OS_LINUX
    // what CacheFileWriter committed without waiting for the disk, and whatever an earlier run
    // left in the cache, is on the disk before the installation changes
    const int dir = ::open(QFile::encodeName(cacheDir.absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        ::sync();
        return true;
    }
    const bool flushed = ::syncfs(dir) == 0;
    ::close(dir);
    return flushed;
#else
    return true; // QSaveFile flushed every file as it was committed
#endif
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
        const QUrl next = source->url().resolved(redirect);
        if (!redirectAllowed(source->url(), next)) {
            target.reset();
            fail(cacheFile, tr("下载更新文件%1网络错误：%2-%3")
                                    .arg(cacheFile.fileName(), QString::number(status),
                                         QCoreApplication::translate(
                                                 "QNetworkReply", "Insecure redirect")));
            return;
        }
        if (redirectsLeft-- > 0 && sendRequest(next))
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
                                     cutShortError.isEmpty() ? source->errorString()
                                                             : cutShortError));
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
    if (!entry.sha256.isEmpty() && hasher.sha256Hex() != entry.sha256) {
        target.reset();
        fail(cacheFile, tr("更新文件%1与签名不符").arg(cacheFile.fileName()));
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
    if (!flushCache()) {
        const QString cachePath = cacheDir.absolutePath();
        fail(QFileInfo(cachePath), tr("更新文件%1写入失败").arg(QDir::toNativeSeparators(cachePath)));
        return;
    }
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
        if (message.isEmpty()
            && ((!file.setAside.isEmpty() && !takePermissions(file.setAside, file.cacheFile))
                || !QFile::rename(file.cacheFile, file.destination)))
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
