#ifndef DELTAMAKER_H
#define DELTAMAKER_H

#include "deltaindex.h"
#include "manifest.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

// zstd's level for patches: they are made once and fetched by every client
constexpr int DefaultPatchLevel = 19;
constexpr int ZstdMaxLevel = 22;

// Makes one patch: target compressed with base as its prefix (zstd's "patch-from"), with the
// window and long-distance matching the zstd tool chooses for the same pair, written to
// patchPath. Gives up, leaving no file, once the patch would exceed limit bytes. error is empty
// when it only did not pay.
bool makePatch(const QString &basePath, const QString &targetPath, const QString &patchPath,
    int level, quint64 limit, quint64 &patchSize, QByteArray &patchDigest, QString &error);

// Patches from the files of earlier releases to a release being published. Each earlier release
// is a release directory as given to update-publish, or a server directory it published to (the
// folder its update.ini names is read). For each file of the new release and each different
// earlier version of it, a patch is kept when it is at most three quarters of the file.
class DeltaMaker
{
    Q_DECLARE_TR_FUNCTIONS(DeltaMaker)

public:
    DeltaMaker(const QStringList &earlierDirs, int level = DefaultPatchLevel);

    // each earlier directory exists and can be read; before anything is written
    bool checkArguments();
    // patches for entries, whose files lie in folderDir, into folderDir/update_delta/, and the
    // index beside them; indexBytes receives it
    bool make(
        const QString &folderDir, const QList<ManifestEntry> &entries, QByteArray &indexBytes);

    QStringList errors() const { return errorList; }
    QList<DeltaPatch> patches() const { return made; }
    // the bytes of the files patches were made for, and of the largest patch of each
    quint64 patchedFileBytes() const { return fileBytes; }
    quint64 largestPatchBytes() const { return patchBytes; }

    // where the files of an earlier release lie, or an empty text when dir is no release
    static QString earlierFilesRoot(const QString &dir);

private:
    QStringList dirs;
    QStringList roots;
    int level;
    QStringList errorList;
    QList<DeltaPatch> made;
    quint64 fileBytes = 0;
    quint64 patchBytes = 0;
};

#endif // DELTAMAKER_H
