#ifndef RUNNOTES_H
#define RUNNOTES_H

#include "config.h"
#include "updatefrontend.h"
#include "updaterun.h"

struct UpdateAttempt;

// Starts the run log (runlog.h) in a cache that is safe to use, the first line saying what runs,
// the next ones the configuration in force (passwords hidden, as in every line); trim: this run
// keeps the log within its bound.
void beginRunLog(const UpdateContext &context, const UpdaterConfig &config, bool trim);

// the attempt's decision, for the log: nothing to update, left out of the rollout, declined,
// installed, failed
void logAttemptEnd(const UpdateAttempt &attempt, AttemptResult result);

#endif // RUNNOTES_H
