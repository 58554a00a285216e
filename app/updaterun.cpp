#include "updaterun.h"

#include "healthwatch.h"
#include "relaunch.h"
#include "rollbackrun.h"
#include "updateattempt.h"

int runUpdates(const UpdateContext &context, UpdateFrontend &frontend)
{
    // a rollback that a killed run began is completed before anything is compared with it
    finishInterruptedRollback(context);
    for (;;) {
        std::optional<int> elevatedExitCode;
        const AttemptResult result = runAttempt(context, frontend, elevatedExitCode);
        if (result == AttemptResult::NewAttempt)
            continue;
        // the updater that was started without rights starts the host, with them; after an
        // installation, through the watch that rolls it back should the host fail
        if (!context.elevatedRun && frontend.relaunchesHost(result)) {
            const bool installed = result != AttemptResult::NotInstalled;
            if (!installed || context.healthCheck <= 0 || !startHealthWatch(context))
                relaunchHost(context.hostProgram);
        }
        if (elevatedExitCode)
            return *elevatedExitCode;
        return result == AttemptResult::NotInstalled ? 1 : 0;
    }
}
