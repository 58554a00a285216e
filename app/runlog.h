#ifndef RUNLOG_H
#define RUNLOG_H

#include <QDir>

// The log of a run: "update.log" in the cache directory, started afresh by each run, holding
// the lines the updater's own logging categories write (such as a patch that was not used and
// why); a run that writes none leaves no log. Messages still reach Qt's handler as before. Call once the cache directory is known to be
// private; an earlier call for another directory is replaced.
void startRunLog(const QDir &cacheDir);

// the file name of the log in the cache directory
QString runLogName();

#endif // RUNLOG_H
