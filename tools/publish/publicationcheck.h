#ifndef PUBLICATIONCHECK_H
#define PUBLICATIONCHECK_H

#include "publicationsource.h"

#include "descriptor.h"
#include "releasestatement.h"

#include "manifest.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Verifies a publication the way a client would see it, in a server directory or live at a base
// URL: update.ini read with QSettings, md5.txt read with the updater's own parser, and every
// listed file present with the listed size and digest text. When the release is signed (update.sig
// exists, or keys to trust are given), also what a client that checks signatures checks: a
// signature, the SHA-256 of update.ini and of md5.txt, the hash of every file (by the algorithm
// of the statement's format), folder and version, and the expiry.
class PublicationCheck
{
    Q_DECLARE_TR_FUNCTIONS(PublicationCheck)

public:
    explicit PublicationCheck(const QString &serverDir);
    explicit PublicationCheck(std::unique_ptr<PublicationSource> source);

    // an address to fetch the publication from rather than a directory: http:// or https://
    static bool isServerUrl(const QString &location);

    // a statement must carry a signature by one of these keys; with none, every signature of a
    // statement found must verify
    void setTrustedKeys(const QList<QByteArray> &keys) { trustedKeys = keys; }
    // checks update.ini, md5.txt and the files only, ignoring update.sig, and keeps what a new
    // statement needs: the bytes read and every file's hash of that kind (None: not collecting)
    void setCollectingForSigning(SignedHashKind fileHash) { collectedHash = fileHash; }
    // takes these bytes for update.ini instead of reading it: one about to be published
    void setDescriptorBytes(const QByteArray &bytes) { givenDescriptor = bytes; }
    // checks the release update.ini names as its rollout's fallback instead of its own: that
    // folder, its md5.txt and files, and update_fallback.sig in place of update.sig
    void setCheckingFallback(bool fallback) { checkingFallback = fallback; }

    // true when everything matches; every problem found is collected, not only the first
    bool run();

    QStringList problems() const { return problemList; }
    QStringList warnings() const { return warningList; }
    QString folder() const { return folderName; }
    QString version() const { return versionText; }
    bool isOptional() const { return updateType == 0; }
    int fileCount() const { return checkedFiles; }

    // update.ini as the updater reads it, and the bytes read
    UpdateDescriptor descriptor() const { return clientDescriptor; }
    QByteArray descriptorBytes() const { return descriptorData; }
    QByteArray manifestBytes() const { return manifestData; }
    // path -> hash of every file hashed, by the statement's algorithm or the one collected;
    // filled when a statement was read or when collecting
    QMap<QString, QByteArray> fileHashes() const { return hashes; }

    // true when a statement was read; the other values describe it
    bool isSigned() const { return statementRead; }
    ReleaseStatement statement() const { return releaseStatement; }
    // the keys whose signature verified
    QList<QByteArray> signingKeys() const { return signers; }
    // the check of the rollout's fallback, once run() found one named (not when collecting)
    const PublicationCheck *fallbackCheck() const { return fallback.get(); }

    // called as bytes are hashed
    void setProgressHandler(std::function<void(quint64 done, quint64 total)> handler);

    static constexpr int ExpiryWarningDays = 7;

private:
    // the statement checked: update.sig, or update_fallback.sig of the fallback
    QString statementFile() const;
    bool collecting() const { return collectedHash != SignedHashKind::None; }
    // what the files are hashed by: the statement's algorithm, or the one collected
    SignedHashKind fileHashKind() const
    {
        return statementRead ? releaseStatement.fileHash : collectedHash;
    }
    bool loadDescriptor();
    void checkRollout();
    void checkStatement(
        PublicationSource::Outcome outcome, const QByteArray &bytes, const QString &error);
    void checkManifestLines(const QByteArray &bytes);
    void checkFiles(const QByteArray &bytes);
    void checkPatches(const Manifest &manifest);
    // whether a streamed file was read whole; false with the problem its outcome makes in error,
    // reason being what the source said
    bool checkStreamed(PublicationSource::Outcome outcome, const QString &shown, quint64 size,
        quint64 listed, const QString &reason, QString &error) const;

    std::shared_ptr<PublicationSource> source;
    QList<QByteArray> trustedKeys;
    SignedHashKind collectedHash = SignedHashKind::None;
    QByteArray givenDescriptor;
    bool checkingFallback = false;
    bool statementRequired = false; // the fallback's, as the release's own is signed
    std::shared_ptr<PublicationCheck> fallback;
    QStringList problemList;
    QStringList warningList;
    QString folderName;
    QString versionText;
    int updateType = 1;
    int checkedFiles = 0;
    UpdateDescriptor clientDescriptor;
    QByteArray descriptorData;
    QByteArray manifestData;
    QMap<QString, QByteArray> hashes;
    bool statementRead = false;
    ReleaseStatement releaseStatement;
    QList<QByteArray> signers;
    std::function<void(quint64, quint64)> progress;
};

#endif // PUBLICATIONCHECK_H
