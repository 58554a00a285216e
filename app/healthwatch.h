#ifndef HEALTHWATCH_H
#define HEALTHWATCH_H

#include "updaterun.h"

#include <QString>

// After an update that installed files, with HealthCheck set, the host is not started by the
// run itself but by a detached watch: this updater once more, started with
// healthWatchArgument() and no standard handles, so that neither the run's exit code nor its
// report waits for it, and it shows no window. The watch starts the host, waits up to
// HealthCheck seconds for it, and when it ends with a failure (a non-zero exit code, a crash)
// rolls the update back (rollbackrun.h), marks the release bad and starts the host once more.
// A host still running when the time is up, or that ends with 0, keeps the new version.
//
// How the host is found: wherever the watch may start it itself (it holds no administrator
// rights the host must not inherit, or the desktop's shell runs elevated too), the host is the
// watch's own child and its end is exact. An elevated watch on Windows has the desktop's shell
// start the host, as every start of the host does, and then finds it through a snapshot of the
// processes: the newest one whose image is the host's path and that began after the watch asked
// for it; it waits on that process and reads its exit code.

// Starts the watch; false when it could not be started (the caller starts the host itself).
bool startHealthWatch(const UpdateContext &context);

// The watch itself (its own lock: one watch at a time; a second one just starts the host).
// Returns the exit code: 0 unless a rollback was needed and failed.
int runHealthWatch(const UpdateContext &context, const QString &updaterDir);

#endif // HEALTHWATCH_H
