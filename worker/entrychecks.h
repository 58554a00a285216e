#ifndef ENTRYCHECKS_H
#define ENTRYCHECKS_H

#include "manifest.h"

#include <QDir>
#include <QList>
#include <QString>

// Why an entry of the list must not be downloaded or installed, checked for all of them before
// anything is touched: a path that leaves the cache or the installation root, one that would
// install into the cache itself, two that differ only in letter case where names fold case, one
// that takes the name of the updater's own files or of another one's set-aside copy. False, with
// the entry's index in failing and the message in error, for the first that must not.
bool checkEntries(const QList<ManifestEntry> &entries, const QDir &cacheDir,
    const QDir &installRoot, int &failing, QString &error);

// Between the cache directory and a cache file lie only real directories of this user's: a
// link among them is removed as a link, a directory that someone else could change is removed
// with what it holds, and the download makes the real ones. False, with the message naming the
// path that could not be removed in error.
bool clearCacheDirs(const QString &cacheDir, const QString &entryPath, QString &error);

#endif // ENTRYCHECKS_H
