#ifndef ROLLOUTCHOICE_H
#define ROLLOUTCHOICE_H

#include <QString>

struct UpdateAttempt;
class UpdateFrontend;

// What a staged rollout means for an installation that lacks the release.
enum class RolloutChoice {
    Release, // in the share (or no rollout): the release, as ever
    Fallback, // left out, and the fallback release is newer than the installed one
    Nothing, // left out, with no fallback newer than the installed one: nothing to update
};

// Decided after change detection found the release missing: an installation that has it is
// never asked. The identifier is read (or made) only when the share is neither 0 nor all.
// False, with the reason in error, for a Percent that is no percentage or an identifier that
// cannot be kept.
bool chooseRolloutRelease(const UpdateAttempt &attempt, RolloutChoice &choice, QString &error);

// Makes the fallback the attempt's release: its folder and version, and for a signed
// publication its own statement ("update_fallback.sig", bound to the same update.ini), which
// must verify as the release's does and carry the number update.ini gives it. False with the
// reason in error. The manifest of the fallback is fetched afterwards, as the release's is.
bool takeFallback(UpdateAttempt &attempt, UpdateFrontend &frontend, QString &error);

#endif // ROLLOUTCHOICE_H
