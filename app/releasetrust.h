#ifndef RELEASETRUST_H
#define RELEASETRUST_H

#include "manifest.h"
#include "releasestatement.h"
#include "reservednames.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QString>

struct UpdateDescriptor;

// What an installation remembers of the releases it accepted, in "update_release.info"
// beside the applied manifest: the highest release number, so that an older signed release
// replayed by a mirror is refused; what was accepted under that number, so that another release
// under the same number is refused too (a statement signed again, with a new expiry, for the
// same update.ini and md5.txt is the same release); and the newest signing time seen, which
// serves as the earliest plausible "now" on a machine whose clock runs far behind.
//
// The file is text, one "KEY VALUE" line each, in any order; lines it does not know are left
// alone by readers (a record written before the hashes were kept has only the first two):
//
//   release 7
//   issued 2026-12-08T14:00:00Z
//   update.ini <SHA-256 of the update.ini accepted under release 7, lower-case hex>
//   md5.txt <SHA-256 of the md5.txt accepted under release 7, lower-case hex>
//   folder v2.1       the folder and version, percent-encoded as in the statement
//   version 2.1
//
// A release of an unsigned publication is recorded too when its update.ini carries the
// publisher's number (then without the hashes and the time), so that a rollout never moves the
// installation back to an older release.
//
// It is written in one step, before any file of the release it admits is installed.
struct ReleaseRecord
{
    quint64 release = 0; // 0: none yet
    QDateTime newestIssued; // UTC; invalid when none
    // what was accepted under release; empty when not known
    QByteArray descriptorSha256;
    QByteArray manifestSha256;
    // the folder and version installed last (as the outcome reports name them); empty when
    // not known
    QString folder;
    QString version;
};

// a record that is missing or unreadable reads as none: the first signed release is trusted on
// its signature and expiry alone, as the first installation trusts what its installer shipped
ReleaseRecord readReleaseRecord(const QDir &installRoot);
// replaces the record in one step; false, with the system's reason in error, when it could not
// be written
bool writeReleaseRecord(const QDir &installRoot, const ReleaseRecord &record, QString &error);
// the record after the statement was accepted
ReleaseRecord recordAfter(const ReleaseRecord &record, const ReleaseStatement &statement);

// How far the clock may run ahead of the vendor's before a statement counts as expired.
constexpr qint64 AllowedClockSkewSeconds = 24 * 60 * 60;

// Whether the signature file may be used for this update: false, with the reason in error, when
// it is not a statement, not signed by a trusted key, not about this update.ini, an older release
// than the installed one, another release under the installed one's number, or expired. now is
// the machine's clock. True with the statement read into statement.
bool verifyStatement(const QByteArray &signatureFile, const QList<QByteArray> &trustedKeys,
    const QByteArray &descriptorBytes, const UpdateDescriptor &descriptor,
    const ReleaseRecord &record, const QDateTime &now, ReleaseStatement &statement, QString &error);

// Whether the manifest is the one the statement signs; false with the reason in error. Checked
// before the manifest is parsed.
bool verifyManifest(
    const QByteArray &manifestBytes, const ReleaseStatement &statement, QString &error);
// Every entry of the manifest carries its signed SHA-256 afterwards; false, with the reason in
// error, when an entry has none.
bool attachSignedHashes(const ReleaseStatement &statement, Manifest &manifest, QString &error);

#endif // RELEASETRUST_H
