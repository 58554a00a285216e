#ifndef RELEASETRUST_H
#define RELEASETRUST_H

#include "net/manifest.h"
#include "net/reservednames.h"
#include "net/releasestatement.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QString>

struct UpdateDescriptor;

// What an installation remembers of the signed releases it accepted, in "update_release.info"
// beside the applied manifest: the highest release number, so that an older signed release
// replayed by a mirror is refused, and the newest signing time seen, which serves as the
// earliest plausible "now" on a machine whose clock runs far behind.
struct ReleaseRecord
{
    quint64 release = 0; // 0: none yet
    QDateTime newestIssued; // UTC; invalid when none
};

// a record that is missing or unreadable reads as none: the first signed release is trusted on
// its signature and expiry alone, as the first installation trusts what its installer shipped
ReleaseRecord readReleaseRecord(const QDir &installRoot);
// replaces the record in one step; false when it could not be written
bool writeReleaseRecord(const QDir &installRoot, const ReleaseRecord &record);
// the record after the statement was accepted
ReleaseRecord recordAfter(const ReleaseRecord &record, const ReleaseStatement &statement);

// How far the clock may run ahead of the vendor's before a statement counts as expired.
constexpr qint64 AllowedClockSkewSeconds = 24 * 60 * 60;

// Why the signature file must not be used for this update, or an empty text: not a statement,
// not signed by a trusted key, not about this update.ini, an older release than the installed
// one, or expired. now is the machine's clock.
QString statementRefusal(const QByteArray &signatureFile, const QList<QByteArray> &trustedKeys,
                         const QByteArray &descriptorBytes, const UpdateDescriptor &descriptor,
                         const ReleaseRecord &record, const QDateTime &now,
                         ReleaseStatement &statement);

// Why the manifest does not belong to the statement, or an empty text; otherwise every entry
// carries its signed SHA-256 afterwards.
QString attachSignedHashes(const QByteArray &manifestBytes, const ReleaseStatement &statement,
                           Manifest &manifest);

#endif // RELEASETRUST_H
