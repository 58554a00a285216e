#ifndef ROLLBACKRUN_H
#define ROLLBACKRUN_H

#include "updaterecord.h"
#include "updaterun.h"

#include <QString>

struct UpdateAttempt;

// What an installation of this attempt starts its record from (worker/updaterecord.h): the
// release it installs, and the applied manifest and the release record as they are before it.
UpdateRecord recordBeforeInstalling(const UpdateAttempt &attempt);
// whether the attempt's release was rolled back on this machine: it is then not installed
// again until update.ini names another one
bool releaseRolledBack(const UpdateAttempt &attempt);

// Completes a rollback that a killed run began, before anything else of the run, when this run
// may write the installation and its cache is safe.
void finishInterruptedRollback(const UpdateContext &context);

// The last update undone (worker/rollback.h), the outcome report sent with the rolled-back
// event and why (the host's failure, or the command). False with the message in error: nothing
// changed, or the journal has the next run complete it.
bool rollBackLastUpdate(const UpdateContext &context, const QString &why, QString &error);

// "updater rollback": the last update undone on demand when its set-aside copies are all
// there, else nothing changes; the outcome is the console's JSON report, the exit code 0 only
// when the previous version is back. The host is not started.
int runRollbackCommand(const UpdateContext &context);

#endif // ROLLBACKRUN_H
