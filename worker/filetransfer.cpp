#include "filetransfer.h"

#include "verification.h"

#include <QCoreApplication>
#include <QNetworkReply>
#include <QNetworkRequest>

Q_LOGGING_CATEGORY(lcTransfer, "updater.transfer")

FileTransfer::FileTransfer(QNetworkAccessManager &manager, const ManifestEntry &entry,
    const QUrl &url, const QFileInfo &cacheFile, const TransferSettings &settings,
    qint64 replyBufferSize, ConcurrentDigestHasher &hasher, const QString &partialDir,
    QObject *parent)
    : Transfer(parent)
    , entry(entry)
    , url(url)
    , file(cacheFile)
    , hasher(hasher)
    , resume(partialDir, entry)
    , sink(cacheFile.absoluteFilePath(), entry.size, entry.signedHashKind, hasher)
    , request(manager, settings, replyBufferSize, sink)
{
    connect(&request, &TransferRequest::progress, this, &Transfer::progress);
    connect(&request, &TransferRequest::answered, this, &FileTransfer::onAnswer);
    connect(&request, &TransferRequest::ended, this, &FileTransfer::onEnded);
}

FileTransfer::~FileTransfer()
{
    abort();
}

void FileTransfer::start()
{
    // the body streams into a temporary file beside the cache file (a large one into its partial
    // file); it replaces the cache file only once status, size and digests have passed
    if (entry.size < ResumeRecord::Threshold || !openPartial())
        sink.open();
    request.setRange(resume.kept(), resume.validator());
    if (!request.start(url))
        giveUp(tr("下载更新文件%1失败").arg(file.fileName()), true);
}

bool FileTransfer::openPartial()
{
    if (!resume.find())
        return false;
    const bool continues = !resume.validator().isEmpty();
    if (!sink.openPartial(resume.partialPath(), continues))
        return false;
    if (continues) {
        resume.setKept(sink.keptSize());
        if (resume.hashKept(hasher))
            sink.setReceived(resume.kept());
        else
            restartWhole();
    }
    return true;
}

void FileTransfer::restartWhole()
{
    // the whole file from its first byte, once
    resume.restart();
    request.setRange(0, QByteArray());
    sink.restart();
}

void FileTransfer::abort()
{
    request.abort();
    sink.close(); // an uncommitted temporary file is removed, a partial file kept
}

void FileTransfer::onAnswer(QNetworkReply *reply)
{
    // what the body is part of
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 206 && resume.kept() > 0) {
        if (!resume.continuedBy(*reply)) {
            // not the rest that was asked for: the whole file again, from a new request
            request.refuseAnswer();
            return;
        }
        request.setProgressOffset(resume.kept());
    } else if (status == 200 && resume.kept() > 0) {
        // the server ignores ranges, or the file changed: this body is the whole file
        restartWhole();
    }
    if (status == 200 || status == 206)
        resume.keep(*reply);
}

QString FileTransfer::networkError(int status, const QString &reason) const
{
    return tr("下载更新文件%1网络错误：%2-%3")
        .arg(file.fileName(), QString::number(status), reason);
}

void FileTransfer::stop(bool keepPartial)
{
    request.abort();
    if (keepPartial) {
        sink.close();
    } else {
        sink.discard();
        resume.drop();
    }
}

void FileTransfer::giveUp(const QString &message, bool keepPartial)
{
    stop(keepPartial);
    fail(message);
}

void FileTransfer::onEnded()
{
    if (request.refused() && !resume.restarted()) {
        restartWhole();
        if (request.send(url))
            return;
    }
    const TransferRequest::End end = request.end();
    switch (end) {
    case TransferRequest::End::TooManyRedirects:
    case TransferRequest::End::InsecureRedirect:
        return giveUp(networkError(request.status(),
            QCoreApplication::translate("QNetworkReply", TransferRequest::redirectReason(end))));
    // a transfer that merely ended early keeps what it received, for the next one to continue
    case TransferRequest::End::Stalled:
        return giveUp(networkError(0, tr("网络超时")), true);
    case TransferRequest::End::TooSlow:
        return giveUp(networkError(0, tr("传输速度过低")), true);
    case TransferRequest::End::NotTheFile:
        return giveUp(networkError(request.status(), request.errorText()), true);
    case TransferRequest::End::Body:
        break;
    }
    const Verdict verdict
        = sink.oversized() ? Verdict::WrongSize : verifyFile(entry, quint64(sink.size()), hasher);
    if (verdict == Verdict::WrongSize)
        return giveUp(tr("下载更新文件%1大小不对").arg(file.fileName()), !sink.oversized());
    if (verdict != Verdict::Passed) {
        // bytes kept from an earlier transfer may be what is wrong: once more, all of it
        if (request.offset() > 0 && !resume.restarted()) {
            restartWhole();
            if (request.send(url))
                return;
        }
        if (verdict == Verdict::WrongDigest)
            return giveUp(tr("更新文件%1校验不对").arg(file.fileName()));
        return giveUp(tr("更新文件%1与签名不符").arg(file.fileName()));
    }
    QString reason;
    if (!sink.commit(reason)) {
        qCWarning(lcTransfer, "%s: the cache file cannot be written: %s",
            qUtf8Printable(entry.path), qUtf8Printable(reason));
        return giveUp(tr("更新文件%1写入失败").arg(file.fileName()));
    }
    stop(false);
    succeed();
}
