#ifndef DESCRIPTOR_H
#define DESCRIPTOR_H

#include <QByteArray>
#include <QString>

#include "rollout.h"

// The values of "update.ini": what kind of update, where its files lie, what to call it.
struct UpdateDescriptor
{
    int updateType = 1; // 0: optional, anything else: forced
    QString folder;
    QString version;
    // the release folder holds an index of patches (update_delta.txt): announced by the key
    // "Delta/Index" naming it, which clients that know nothing of patches ignore
    bool deltaIndex = false;
    // "Version/Release": the publisher's number of this publication, which only grows (a signed
    // one's is its statement's); 0 where update.ini has none
    quint64 release = 0;

    // [Rollout]: the share of the installations that take the release (of RolloutBuckets; all of
    // them without the group or its key), as written (rolloutPercent)
    int rolloutShare = RolloutBuckets;
    QString rolloutPercent;
    bool rolloutValid = true; // false for a Percent that is no percentage
    // the release published earlier that the installations left out update to instead, if any
    QString fallbackFolder;
    QString fallbackVersion;
    quint64 fallbackRelease = 0;

    bool hasFallback() const { return !fallbackFolder.isEmpty(); }
};

// the keys of the rollout and the release number, as update.ini holds them
QString releaseNumberKey(); // "Version/Release"
QString rolloutPercentKey(); // "Rollout/Percent"
QString fallbackFolderKey(); // "Rollout/Fallback"
QString fallbackVersionKey(); // "Rollout/FallbackVersion"
QString fallbackReleaseKey(); // "Rollout/FallbackRelease"
// a release number as update.ini and the record hold it: a whole number from 1 up, written
// without sign or leading zero; 0 for any other text
quint64 parseReleaseNumber(const QString &text);
// the values of the descriptor's bytes: read as text, never decoded into objects (they come from
// the network); what is missing or unreadable takes its default
UpdateDescriptor parseDescriptor(const QByteArray &bytes);
// the same, of a file read whole; a file that cannot be read reads as the defaults
UpdateDescriptor readDescriptor(const QString &path);

#endif // DESCRIPTOR_H
