#include "installrights.h"

#include "singleinstance.h"
#include "updateattempt.h"
#include "writeaccess.h"

#include <QCoreApplication>

InstallRights::~InstallRights() = default;

bool InstallRights::mayInstall(const QDir &installRoot) const
{
    // rights that are held already leave nothing to ask for: whatever fails is then told by
    // the installation itself, as always
    return holdsAdministratorRights() || mayCreateFilesIn(installRoot.absolutePath());
}

bool InstallRights::asksForRights() const
{
#if defined(Q_OS_WIN) && defined(UPDATER_ELEVATION_ON_DEMAND)
    return true;
#else
    return false;
#endif
}

ElevatedRun InstallRights::runElevated(const QStringList &arguments, bool withReport)
{
    return ::runElevated(QCoreApplication::applicationFilePath(), arguments, withReport);
}

QString elevatedRunArgument()
{
    return QStringLiteral("--elevated-run");
}

bool mayInstallNow(const UpdateContext &context)
{
    static const InstallRights ownRights;
    return (context.rights ? context.rights : &ownRights)->mayInstall(context.installRoot);
}

bool mayAskForRights(const UpdateContext &context)
{
    return context.rights && context.rights->asksForRights() && !context.elevatedRun;
}

bool handOverToElevatedRun(
    UpdateAttempt &attempt, UpdateFrontend &frontend, AttemptResult &result, QString &error)
{
    QStringList arguments = frontend.modeArguments();
    arguments.append(elevatedRunArgument());
    SingleInstanceGuard *lock = attempt.context.lock;
    if (lock)
        lock->release();
    const ElevatedRun run
        = attempt.context.rights->runElevated(arguments, frontend.passesOnReports());
    // a new attempt after a refusal holds it again, unless another updater took it meanwhile
    if (lock && run.status != ElevatedRun::Status::Finished)
        lock->acquire();
    if (run.status != ElevatedRun::Status::Finished) {
        error = QCoreApplication::translate("QObject", "需要管理员权限才能安装更新");
        if (run.status == ElevatedRun::Status::Failed)
            error += QCoreApplication::translate("QObject", ":%1").arg(run.error);
        // what a single updater reports before it fails
        frontend.reportComparison(attempt.forced());
        return false;
    }
    frontend.passOnReport(run.report);
    attempt.elevatedExitCode = run.exitCode;
    if (run.exitCode == 0)
        result
            = attempt.forced() ? AttemptResult::InstalledForced : AttemptResult::InstalledOptional;
    else
        result = AttemptResult::NotInstalled;
    return true;
}
