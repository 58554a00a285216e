#include "patchtransfer.h"

#include "deltaindex.h"

PatchTransfer::PatchTransfer(QNetworkAccessManager &manager, const ManifestEntry &entry,
    const PatchSource &patch, const QFileInfo &cacheFile, const TransferSettings &settings,
    qint64 replyBufferSize, ConcurrentDigestHasher &hasher, const QString &partialDir,
    QObject *parent)
    : Transfer(parent)
    , entry(entry)
    , patch(patch)
    , file(cacheFile)
    , resume(partialDir, entry)
    , sink(entry, patch.size, patch.digest, hasher)
    , request(manager, settings, replyBufferSize, sink)
{
    connect(&request, &TransferRequest::progress, this, &Transfer::progress);
    connect(&request, &TransferRequest::ended, this, &PatchTransfer::onEnded);
}

PatchTransfer::~PatchTransfer()
{
    abort();
}

bool PatchTransfer::start()
{
    // the new file is made in the private partial folder
    if (!resume.prepareDir())
        return refuse(QStringLiteral("no private folder for its output"));
    QString reason;
    if (!sink.begin(file.absoluteFilePath(), resume.path(QLatin1String(".delta")),
            patch.installRoot, patch.basePath, reason))
        return refuse(reason);
    if (!request.start(patch.url))
        return refuse(QStringLiteral("the request cannot be sent"));
    return true;
}

bool PatchTransfer::refuse(const QString &reason)
{
    qCInfo(lcDelta, "%s: the patch is not used (%s)", qUtf8Printable(entry.path),
        qUtf8Printable(reason));
    abort();
    return false;
}

void PatchTransfer::abort()
{
    // a patch's output is of no use to a later transfer
    request.abort();
    sink.drop();
}

void PatchTransfer::onEnded()
{
    QString reason;
    const TransferRequest::End end = request.end();
    switch (end) {
    case TransferRequest::End::TooManyRedirects:
    case TransferRequest::End::InsecureRedirect:
        reason = QString::fromLatin1(TransferRequest::redirectReason(end));
        break;
    case TransferRequest::End::Stalled:
        reason = QStringLiteral("the connection stalled");
        break;
    case TransferRequest::End::TooSlow:
        reason = QStringLiteral("the connection was too slow");
        break;
    case TransferRequest::End::NotTheFile:
        reason = QStringLiteral("HTTP %1 %2").arg(request.status()).arg(request.errorText());
        break;
    case TransferRequest::End::Body:
        if (sink.verify(reason))
            sink.commit(reason); // the reason is set when it fails
        break;
    }
    if (!reason.isEmpty())
        return fallBack(reason);
    // a partial whole file an earlier run left is of no more use
    resume.removeFiles();
    qCInfo(lcDelta, "%s: made from a patch of %llu bytes", qUtf8Printable(entry.path),
        static_cast<unsigned long long>(patch.size));
    abort();
    succeed();
}

void PatchTransfer::fallBack(const QString &reason)
{
    qCInfo(lcDelta, "%s: the patch failed (%s); fetching the whole file",
        qUtf8Printable(entry.path), qUtf8Printable(reason));
    abort();
    emit failed();
}
