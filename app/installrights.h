#ifndef INSTALLRIGHTS_H
#define INSTALLRIGHTS_H

#include "elevatedstart.h"
#include "updaterun.h"

#include <QDir>
#include <QStringList>

// Where the updater's rights are decided: whether an attempt may install with this process's
// rights, and, where it may not, whether this build asks for more (the on-demand build on
// Windows starts itself elevated for the whole run) or the attempt fails. The updater's main()
// uses this class as it is; a test program of its own may substitute the elevated start, which
// under Wine, where every process is elevated, is the only way to reach it.
class InstallRights
{
public:
    virtual ~InstallRights();

    // true when this process holds all the rights there are to ask for, or may create files in
    // the installation's root; asked once per attempt
    virtual bool mayInstall(const QDir &installRoot) const;
    // whether this build starts itself elevated where the rights are missing
    virtual bool asksForRights() const;
    // runs this updater elevated with the arguments and waits for it, its report collected
    // when withReport
    virtual ElevatedRun runElevated(const QStringList &arguments, bool withReport);
};

struct UpdateAttempt;

// whether an attempt of this run may install with this process's rights (asked of context.rights,
// or of this process's own without them); asked once per attempt
bool mayInstallNow(const UpdateContext &context);
// whether an attempt of this run starts the updater elevated where it may not install itself
bool mayAskForRights(const UpdateContext &context);

// The updater started elevated for a whole run of its own: it reads its own configuration,
// fetches into its own cache and installs. Its exit code (in attempt.elevatedExitCode) and its
// console report (passed on by the frontend) are this run's, and result says whether it
// installed, for the host's start that this process makes. False with error when it could not
// run (a refused prompt): a failure like any other, the comparison already reported.
bool handOverToElevatedRun(
    UpdateAttempt &attempt, UpdateFrontend &frontend, AttemptResult &result, QString &error);

// The argument that tells an instance it was started elevated for a whole run: it asks no
// question before an optional update, never starts the host and never asks for rights again.
// Whoever forges it can skip that question and a host start, nothing else.
QString elevatedRunArgument();

#endif // INSTALLRIGHTS_H
