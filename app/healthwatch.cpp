#include "healthwatch.h"

#include "config.h"
#include "installrights.h"
#include "processwatch.h"
#include "relaunch.h"
#include "reservednames.h"
#include "rollbackrun.h"
#include "singleinstance.h"
#include "unelevatedstart.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QThread>

namespace {
Q_LOGGING_CATEGORY(lcWatch, "updater.watch")

// a host that comes up this slowly is found all the same
constexpr int FindHostMs = 60 * 1000;
// the updater that started the watch holds the run's lock until it has exited
constexpr int RunLockWaitMs = 60 * 1000;

struct HostEnd
{
    bool started = false;
    bool failed = false;
    QString how; // for the log and the outcome report
};

HostEnd endOf(bool ended, bool crashed, quint32 exitCode, int seconds)
{
    HostEnd end;
    end.started = true;
    end.failed = ended && (crashed || exitCode != 0);
    if (!ended)
        end.how = QStringLiteral("the host still runs after %1 s").arg(seconds);
    else if (crashed)
        end.how = QStringLiteral("the host crashed");
    else
        end.how = QStringLiteral("the host ended with exit code %1").arg(exitCode);
    return end;
}

// The host as the watch's own child. A host still running when the time is up must go on
// running, and QProcess's destructor would end it: the object is never destroyed.
HostEnd watchChild(const QString &host, int seconds)
{
    auto *process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    process->start(host, hostArguments());
    if (!process->waitForStarted(FindHostMs)) {
        HostEnd end;
        end.how = QStringLiteral("the host could not be started: ") + process->errorString();
        delete process;
        return end;
    }
    if (!process->waitForFinished(seconds * 1000))
        return endOf(false, false, 0, seconds);
    const HostEnd end = endOf(
        true, process->exitStatus() == QProcess::CrashExit, quint32(process->exitCode()), seconds);
    delete process;
    return end;
}

HostEnd startAndWatch(const QString &host, int seconds)
{
    const QFileInfo program(host);
    const qint64 since = processTimeNow();
    // elevated on Windows: the desktop's shell starts the host with the user's rights, and the
    // watch finds it among the processes
    if (program.isFile()
        && startAsDesktopUser(QDir::toNativeSeparators(program.absoluteFilePath()),
            windowsCommandLine(hostArguments()), QDir::toNativeSeparators(QDir::currentPath()),
            QStringLiteral("open"))) {
        qCInfo(
            lcWatch, "the desktop's shell starts the host: it is looked for among the processes");
        const ProgramEnd end
            = waitForProgram(program.absoluteFilePath(), since, FindHostMs, seconds * 1000);
        if (end.status == ProgramEnd::Status::NotFound) {
            HostEnd none;
            none.started = true;
            none.how = QStringLiteral("the host the shell started was not found");
            return none;
        }
        const bool ended = end.status == ProgramEnd::Status::Ended;
        // a crash ends a Windows process with the exception's code, never 0
        return endOf(ended, false, end.exitCode, seconds);
    }
    qCInfo(lcWatch, "the host is started as the watch's own child");
    return watchChild(host, seconds);
}
} // namespace

bool startHealthWatch(const UpdateContext &context)
{
    QProcess watch;
    watch.setProgram(QCoreApplication::applicationFilePath());
    watch.setArguments({healthWatchArgument()});
    // nothing of the caller's: its pipe ends when the run ends, not when the watch does
    watch.setStandardInputFile(QProcess::nullDevice());
    watch.setStandardOutputFile(QProcess::nullDevice());
    watch.setStandardErrorFile(QProcess::nullDevice());
    if (watch.startDetached()) {
        qCInfo(lcWatch, "the host is started by a watch of %d s", context.healthCheck);
        return true;
    }
    qCWarning(lcWatch, "no watch: %s", qUtf8Printable(watch.errorString()));
    return false;
}

int runHealthWatch(const UpdateContext &context, const QString &updaterDir)
{
    SingleInstanceGuard watchLock(updaterDir, watchLockName());
    if (context.healthCheck <= 0 || !watchLock.acquire()) {
        qCInfo(lcWatch, "another watch runs, or none is configured: the host is started alone");
        relaunchHost(context.hostProgram);
        return 1;
    }
    qCInfo(lcWatch, "watching the host for %d s", context.healthCheck);
    const HostEnd end = startAndWatch(context.hostProgram, context.healthCheck);
    if (!end.failed) {
        qCInfo(lcWatch, "%s: the update stays", qUtf8Printable(end.how));
        return 0;
    }
    qCWarning(lcWatch, "%s: the update is rolled back", qUtf8Printable(end.how));
    if (!mayInstallNow(context) && mayAskForRights(context)) {
        // rights on demand: the rollback asks for them, as an installation does, in an updater
        // that takes the run's lock itself
        const ElevatedRun run = context.rights->runElevated({QStringLiteral("rollback")}, false);
        const bool rolledBack = run.status == ElevatedRun::Status::Finished && run.exitCode == 0;
        if (!rolledBack)
            qCWarning(lcWatch, "the elevated rollback did not restore the previous version (%s)",
                qUtf8Printable(run.status == ElevatedRun::Status::Finished
                        ? QStringLiteral("exit code %1").arg(run.exitCode)
                        : run.error));
        relaunchHost(context.hostProgram);
        return rolledBack ? 0 : 1;
    }
    const QDeadlineTimer deadline(RunLockWaitMs);
    while (!context.lock->acquire()) {
        if (deadline.hasExpired()) {
            qCWarning(lcWatch, "no rollback: another updater holds the run's lock");
            return 1;
        }
        QThread::msleep(200);
    }
    QString error;
    const bool rolledBack = rollBackLastUpdate(context, end.how, error);
    context.lock->release();
    relaunchHost(context.hostProgram);
    return rolledBack ? 0 : 1;
}
