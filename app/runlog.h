#ifndef RUNLOG_H
#define RUNLOG_H

#include "manifest.h"
#include "urlpasswords.h"

#include <QDir>
#include <QString>

// The log of a run: "update.log" in the cache directory, started afresh by each run, holding
// the lines the updater's own logging categories write (such as a patch that was not used and
// why); a run that writes none leaves no log. Messages still reach Qt's handler (stderr).
//
// The cache mirrors the installation, so a release may list a file of that very name: lines
// appended to it after it was verified would be installed with it. The log then takes another
// name ("update.1.log", ...) that no file of the release has.
//
// Call once the cache directory is known to be private; a call for another path replaces the
// log of an earlier one.
void startRunLog(const QDir &cacheDir, const Manifest &release);

// From here on every message of the process, of any category and level, reaches the log and
// Qt's handler (stderr) without these passwords; call once at start-up, before the first
// message that may name a URL.
void hideInMessages(const UrlPasswords &passwords);

// the name of the log in the cache directory for that release
QString runLogName(const Manifest &release);

#endif // RUNLOG_H
