#ifndef PUBLISHER_H
#define PUBLISHER_H

#include "deltamaker.h"
#include "livepublication.h"
#include "releasesigner.h"
#include "replacedfile.h"

#include "descriptor.h"
#include "manifest.h"

#include <QCoreApplication>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

struct PublishOptions
{
    QString releaseDir;
    QString serverDir;
    QString version; // shown to users by the updater
    QString folder = QStringLiteral("Base"); // the updater's default when update.ini names none
    bool optional = false;
    bool replace = false; // an existing folder of that name may be replaced
    SigningOptions signing;
    // earlier releases to make patches from: release or server directories
    QStringList deltaFrom;
    int deltaLevel = DefaultPatchLevel;
    // a staged rollout: the share of the installations that take the release (of
    // RolloutBuckets), -1 for all of them without a [Rollout] group; and the release published
    // earlier that the others update to instead, if any
    int rolloutShare = -1;
    QString fallbackFolder;
};

// A file found below the release directory.
struct ReleaseFile
{
    QString path; // relative, "/"-separated, as listed in md5.txt
    QString sourcePath; // absolute; a link inside the release is read through
    quint64 size = 0;
};

// Publishes a release directory for the updater: the files into SERVER_DIR/FOLDER/ with their
// manifest md5.txt, then SERVER_DIR/update.ini naming that folder.
//
// Everything that can be checked is checked before a byte is written. The folder is then built
// under a hidden name beside it and renamed into place when complete, and update.ini is written
// last, so a client never reads a descriptor that leads to a half-copied folder. A signed
// release gets its statement update.sig just before update.ini, so that the two disagree for as
// short a time as possible (clients refuse the pair meanwhile and try again later); the
// statement of a rollout's fallback, update_fallback.sig, just before update.sig.
class Publisher
{
    Q_DECLARE_TR_FUNCTIONS(Publisher)

public:
    explicit Publisher(const PublishOptions &options);

    // the arguments themselves: version, folder name, how the directories relate, signing keys
    bool checkArguments();
    // walks the release and checks the files and the server directory; checkArguments() first
    bool prepare();
    // copies and hashes the files and writes md5.txt, update.sig when signing, and update.ini;
    // prepare() first
    bool publish();

    QStringList errors() const { return errorList; }
    QStringList warnings() const { return warningList; }
    QList<ReleaseFile> files() const { return fileList; }
    quint64 totalSize() const { return total; }
    // the manifest as published, in path order
    QList<ManifestEntry> entries() const { return entryList; }
    QString folderPath() const;
    // the statement's signer: its release number, expiry and keys once published
    const ReleaseSigner &signer() const { return releaseSigner; }
    // the number update.ini gives this publication, once prepared
    quint64 releaseNumber() const { return number; }
    // the rollout's fallback, once prepared; an empty folder for none
    RolloutFallback rolloutFallback() const { return fallback; }
    // the patches made from earlier releases, once published
    const DeltaMaker &deltas() const { return deltaMaker; }

    // called as bytes are hashed and copied
    void setProgressHandler(std::function<void(quint64 done, quint64 total)> handler);

    // what a vendor needs to know to point the updater at the server directory
    static QString urlExplanation(const QString &folder);

private:
    void walk(const QString &directory, const QString &relativeDirectory);
    void addError(const QString &message) { errorList.append(message); }
    bool copyFile(const ReleaseFile &file, const QString &destination, ManifestEntry &entry);
    bool writeManifest(const QString &directory);
    bool makeDescriptor(QByteArray &bytes, UpdateDescriptor &values);
    bool moveIntoPlace(const QString &staging);
    bool prepareNumbers();
    bool writeDescriptor(
        const QByteArray &bytes, const QByteArray &statement, const QByteArray &fallbackStatement);

    PublishOptions options;
    QString releaseRoot; // resolved
    QString serverRoot; // resolved
    QStringList errorList;
    QStringList warningList;
    QList<ReleaseFile> fileList;
    QHash<QString, QString> foldedPaths; // case-folded path to the path first seen
    QList<ManifestEntry> entryList;
    QByteArray manifestBytes; // as written
    QMap<QString, QByteArray> fileHashes; // path -> signed hash, when signing
    ReleaseSigner releaseSigner;
    LivePublication live;
    quint64 number = 0;
    RolloutFallback fallback;
    ReplacedFile unsignedFallbackStatement; // removed when publishing unsigned
    DeltaMaker deltaMaker;
    quint64 total = 0;
    quint64 done = 0;
    bool argumentsChecked = false;
    bool prepared = false;
    std::function<void(quint64, quint64)> progress;
};

#endif // PUBLISHER_H
