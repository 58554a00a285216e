#ifndef RELEASESIGNER_H
#define RELEASESIGNER_H

#include "livepublication.h"
#include "replacedfile.h"

#include "digest.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

struct ReleaseStatement;

struct SigningOptions
{
    static constexpr int DefaultExpiryDays = 30;
    static constexpr int MaxExpiryDays = 3650;

    QStringList keyFiles; // secret key files; none: the release is not signed
    int expiryDays = DefaultExpiryDays;
    quint64 releaseNumber = 0; // 0: one more than the release published now
    // the statement's format, 1 or 2 (BLAKE2b file hashes, read by updaters since they read
    // it); 0: that of the statement published now, 2 when there is none
    int statementFormat = 0;
};

class PublicationCheck;

// Writes the signed statement "update.sig" about the exact update.ini and md5.txt of a server
// directory, by one or more keys (the old and the new one during a rotation).
//
// The release number only grows: clients refuse a statement with a lower number than the one
// they installed, or one under that number for another update.ini or md5.txt, so a number below
// the published one, or the published one for another release, is refused here already. The
// same release signed again under its number (a new expiry) is not another release.
//
// A rollout's fallback gets its own statement, "update_fallback.sig", bound to the same
// update.ini and signed by the same keys; written before update.ini like update.sig, and removed
// when the publication names no fallback.
class ReleaseSigner
{
    Q_DECLARE_TR_FUNCTIONS(ReleaseSigner)

public:
    explicit ReleaseSigner(const SigningOptions &options);
    ~ReleaseSigner();
    ReleaseSigner(const ReleaseSigner &) = delete;
    ReleaseSigner &operator=(const ReleaseSigner &) = delete;

    bool isEnabled() const { return !options.keyFiles.isEmpty(); }
    // the options and every key file, before anything is written
    bool checkArguments();
    // reads the statements published in serverDir, if any, and settles the release number,
    // above descriptorRelease too (the number update.ini names)
    bool prepare(const QString &serverDir, quint64 descriptorRelease = 0);
    // the statement file for these exact bytes, issued now; empty on failure
    QByteArray sign(const QByteArray &descriptor, const QByteArray &manifest,
        const QString &version, const QString &folder, const QMap<QString, QByteArray> &fileHashes);
    // the statement of the fallback release of a rollout, published with this update.ini: its
    // own number, version and folder, the fallback folder's md5.txt and file hashes, expiring
    // with the statement sign() made last; empty on failure
    QByteArray signFallback(const QByteArray &descriptor, const RolloutFallback &fallback,
        const QByteArray &manifest, const QMap<QString, QByteArray> &fileHashes);
    // replaces update_fallback.sig in one step (empty: removes it), then update.sig
    bool write(const QByteArray &statement, const QByteArray &fallbackStatement = QByteArray());
    // puts back the update.sig and update_fallback.sig that prepare() found, or removes the ones
    // write() made
    bool restorePrevious();
    // the fallback statement for the publication check has read (its update.ini, the fallback
    // it names, collected for signing); empty with the check's problems in errors() on failure
    QByteArray signFallbackOf(PublicationCheck &fallbackCheck);

    // The statements for the publication in serverDir as clients would find it with update.ini's
    // bytes descriptorBytes (null: those in serverDir): update.sig's, and update_fallback.sig's
    // when update.ini names a fallback, once every file was checked against its md5.txt. onDisk
    // is what update.ini in serverDir must still hold afterwards, and md5.txt what was checked:
    // a publication replaced meanwhile would get statements that none of it matches. The
    // check's warnings are added to warnings; false with errors().
    bool signPublication(const QString &serverDir, const QByteArray &descriptorBytes,
        const QByteArray &onDisk, std::function<void(quint64, quint64)> progress,
        QByteArray &statement, QByteArray &fallbackStatement, QStringList &warnings);

    // a new statement for the release published in serverDir, after every file was checked
    // against md5.txt; checkArguments() first
    bool resign(
        const QString &serverDir, std::function<void(quint64 done, quint64 total)> progress = {});

    QStringList errors() const { return errorList; }
    QStringList warnings() const { return warningList; }
    quint64 releaseNumber() const { return number; }
    // the file hashes the statements take, settled by prepare()
    SignedHashKind fileHash() const { return fileHashKind; }
    QDateTime expires() const { return expiry; }
    QList<QByteArray> publicKeys() const { return publicKeyList; }
    // the version and folder of the last statement made
    QString version() const { return signedVersion; }
    QString folder() const { return signedFolder; }
    int fileCount() const { return signedFiles; }

    static QString statementPath(const QString &serverDir);

private:
    QByteArray signedBytes(const ReleaseStatement &statement);

    SigningOptions options;
    QList<QByteArray> secretKeys;
    QList<QByteArray> publicKeyList;
    QStringList errorList;
    QStringList warningList;
    QString path; // of update.sig
    QByteArray previous;
    bool hadPrevious = false;
    ReplacedFile fallbackFile;
    quint64 published = 0; // the number of the statement prepare() found, 0: none read
    QByteArray publishedDescriptorSha256; // what it states
    QByteArray publishedManifestSha256;
    quint64 number = 0;
    SignedHashKind fileHashKind = SignedHashKind::Blake2b;
    QDateTime expiry;
    QString signedVersion;
    QString signedFolder;
    int signedFiles = 0;
};

#endif // RELEASESIGNER_H
