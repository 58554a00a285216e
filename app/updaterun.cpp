#include "updaterun.h"

#include "relaunch.h"
#include "updateattempt.h"

int runUpdates(const UpdateContext &context, UpdateFrontend &frontend)
{
    for (;;) {
        const AttemptResult result = runAttempt(context, frontend);
        if (result == AttemptResult::NewAttempt)
            continue;
        if (frontend.relaunchesHost(result))
            relaunchHost(context.hostProgram);
        return result == AttemptResult::NotInstalled ? 1 : 0;
    }
}
