#include "filetransfer.h"

#include "httprequest.h"

#include "deltaindex.h"
#include "cachefilewriter.h"
#include "pathtrust.h"
#include "concurrentdigesthasher.h"
#include "patchapplier.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <cstring>

Q_LOGGING_CATEGORY(lcTransfer, "updater.transfer")

namespace {
// Every cached file is on the disk before anything is installed. Writing back what has arrived
// every so often, while the rest is still on its way, leaves that wait only the last piece of a
// large file instead of all of it.
constexpr qint64 WritebackInterval = 8 * 1024 * 1024;
// a patch's bytes are read in pieces of this size and applied at once
constexpr int PatchReadSize = 64 * 1024;
// an answer that is not the file: its body is only counted, up to this much
constexpr qint64 DiscardLimit = 1024 * 1024;
// as many hops as the network layer itself would follow
// A file this large is written to a partial file that a later transfer continues from; a
// smaller one costs less to fetch again than the bookkeeping would.
constexpr quint64 ResumeThreshold = 1024 * 1024;

// what a partial file belongs to: the entry, exactly; the server's validator follows it
QByteArray recordHeader(const ManifestEntry &entry)
{
    return "updater-partial 1\n" + QUrl::toPercentEncoding(entry.path) + '\n'
            + QByteArray::number(entry.size) + '\n' + entry.digest + '\n' + entry.sha256 + '\n';
}

// The validator If-Range may carry: a strong entity tag, else the modification time. A weak tag
// would not do (a range request may not be guarded by one).
QByteArray validatorOf(const QNetworkReply *reply)
{
    const QByteArray tag = reply->rawHeader("ETag").trimmed();
    if (!tag.isEmpty() && !tag.startsWith("W/"))
        return tag;
    return reply->rawHeader("Last-Modified").trimmed();
}

// "bytes FIRST-LAST/SIZE": true when the answer continues at first and ends with the file
bool continuesAt(const QByteArray &contentRange, qint64 first, quint64 size)
{
    const QByteArray prefix = "bytes " + QByteArray::number(first) + '-';
    if (!contentRange.startsWith(prefix))
        return false;
    const int slash = contentRange.indexOf('/');
    bool ok = false;
    const quint64 last = contentRange.mid(prefix.size(), slash - prefix.size()).toULongLong(&ok);
    return ok && slash > 0 && last + 1 == size
            && (contentRange.mid(slash + 1) == "*"
                || contentRange.mid(slash + 1) == QByteArray::number(size));
}
} // namespace

FileTransfer::FileTransfer(QNetworkAccessManager &manager, const ManifestEntry &entry,
                           const QUrl &url, const QFileInfo &cacheFile,
                           const TransferLimits &limits, ConcurrentDigestHasher &hasher,
                           const QString &partialDir, QObject *parent)
    : QObject(parent)
    , manager(manager)
    , entry(entry)
    , url(url)
    , file(cacheFile)
    , limits(limits)
    , hasher(hasher)
    , partialDir(partialDir)
{
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(limits.stallTimeout);
    connect(&stallTimer, &QTimer::timeout, this, &FileTransfer::onStalled);
    rateTimer.setInterval(limits.rateWindow);
    connect(&rateTimer, &QTimer::timeout, this, &FileTransfer::onRateCheck);
}

FileTransfer::~FileTransfer()
{
    abort();
}

void FileTransfer::start()
{
    redirectsLeft = MaxDownloadRedirects;
    if (limits.minimumRate > 0 && limits.rateWindow > 0)
        rateTimer.start();
    if (!patchSource.url.isValid() || !startPatch())
        startWhole();
}

void FileTransfer::startWhole()
{
    // the body streams into a temporary file beside the cache file (a large one into its partial
    // file); it replaces the cache file only once status, size and digests have passed
    hasher.reset(!entry.sha256.isEmpty());
    if (entry.size < ResumeThreshold || !openPartial()) {
        partialPath.clear();
        target = std::make_unique<CacheFileWriter>(file.absoluteFilePath());
        writeFailed = !target->open();
    }
    if (!sendRequest(url))
        finish(tr("下载更新文件%1失败").arg(file.fileName()), true);
}

bool FileTransfer::startPatch()
{
    // the new file is made in a named file of the private partial folder, mapped: the decoder
    // refers back to what it made, so the output cannot be streamed out as it is written
    const auto refuse = [this](const QString &reason) {
        qCInfo(lcDelta, "%s: the patch is not used (%s)", qUtf8Printable(entry.path),
               qUtf8Printable(reason));
        dropPatch();
        return false;
    };
    if (!preparePartialDir())
        return refuse(QStringLiteral("no private folder for its output"));
    const QString outputPath = partialDir + QLatin1Char('/') + partialBaseName()
            + QLatin1String(".delta");
    if (pathKind(outputPath) != PathKind::Missing && !removeWithoutFollowing(outputPath))
        return refuse(QStringLiteral("its output file cannot be replaced"));
    target = std::make_unique<CacheFileWriter>(file.absoluteFilePath(), outputPath);
    uchar *output = target->open() ? target->map(qint64(entry.size)) : nullptr;
    if (!output)
        return refuse(QStringLiteral("no room for its output"));
    applier = std::make_unique<PatchApplier>();
    if (!applier->begin(patchSource.installRoot, patchSource.basePath, output, entry.size))
        return refuse(applier->error());
    hasher.reset(!entry.sha256.isEmpty());
    patchDigest.reset();
    patchBuffer.resize(PatchReadSize);
    if (!sendRequest(patchSource.url))
        return refuse(QStringLiteral("the request cannot be sent"));
    return true;
}

bool FileTransfer::takePatch(const char *data, qint64 length)
{
    patchDigest.addData(data, length);
    // what the patch makes is hashed as a download would be, and written back to the disk every
    // so often like one
    return applier->feed(data, length, [this](const uchar *made, qint64 count) {
        while (count > 0) {
            char *block = hasher.nextBlock();
            const qint64 piece = qMin(count, ConcurrentDigestHasher::BlockSize);
            std::memcpy(block, made, size_t(piece));
            hasher.commitBlock(piece);
            made += piece;
            count -= piece;
            notWrittenBack += piece;
        }
        if (notWrittenBack >= WritebackInterval)
            startWriteback();
    });
}

void FileTransfer::endPatch(QNetworkReply *source, int status)
{
    QString reason;
    if (stalled)
        reason = QStringLiteral("the connection stalled");
    else if (tooSlow)
        reason = QStringLiteral("the connection was too slow");
    else if (!isFileBody(source))
        reason = QStringLiteral("HTTP %1 %2").arg(status).arg(
                cutShortError.isEmpty() ? source->errorString() : cutShortError);
    else if (!applier->error().isEmpty())
        reason = QStringLiteral("it is broken: ") + applier->error();
    else if (oversized || quint64(received) != patchSource.size)
        reason = QStringLiteral("its size is wrong");
    else if (patchDigest.digestText() != patchSource.digest)
        reason = QStringLiteral("its digest is wrong");
    else if (!applier->complete())
        reason = QStringLiteral("it ended before the file did");
    if (reason.isEmpty()) {
        if (hasher.digestText() != entry.digest)
            reason = QStringLiteral("the file it made fails its digest");
        else if (!entry.sha256.isEmpty() && hasher.sha256Hex() != entry.sha256)
            reason = QStringLiteral("the file it made fails its signed hash");
    }
    if (!reason.isEmpty())
        return fallBack(reason);
    applier.reset(); // the installed copy is no longer read
    if (writeFailed || !target->commit())
        return fallBack(QStringLiteral("its output cannot be written: ") + target->errorString());
    // a partial whole file an earlier run left is of no more use
    const QString stale = partialDir + QLatin1Char('/') + partialBaseName();
    removeWithoutFollowing(stale + QLatin1String(".part"));
    removeWithoutFollowing(stale + QLatin1String(".info"));
    patchApplied = true;
    qCInfo(lcDelta, "%s: made from a patch of %llu bytes", qUtf8Printable(entry.path),
           static_cast<unsigned long long>(patchSource.size));
    finish(QString());
}

void FileTransfer::fallBack(const QString &reason)
{
    qCInfo(lcDelta, "%s: the patch failed (%s); fetching the whole file",
           qUtf8Printable(entry.path), qUtf8Printable(reason));
    endReply();
    dropPatch();
    patchSource = PatchSource();
    received = 0;
    notWrittenBack = 0;
    oversized = false;
    stalled = false;
    tooSlow = false;
    writeFailed = false;
    progressReceived = 0;
    progressTotal = 0;
    redirectsLeft = MaxDownloadRedirects;
    if (limits.minimumRate > 0 && limits.rateWindow > 0)
        rateTimer.start();
    startWhole();
}

void FileTransfer::dropPatch()
{
    // the applier first: it writes into the target's mapping; a patch's output is of no use to
    // a later transfer
    applier.reset();
    if (target)
        target->discard();
    target.reset();
}

bool FileTransfer::preparePartialDir()
{
    // partial files lie in a folder of their own in the (private) cache
    if (partialDir.isEmpty())
        return false;
    if (pathKind(partialDir) != PathKind::Directory || ownership(partialDir) != Ownership::Private) {
        if (pathKind(partialDir) != PathKind::Missing && !removeWithoutFollowing(partialDir))
            return false;
        if (!QDir().mkdir(partialDir))
            return false;
    }
    return true;
}

QString FileTransfer::partialBaseName() const
{
    // named after the entry's path
    return QString::fromLatin1(
            QCryptographicHash::hash(entry.path.toUtf8(), QCryptographicHash::Sha1).toHex());
}

bool FileTransfer::openPartial()
{
    if (!preparePartialDir())
        return false;
    const QString name = partialDir + QLatin1Char('/') + partialBaseName();
    partialPath = name + QLatin1String(".part");
    recordPath = name + QLatin1String(".info");

    // continued only when the partial file is this user's alone and belongs to this very entry
    QByteArray validator;
    QFile record(recordPath);
    const QByteArray header = recordHeader(entry);
    if (pathKind(recordPath) == PathKind::File && ownership(recordPath) == Ownership::Private
        && pathKind(partialPath) == PathKind::File && ownership(partialPath) == Ownership::Private
        && record.open(QIODevice::ReadOnly)) {
        const QByteArray content = record.read(64 * 1024);
        if (content.startsWith(header))
            validator = content.mid(header.size()).trimmed();
    }
    record.close();
    const qint64 kept = validator.isEmpty() ? 0 : QFileInfo(partialPath).size();
    if (kept <= 0 || quint64(kept) >= entry.size) {
        removeWithoutFollowing(recordPath);
        removeWithoutFollowing(partialPath);
        validator.clear();
    }
    target = std::make_unique<CacheFileWriter>(file.absoluteFilePath(), partialPath);
    if (!target->open(!validator.isEmpty()))
        return false;
    if (!validator.isEmpty()) {
        resumeFrom = target->keptSize();
        resumeValidator = validator;
        if (!hashKeptBytes())
            restartWhole();
    }
    return true;
}

bool FileTransfer::hashKeptBytes()
{
    // the digests cover the whole file: what is kept is hashed again before the rest arrives
    QFile kept(partialPath);
    if (!kept.open(QIODevice::ReadOnly))
        return false;
    qint64 left = resumeFrom;
    while (left > 0) {
        char *block = hasher.nextBlock();
        const qint64 count = kept.read(block, qMin(left, ConcurrentDigestHasher::BlockSize));
        if (count <= 0)
            return false;
        hasher.commitBlock(count);
        left -= count;
    }
    received = resumeFrom;
    return true;
}

void FileTransfer::restartWhole()
{
    // the whole file from its first byte, once
    restarted = true;
    resumeFrom = 0;
    received = 0;
    resumeValidator.clear();
    hasher.reset(!entry.sha256.isEmpty());
    if (!target->restart())
        writeFailed = true;
}

void FileTransfer::abort()
{
    done = true;
    endReply();
    if (applier)
        dropPatch();
    target.reset(); // an uncommitted temporary file is removed, a partial file kept
}

bool FileTransfer::sendRequest(const QUrl &requestUrl)
{
    // Redirections are followed here, each hop a request of its own: with Qt 5.15's own
    // following the body of a redirection is read to its end before anything is reported, so
    // a redirection whose body never ends would hold the download without a signal.
    QNetworkRequest request(requestUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // the rest of the file, unless it changed on the server since the kept bytes came: then the
    // server sends all of it
    if (resumeFrom > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeFrom) + '-');
        request.setRawHeader("If-Range", resumeValidator);
    }
    // Over TLS, where the server offers it, one connection carries every transfer. Not over
    // plain HTTP: there Qt 5.15 first asks the server to upgrade and holds every other request
    // back until that first one has ended, one transfer at a time.
    if (requestUrl.scheme() == QLatin1String("https"))
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
    QNetworkReply *sent = manager.get(request);
    if (!sent)
        return false;
    reply = sent;
    discarded = 0;
    answerChecked = false;
    progressOffset = 0;
    receivedAtWindowStart = 0; // each hop's progress counts from zero
    notWrittenBack = 0;
    oversized = false;
    stalled = false;
    cutShortError.clear();

    sent->setReadBufferSize(limits.replyBufferSize);
    connect(sent, &QNetworkReply::downloadProgress, this,
            [this](qint64 bytesReceived, qint64 bytesTotal) {
                stallTimer.start();
                // the kept bytes count too: the progress is the whole file's
                progressReceived = progressOffset + bytesReceived;
                progressTotal = bytesTotal < 0 ? bytesTotal : progressOffset + bytesTotal;
                emit progress(progressReceived, progressTotal);
            });
    connect(sent, &QNetworkReply::metaDataChanged, this, &FileTransfer::onMetaData);
    connect(sent, &QNetworkReply::readyRead, this, &FileTransfer::onReadyRead);
    connect(sent, &QNetworkReply::finished, this, &FileTransfer::onReplyFinished);
    stallTimer.start();
    return true;
}

void FileTransfer::onMetaData()
{
    auto *source = qobject_cast<QNetworkReply *>(sender());
    if (source && source == reply && !done)
        checkAnswer(source);
}

bool FileTransfer::isFileBody(const QNetworkReply *source) const
{
    const int status = source->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status == 200 || (status == 206 && resumeFrom > 0);
}

void FileTransfer::checkAnswer(QNetworkReply *source)
{
    // once per answer, before its first byte is taken: what the body is part of
    if (answerChecked)
        return;
    answerChecked = true;
    const int status = source->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 206 && resumeFrom > 0) {
        if (!continuesAt(source->rawHeader("Content-Range"), resumeFrom, entry.size)) {
            // not the rest that was asked for: the whole file again, from a new request
            wrongRange = true;
            source->abort();
            return;
        }
        progressOffset = resumeFrom;
    } else if (status == 200 && resumeFrom > 0) {
        // the server ignores ranges, or the file changed: this body is the whole file
        restartWhole();
    }
    if (status == 200 || status == 206)
        keepRecord(validatorOf(source));
}

void FileTransfer::keepRecord(const QByteArray &validator)
{
    // a partial file can be continued only under the validator it was fetched with; without one
    // it is of no use to a later transfer
    if (recordPath.isEmpty())
        return;
    if (validator.isEmpty() || validator.contains('\n')) {
        removeWithoutFollowing(recordPath);
        return;
    }
    removeWithoutFollowing(recordPath); // a link there is replaced, never written through
    QFile record(recordPath);
    if (record.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        record.write(recordHeader(entry) + validator + '\n');
}

void FileTransfer::consume(QNetworkReply *source)
{
    checkAnswer(source);
    if (wrongRange)
        return;
    const int status = source->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400) {
        // the body of a redirection that is about to be followed: dropped, and cut short when
        // it goes on and on (the redirection is followed all the same)
        discarded += source->readAll().size();
        if (discarded > DiscardLimit)
            cutShort(source, status);
        return;
    }
    const bool fileBody = isFileBody(source);
    while (source->bytesAvailable() > 0) {
        // the body lands in the hasher's own block: hashed on its thread while this one writes
        // it and receives the next; a patch is applied first, and what it makes is hashed
        char *block = applier ? patchBuffer.data() : hasher.nextBlock();
        const qint64 count = source->read(
                block, applier ? qint64(PatchReadSize) : ConcurrentDigestHasher::BlockSize);
        if (count <= 0)
            break;
        if (!fileBody) {
            // an answer that is not the file: only counted, and cut short when it goes on
            discarded += count;
            if (discarded > DiscardLimit) {
                cutShort(source, status);
                return;
            }
            continue; // the block is not handed over, the next read fills it again
        }
        received += count;
        if (quint64(received) > (applier ? patchSource.size : entry.size)) {
            // a broken or hostile server can fill neither the disk nor the memory
            oversized = true;
            source->abort();
            return;
        }
        if (applier) {
            if (!takePatch(block, count)) {
                source->abort();
                return;
            }
            continue;
        }
        hasher.commitBlock(count);
        if (!writeFailed && !target->write(block, count))
            writeFailed = true;
        notWrittenBack += count;
        if (notWrittenBack >= WritebackInterval)
            startWriteback();
    }
}

void FileTransfer::cutShort(QNetworkReply *source, int status)
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

void FileTransfer::startWriteback()
{
    notWrittenBack = 0;
    if (!writeFailed && !target->startWriteback())
        writeFailed = true;
}

void FileTransfer::onReadyRead()
{
    auto *source = qobject_cast<QNetworkReply *>(sender());
    if (!source || source != reply || done)
        return;
    stallTimer.start();
    consume(source);
}

void FileTransfer::onStalled()
{
    if (!reply)
        return;
    stalled = true;
    reply->abort();
}

void FileTransfer::onRateCheck()
{
    // every byte of every hop counts, as the stall limit counts them
    if (!reply || progressReceived < 0)
        return;
    const qint64 arrived = qMax<qint64>(0, progressReceived - receivedAtWindowStart);
    receivedAtWindowStart = progressReceived;
    if (arrived * 1000 >= limits.minimumRate * limits.rateWindow)
        return;
    tooSlow = true;
    reply->abort();
}

void FileTransfer::endReply()
{
    stallTimer.stop();
    rateTimer.stop();
    if (reply) {
        QNetworkReply *inFlight = reply;
        reply = nullptr;
        inFlight->disconnect(this);
        inFlight->abort();
        inFlight->deleteLater();
    }
}

QString FileTransfer::networkError(int status, const QString &reason) const
{
    return tr("下载更新文件%1网络错误：%2-%3")
            .arg(file.fileName(), QString::number(status), reason);
}

void FileTransfer::finish(const QString &message, bool keepPartial)
{
    endReply();
    if (target && !keepPartial)
        target->discard();
    if (!keepPartial && !recordPath.isEmpty())
        removeWithoutFollowing(recordPath);
    target.reset();
    error = message;
    done = true;
    emit finished();
}

void FileTransfer::onReplyFinished()
{
    auto *source = qobject_cast<QNetworkReply *>(sender());
    if (!source)
        return;
    source->deleteLater();
    if (source != reply || done)
        return;
    stallTimer.stop();

    const int status = source->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!oversized && !stalled && !tooSlow && !wrongRange)
        consume(source); // whatever arrived with the end of the reply
    reply = nullptr;

    if (wrongRange && !restarted) {
        restartWhole();
        wrongRange = false;
        if (sendRequest(url))
            return;
    }
    const QUrl redirect = source->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!stalled && !tooSlow && status >= 300 && status < 400 && redirect.isValid()) {
        const QUrl next = source->url().resolved(redirect);
        const bool allowed = downloadRedirectAllowed(source->url(), next);
        if (allowed && redirectsLeft-- > 0 && sendRequest(next))
            return;
        const char *reason = allowed ? "Too many redirects" : "Insecure redirect";
        if (applier)
            return fallBack(QString::fromLatin1(reason));
        return finish(networkError(status, QCoreApplication::translate("QNetworkReply", reason)));
    }

    if (applier)
        return endPatch(source, status);
    // a transfer that merely ended early keeps what it received, for the next one to continue
    if (stalled)
        return finish(networkError(0, tr("网络超时")), true);
    if (tooSlow)
        return finish(networkError(0, tr("传输速度过低")), true);
    if (!isFileBody(source))
        return finish(networkError(status,
                                   cutShortError.isEmpty() ? source->errorString() : cutShortError),
                      true);
    if (oversized || quint64(received) != entry.size)
        return finish(tr("下载更新文件%1大小不对").arg(file.fileName()), !oversized);
    if (hasher.digestText() != entry.digest
        || (!entry.sha256.isEmpty() && hasher.sha256Hex() != entry.sha256)) {
        // bytes kept from an earlier transfer may be what is wrong: once more, all of it
        if (progressOffset > 0 && !restarted) {
            restartWhole();
            if (sendRequest(url))
                return;
        }
        if (hasher.digestText() != entry.digest)
            return finish(tr("更新文件%1校验不对").arg(file.fileName()));
        return finish(tr("更新文件%1与签名不符").arg(file.fileName()));
    }
    if (writeFailed || !target->commit()) {
        qCWarning(lcTransfer, "%s: the cache file cannot be written: %s",
                  qUtf8Printable(entry.path), qUtf8Printable(target->errorString()));
        return finish(tr("更新文件%1写入失败").arg(file.fileName()));
    }
    finish(QString());
}
