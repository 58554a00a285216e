#ifndef FILETRANSFER_H
#define FILETRANSFER_H

#include "digest.h"
#include "manifest.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

class CacheFileWriter;
class ConcurrentDigestHasher;
class PatchApplier;
class QNetworkAccessManager;
class QNetworkReply;

// why a file could not be written to the cache: the reasons the messages shown to the user leave
// out
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)

// What a single transfer may cost in time and memory.
struct TransferLimits
{
    int stallTimeout = 60 * 1000; // milliseconds without a byte before the transfer fails
    // A transfer that receives fewer than minimumRate bytes a second, averaged over each stretch
    // of rateWindow milliseconds, fails: a server can hold it open only so long by trickling.
    qint64 minimumRate = 0; // 0: no minimum
    int rateWindow = 0;
    // what the network layer may hold of a body the hash has not consumed yet
    qint64 replyBufferSize = 4 * 1024 * 1024;
};

// A patch to fetch in place of the whole file: it makes the file from the installed copy.
struct PatchSource
{
    QUrl url;
    quint64 size = 0;
    QByteArray digest; // the manifest's digest text of the patch itself
    QString installRoot;
    QString basePath; // the installed copy, relative to installRoot
};

// One file downloaded into the cache: the request and its redirections, each followed here; the
// stall and rate limits; the body streamed into a temporary cache file while it is hashed. The
// cache file is replaced only when status, size, digest and (for a signed release) the signed
// SHA-256 have passed. Ends with finished(), once, unless aborted first.
//
// A large file that ends early (a broken connection, a stall, a cancel, a killed process) leaves
// its partial file behind, with a record of the entry and of the server's validator (ETag or
// Last-Modified). The next transfer of that entry asks only for the rest, guarded by If-Range;
// a server that ignores ranges or whose file changed sends all of it, which then replaces what
// was kept. The digests always cover the whole file: kept bytes are hashed again first, and a
// file that fails its digest after continuing is fetched once more from its first byte.
//
// Given a patch, the transfer fetches that instead and applies it to the installed copy as it
// arrives, straight into the cache file; the result passes the same checks. Whatever goes wrong
// with a patch (not there, broken, a wrong result, a slow or broken connection) ends in a line
// in the log and the whole file fetched as without one: the outcome never depends on a patch.
class FileTransfer : public QObject
{
    Q_OBJECT

public:
    FileTransfer(QNetworkAccessManager &manager, const ManifestEntry &entry, const QUrl &url,
                 const QFileInfo &cacheFile, const TransferLimits &limits,
                 ConcurrentDigestHasher &hasher, const QString &partialDir,
                 QObject *parent = nullptr);
    ~FileTransfer() override;

    // before start()
    void setPatch(const PatchSource &source) { patchSource = source; }
    void start();
    // ends the transfer without a signal; what a large file received so far is kept for the next
    // transfer of the same file to continue from
    void abort();

    bool isFinished() const { return done; }
    // the file was made from a patch
    bool patched() const { return patchApplied; }
    // empty after success
    QString errorMessage() const { return error; }
    QFileInfo cacheFile() const { return file; }
    qint64 bytesReceived() const { return progressReceived; }
    qint64 bytesTotal() const { return progressTotal; }

signals:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void finished();

private:
    void startWhole();
    bool startPatch();
    bool takePatch(const char *data, qint64 length);
    void endPatch(QNetworkReply *source, int status);
    void fallBack(const QString &reason);
    void dropPatch();
    bool sendRequest(const QUrl &url);
    bool preparePartialDir();
    QString partialBaseName() const;
    bool openPartial();
    bool hashKeptBytes();
    void restartWhole();
    void onMetaData();
    void checkAnswer(QNetworkReply *source);
    bool isFileBody(const QNetworkReply *source) const;
    void keepRecord(const QByteArray &validator);
    void onReadyRead();
    void onReplyFinished();
    void onStalled();
    void onRateCheck();
    void consume(QNetworkReply *source);
    void cutShort(QNetworkReply *source, int status);
    void startWriteback();
    void endReply();
    // ends the transfer: the temporary file is dropped unless committed, message empty on success;
    // keepPartial: what arrived stays for the next transfer to continue from
    void finish(const QString &message, bool keepPartial = false);
    QString networkError(int status, const QString &reason) const;

    QNetworkAccessManager &manager;
    const ManifestEntry entry;
    const QUrl url;
    const QFileInfo file;
    const TransferLimits limits;
    ConcurrentDigestHasher &hasher;
    const QString partialDir; // where large files are kept between transfers; empty: nowhere

    QPointer<QNetworkReply> reply;
    PatchSource patchSource;
    // while a patch is applied: the applier writes into the mapped target; destroyed first
    std::unique_ptr<CacheFileWriter> target;
    std::unique_ptr<PatchApplier> applier;
    DigestHasher patchDigest;
    QByteArray patchBuffer;
    bool patchApplied = false;
    // a large file continues from its partial file: these name it and its record (the entry it
    // belongs to and the server's validator), empty for a small file
    QString partialPath;
    QString recordPath;
    qint64 resumeFrom = 0; // bytes asked not to be sent again
    qint64 progressOffset = 0; // of the answer in flight: the bytes it does not send
    QByteArray resumeValidator;
    bool restarted = false;
    bool wrongRange = false;
    bool answerChecked = false;
    qint64 discarded = 0; // of an answer that is not the file
    qint64 received = 0; // of the file, kept bytes included
    qint64 notWrittenBack = 0; // bytes written since the last writeback started
    qint64 receivedAtWindowStart = 0;
    qint64 progressReceived = 0;
    qint64 progressTotal = 0;
    int redirectsLeft = 0;
    bool oversized = false;
    bool stalled = false;
    bool tooSlow = false;
    bool writeFailed = false;
    bool done = false;
    QString cutShortError; // the reply's own error text when its unwanted body was cut short
    QString error;
    QTimer stallTimer;
    QTimer rateTimer;
};

#endif // FILETRANSFER_H
