#ifndef FILETRANSFER_H
#define FILETRANSFER_H

#include "manifest.h"
#include "resumerecord.h"
#include "transfer.h"
#include "transferrequest.h"
#include "transfersettings.h"
#include "wholefilesink.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QString>
#include <QUrl>

class ConcurrentDigestHasher;
class QNetworkAccessManager;
class QNetworkReply;

// why a file could not be written to the cache: the reasons the messages shown to the user leave
// out
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)

// One file downloaded whole into the cache: the request (transferrequest.h), the body streamed
// into a temporary cache file while it is hashed (wholefilesink.h), a large file continued from
// what an earlier transfer kept (resumerecord.h). The cache file is replaced only when status,
// size, digest and (for a signed release) the signed SHA-256 have passed.
class FileTransfer : public Transfer
{
    Q_OBJECT

public:
    // replyBufferSize: what the network layer may hold of a body the hash has not consumed yet
    FileTransfer(QNetworkAccessManager &manager, const ManifestEntry &entry, const QUrl &url,
        const QFileInfo &cacheFile, const TransferSettings &settings, qint64 replyBufferSize,
        ConcurrentDigestHasher &hasher, const QString &partialDir, QObject *parent = nullptr);
    ~FileTransfer() override;

    void start();
    // what a large file received so far is kept for the next transfer of the same file to
    // continue from
    void abort() override;

    qint64 bytesReceived() const override { return request.bytesReceived(); }
    qint64 bytesTotal() const override { return request.bytesTotal(); }

private:
    bool openPartial();
    void restartWhole();
    void onAnswer(QNetworkReply *reply);
    void onEnded();
    // the request ended and the temporary file removed; keepPartial: what arrived stays for the
    // next transfer to continue from
    void stop(bool keepPartial);
    void giveUp(const QString &message, bool keepPartial = false);
    QString networkError(int status, const QString &reason) const;

    const ManifestEntry entry;
    const QUrl url;
    const QFileInfo file;
    ConcurrentDigestHasher &hasher;
    ResumeRecord resume;
    WholeFileSink sink;
    TransferRequest request;
};

#endif // FILETRANSFER_H
