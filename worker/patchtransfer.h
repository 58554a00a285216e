#ifndef PATCHTRANSFER_H
#define PATCHTRANSFER_H

#include "manifest.h"
#include "patchsink.h"
#include "resumerecord.h"
#include "transfer.h"
#include "transferrequest.h"
#include "transfersettings.h"

#include <QByteArray>
#include <QFileInfo>
#include <QString>
#include <QUrl>

class ConcurrentDigestHasher;
class QNetworkAccessManager;

// A patch to fetch in place of the whole file: it makes the file from the installed copy.
struct PatchSource
{
    QUrl url;
    quint64 size = 0;
    QByteArray digest; // the manifest's digest text of the patch itself
    QString installRoot;
    QString basePath; // the installed copy, relative to installRoot
};

// One file made from a patch: the patch fetched (transferrequest.h) and applied to the installed
// copy as it arrives, straight into the cache file (patchsink.h); the result passes the checks a
// download does. Whatever goes wrong with a patch (not there, broken, a wrong result, a slow or
// broken connection) ends in a line in the log and failed(): the caller then fetches the whole
// file as without one, so the outcome never depends on a patch.
class PatchTransfer : public Transfer
{
    Q_OBJECT

public:
    PatchTransfer(QNetworkAccessManager &manager, const ManifestEntry &entry,
        const PatchSource &patch, const QFileInfo &cacheFile, const TransferSettings &settings,
        qint64 replyBufferSize, ConcurrentDigestHasher &hasher, const QString &partialDir,
        QObject *parent = nullptr);
    ~PatchTransfer() override;

    // false, with a line in the log, when the patch cannot be used: nothing was sent
    bool start();
    void abort() override;

    qint64 bytesReceived() const override { return request.bytesReceived(); }
    qint64 bytesTotal() const override { return request.bytesTotal(); }

signals:
    // the patch did not make the file; the transfer has ended
    void failed();

private:
    bool refuse(const QString &reason);
    void onEnded();
    void fallBack(const QString &reason);

    const ManifestEntry entry;
    const PatchSource patch;
    const QFileInfo file;
    ResumeRecord resume;
    PatchSink sink;
    TransferRequest request;
};

#endif // PATCHTRANSFER_H
