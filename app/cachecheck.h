#ifndef CACHECHECK_H
#define CACHECHECK_H

#include <QDir>
#include <QString>

// Everything in the cache is installed with administrator rights: a cache that someone else
// could change or replace, or a link that leads somewhere else, is not used at all. True with
// cacheDir set to the path that was checked, which is used from then on, never again through a
// link; false with the message for the user in error.
bool useCheckedCacheDir(QDir &cacheDir, QString &error);

#endif // CACHECHECK_H
