#ifndef CDOWNLOADTHREAD_H
#define CDOWNLOADTHREAD_H

#include "net/digest.h"
#include "net/manifest.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <memory>

class QNetworkReply;

// Downloads the changed files into the cache directory one at a time, verifies size and digest
// (and, for a signed release, the SHA-256 the vendor signed, in the same pass), then installs
// them all. The whole job runs on the constructing thread, driven by its event
// loop; the worker's own thread only runs an empty event loop whose end (finished) marks the end
// of the job, success or failure.
class CDownloadThread : public QThread
{
    Q_OBJECT

public:
    CDownloadThread(QString folderUrl, QDir cacheDir, QDir installRoot,
                    QList<ManifestEntry> files, QObject *parent = nullptr);
    ~CDownloadThread() override;

    bool succeeded() const;
    QString errorMessage() const;

    // Shadows QThread::quit(): a consumer that abandons the job also stops it, so the request
    // in flight is aborted and nothing is downloaded or installed afterwards.
    void quit();

    // how long a transfer may go without receiving a byte before it fails
    void setStallTimeout(int milliseconds);
    static int defaultStallTimeout();

    // the folder URL followed by the path, each segment percent-encoded so that "#", "?" and
    // "%" in a file name reach the server as part of the name
    static QUrl fileUrl(const QString &folderUrl, const QString &path);
    // whether a download redirected from one URL to the other is followed
    static bool redirectAllowed(const QUrl &from, const QUrl &to);

signals:
    void downloadStarted(QFileInfo filename, int current, int total);
    void downloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    void downloadFail(QFileInfo filename, QString errormsg);

private:
    class CacheFileWriter;

    struct InstalledFile
    {
        QString destination;
        QString cacheFile;
        QString setAside; // empty when nothing was set aside
        QString createdDir; // topmost directory created for it, empty when none
    };

    void beginJob();
    bool checkPaths();
    void downloadNext();
    bool sendRequest(const QUrl &url);
    void onReadyRead();
    void onReplyFinished();
    void onStalled();
    void installFiles();
    static void undoInstall(const InstalledFile &file, bool moved);
    void fail(const QFileInfo &file, const QString &message);
    void succeed();
    bool stopped() const;
    void consume(QNetworkReply *reply);
    void cutShort(QNetworkReply *source, int status);
    void startWriteback();
    bool flushCache();
    void endTransfer();
    QFileInfo cacheFileOf(const ManifestEntry &entry) const;

    std::atomic<bool> success{false};
    QString outcome;
    QString folderUrl;
    QDir cacheDir;
    QDir installRoot;
    QList<ManifestEntry> files;
    int current = 0;
    QNetworkAccessManager manager;

    // the transfer in flight
    QPointer<QNetworkReply> reply;
    std::unique_ptr<CacheFileWriter> target;
    ConcurrentDigestHasher hasher;
    qint64 received = 0;
    qint64 notWrittenBack = 0; // bytes written since the last writeback started
    int redirectsLeft = 0;
    bool oversized = false;
    bool stalled = false;
    bool writeFailed = false;
    QString cutShortError; // the reply's own error text when its unwanted body was cut short
    QTimer stallTimer;

    bool jobEnded = false; // by success, failure or a consumer's quit()
    std::atomic<bool> threadEnded{false};
};

#endif // CDOWNLOADTHREAD_H
