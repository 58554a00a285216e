#ifndef RUNLOG_H
#define RUNLOG_H

#include "manifest.h"
#include "urlpasswords.h"

#include <QDir>
#include <QString>

// The log of the runs, for support: "update.log" in the cache directory, holding the lines the
// updater's own logging categories write (the configuration, each request, the decisions, the
// installation, the watch of the host, a rollback, each failure and its reason). Every run
// appends to it; each line is written whole in one write to a file opened for appending and
// closed again, so that a crash loses at most the line being written. Messages still reach Qt's
// handler (stderr).
//
// Its size is bounded: a run that holds the run's lock starts by keeping only the newest runs
// within MaxKeptLogBytes (the oldest ones dropped whole; a single run larger than that keeps its
// end), and a run writes at most MaxRunLogBytes, then one line that says the rest is left out.
// The log thus never passes MaxKeptLogBytes + MaxRunLogBytes (512 KiB) for long.
//
// The cache mirrors the installation, so a release may list a file of that very name: lines
// appended to it after it was verified would be installed with it. The log then takes another
// name ("update.1.log", ...) that no file of the release has.
//
// Call once the cache directory is known to be private; a call for another name goes on there.
constexpr qint64 MaxKeptLogBytes = 256 * 1024;
constexpr qint64 MaxRunLogBytes = 256 * 1024;
// releasePaths: the paths of the release's files, or just their first components
void startRunLog(const QDir &cacheDir, const QStringList &releasePaths, bool trim = false);

// From here on every message of the process, of any category and level, reaches the log and
// Qt's handler (stderr) without these passwords; call once at start-up, before the first
// message that may name a URL.
void hideInMessages(const UrlPasswords &passwords);

// the name of the log in the cache directory for a release of these paths
QString runLogName(const QStringList &releasePaths);

// the text that begins each run's first line
QByteArray runLogRunMark();

#endif // RUNLOG_H
