#include "rollbackrun.h"

#include "cachecheck.h"
#include "consolereport.h"
#include "installrights.h"
#include "outcomereport.h"
#include "reservednames.h"
#include "rollback.h"
#include "safedir.h"
#include "singleinstance.h"
#include "updateattempt.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcUndo, "updater.rollback")

// a file of the installation's root as it is: none when missing or not a regular file reached
// without a link
std::optional<QByteArray> currentBytes(const QDir &installRoot, const QString &name)
{
    QFile file;
    if (!SafeDir::openBelow(installRoot.absolutePath(), name, file))
        return std::nullopt;
    return file.readAll();
}
} // namespace

UpdateRecord recordBeforeInstalling(const UpdateAttempt &attempt)
{
    UpdateRecord record;
    record.folder = attempt.descriptor.folder;
    record.version = attempt.descriptor.version;
    const QDir &root = attempt.context.installRoot;
    record.appliedManifest = currentBytes(root, appliedManifestName());
    record.releaseRecord = currentBytes(root, releaseRecordName());
    return record;
}

bool releaseRolledBack(const UpdateAttempt &attempt)
{
    const UpdateDescriptor &descriptor = attempt.descriptor;
    if (!releaseMarkedBad(attempt.context.cacheDir, descriptor.folder, descriptor.version))
        return false;
    qCInfo(lcUndo, "%s (%s) was rolled back on this machine: it is not installed again",
        qUtf8Printable(descriptor.version), qUtf8Printable(descriptor.folder));
    return true;
}

void finishInterruptedRollback(const UpdateContext &context)
{
    QDir cache = context.cacheDir;
    QString error;
    if (!mayInstallNow(context) || !useCheckedCacheDir(cache, error))
        return;
    Rollback rollback(cache, context.installRoot, context.transfer.lockedFileWait);
    if (!rollback.finishInterrupted())
        qCWarning(lcUndo, "an interrupted rollback: %s", qUtf8Printable(rollback.errorMessage()));
}

bool rollBackLastUpdate(const UpdateContext &context, const QString &why, QString &error)
{
    QDir cache = context.cacheDir;
    if (!useCheckedCacheDir(cache, error))
        return false;
    qCInfo(lcUndo, "rollback: %s", qUtf8Printable(why));
    Rollback rollback(cache, context.installRoot, context.transfer.lockedFileWait);
    if (!rollback.run()) {
        error = rollback.errorMessage();
        qCWarning(lcUndo, "no rollback: %s", qUtf8Printable(error));
        return false;
    }
    if (!context.reportUrl.isEmpty()) {
        const ReleaseRecord restored = readReleaseRecord(context.installRoot);
        OutcomeReport report;
        report.event = QStringLiteral("rolled-back");
        report.version = rollback.record().version;
        report.folder = rollback.record().folder;
        report.fromVersion = restored.version;
        report.fromFolder = restored.folder;
        report.error = context.passwords.hidden(why);
        sendOutcomeReport(context.manager, context.reportUrl, report);
    }
    return true;
}

int runRollbackCommand(const UpdateContext &context)
{
    QString error;
    if (!context.lock->acquire()) {
        printConsoleResult(false, false, QObject::tr("升级程序已运行"));
        return 1;
    }
    if (!rollBackLastUpdate(context, QStringLiteral("asked for on the command line"), error)) {
        printConsoleResult(false, false, context.passwords.hidden(error));
        return 1;
    }
    printConsoleResult(true, false, QString());
    return 0;
}
