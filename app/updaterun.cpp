#include "updaterun.h"

#include "relaunch.h"
#include "updateattempt.h"

int runUpdates(const UpdateContext &context, UpdateFrontend &frontend)
{
    for (;;) {
        std::optional<int> elevatedExitCode;
        const AttemptResult result = runAttempt(context, frontend, elevatedExitCode);
        if (result == AttemptResult::NewAttempt)
            continue;
        // the updater that was started without rights starts the host, with them
        if (!context.elevatedRun && frontend.relaunchesHost(result))
            relaunchHost(context.hostProgram);
        if (elevatedExitCode)
            return *elevatedExitCode;
        return result == AttemptResult::NotInstalled ? 1 : 0;
    }
}
