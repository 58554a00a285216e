#ifndef DELTAINDEX_H
#define DELTAINDEX_H

#include "manifest.h"
#include "reservednames.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QLoggingCategory>
#include <QMap>
#include <QString>

// A patch that turns one earlier version of a file into the file of this release: a zstd frame
// compressed with the earlier version as its prefix ("patch-from"). The release folder lists
// them in "update_delta.txt" beside md5.txt and keeps them below "update_delta/", each named
// after its own digest:
//
//   updater-delta-index 1
//   <digest of the earlier version> <patch size> <digest of the patch> <path>
//
// Digests are the manifest's MD5 digest texts, the size is decimal, the path percent-encoded
// UTF-8 as in the signed statement. A path may have several lines, one per earlier version.
// Clients that know nothing of deltas never read either.
struct DeltaPatch
{
    QString path; // of the file the patch makes
    QByteArray baseDigest; // of the installed copy it applies to
    quint64 size = 0;
    QByteArray digest;
};

// Neither the earlier version nor the new one may be larger than this: the decoder maps both
// (the zstd window must reach back over all of the earlier version), which a 64-bit process
// can afford for two files of this size at once, and a window of 2^31 bytes covers it.
constexpr quint64 MaxDeltaFileSize = quint64(1) << 30;
constexpr int MaxPatchWindowLog = 31;

// where the use of patches is told: which were applied, which were not and why
Q_DECLARE_LOGGING_CATEGORY(lcDelta)

// The key of update.ini that announces the index; its value is the index's name. Clients ask
// for the index only where it is announced.
QString deltaIndexKey();
// the patch's path in the release folder
QString deltaPatchPath(const DeltaPatch &patch);

QByteArray deltaIndexText(const QList<DeltaPatch> &patches);
// false when any line is not one of the format; patches then holds nothing
bool parseDeltaIndex(const QByteArray &bytes, QList<DeltaPatch> &patches);

#endif // DELTAINDEX_H
