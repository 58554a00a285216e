#ifndef CDOWNLOADTHREAD_H
#define CDOWNLOADTHREAD_H

#include "deltaindex.h"
#include "manifest.h"
#include "transfersettings.h"
#include "updaterecord.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QNetworkAccessManager>
#include <QString>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <functional>
#include <optional>
#include <cstdint>
#include <memory>
#include <vector>

class ConcurrentDigestHasher;
class Transfer;

// Downloads the changed files into the cache directory, several at a time, verifies size and
// digest of each (and, for a signed release, the SHA-256 the vendor signed, in the same pass),
// then installs them all. The whole job runs on the constructing thread, driven by its event
// loop; the worker's own thread only runs an empty event loop whose end (finished) marks the end
// of the job, success or failure.
//
// However many transfers are in flight, consumers see one file at a time, in manifest order:
// downloadStarted for each file that is downloaded, byte progress of that file only, and at most
// one downloadFail. A file whose transfer ran ahead is announced when its turn comes.
class CDownloadThread : public QThread
{
    Q_OBJECT

public:
    CDownloadThread(QString folderUrl, QDir cacheDir, QDir installRoot, QList<ManifestEntry> files,
        QObject *parent = nullptr);
    ~CDownloadThread() override;

    bool succeeded() const;
    QString errorMessage() const;
    // the bytes of files and patches received (what an interrupted download kept included),
    // and what the patches spared of the whole files they made; read after the job
    qint64 bytesFetched() const { return fetched; }
    qint64 bytesSavedByPatches() const { return savedByPatches; }

    // Shadows QThread::quit(): a consumer that abandons the job also stops it, so every request
    // in flight is aborted and nothing is downloaded or installed afterwards.
    void quit();

    // the limits of the transfers, how many run at once, how long installing waits for a file
    // another process holds; set before start()
    void setTransferSettings(const TransferSettings &settings);
    // whether the server answered over HTTP/2, as md5.txt came: the transfers are then streams
    // of one connection, and settings.http2Transfers of them run at once; set before start()
    void setHttp2(bool spoken);
    // called for every network access manager the worker makes, before its first request (a
    // proxy, its credentials); set before start()
    void setNetworkSetup(std::function<void(QNetworkAccessManager &)> setup);

    // Patches to fetch in place of whole files, by path, each applying to the installed copy of
    // its file; any that fails is replaced by the whole file. Set before start().
    void setPatches(QMap<QString, DeltaPatch> patches);
    // the record of what the installation replaces and adds, for a rollback (installer.h); set
    // before start(), none by default
    void setUpdateRecord(const UpdateRecord &record) { undoRecord = record; }

    // the folder URL followed by the path, each segment percent-encoded so that "#", "?" and
    // "%" in a file name reach the server as part of the name
    static QUrl fileUrl(const QString &folderUrl, const QString &path);

signals:
    void downloadStarted(QFileInfo filename, int current, int total);
    void downloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    void downloadFail(QFileInfo filename, QString errormsg);

private:
    enum class State { Waiting, Cached, Transferring, Done };

    // one file of the job
    struct Download
    {
        ManifestEntry entry; // its cache file is made from it when needed (cacheFileOf)
        bool large = false;
        State state = State::Waiting;
        std::unique_ptr<Transfer> transfer;
        std::unique_ptr<ConcurrentDigestHasher> hasher; // while it is transferred
        int manager = 0; // index into managers
        bool patched = false; // its transfer makes it from a patch
    };

    void beginJob();
    void startTransfers();
    bool startTransfer(int index);
    void startWholeFile(int index);
    void watch(int index, Transfer &transfer);
    void onPatchFailed(int index);
    int leastLoadedManager();
    int transfersAtOnce() const;
    void announceInOrder();
    void onTransferFinished(int index);
    void installFiles();
    void fail(const QFileInfo &file, const QString &message);
    void succeed();
    bool stopped() const;
    void endTransfers();
    QFileInfo cacheFileOf(const ManifestEntry &entry) const;

    std::atomic<bool> success {false};
    QString outcome;
    QString folderUrl;
    QDir cacheDir;
    QDir installRoot;
    QList<ManifestEntry> files;
    QMap<QString, DeltaPatch> patches;
    std::optional<UpdateRecord> undoRecord;
    QString partialFolder; // below the cache: what large transfers keep between runs
    // Qt opens at most six connections to a server per manager over HTTP/1.1: more transfers
    // than that are spread over several (over HTTP/2 one carries them all)
    std::vector<std::unique_ptr<QNetworkAccessManager>> managers;
    std::vector<int> managerLoad; // transfers running on each
    std::function<void(QNetworkAccessManager &)> networkSetup;
    TransferSettings settings;
    bool http2 = false;

    std::vector<Download> downloads; // by index into files
    std::vector<std::unique_ptr<ConcurrentDigestHasher>> idleHashers; // for small files
    std::vector<std::unique_ptr<ConcurrentDigestHasher>> idleLargeHashers;
    int next = 0; // the first file not yet looked at
    int shown = 0; // the file consumers are told about
    bool shownAnnounced = false;
    int running = 0;
    int runningLarge = 0;

    qint64 fetched = 0;
    qint64 savedByPatches = 0;
    bool jobEnded = false; // by success, failure or a consumer's quit()
    std::atomic<bool> threadEnded {false};
};

#endif // CDOWNLOADTHREAD_H
