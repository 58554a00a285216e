#include "frontend.h"

#include "app/consolereport.h"
#include "ui/cupdateerror.h"
#include "ui/cupdatenotice.h"
#include "ui/cupdateprogress.h"
#include "worker/cdownloadthread.h"

#include <QCoreApplication>

namespace {
QString failureTitle()
{
    return QCoreApplication::translate("QObject", "更新失败");
}
} // namespace

UpdateFrontend::~UpdateFrontend() = default;

int UpdateFrontend::execDialog(QDialog &dialog)
{
    return dialog.exec();
}

void UpdateFrontend::runWorkerWithProgress(CDownloadThread &worker)
{
    CUpdateProgress progress(&worker);
    execDialog(progress);
}

void ConsoleFrontend::reportFatal(const QString &, const QString &message)
{
    printConsoleResult(false, false, message);
}

void ConsoleFrontend::reportComparison(bool update)
{
    printConsoleResult(true, update, QString());
}

bool ConsoleFrontend::reportFailure(const QString &message)
{
    printConsoleResult(false, false, message);
    return false;
}

bool ConsoleFrontend::reportWorkerFailure(const QString &message, bool)
{
    printConsoleResult(false, false, message);
    return false;
}

bool ConsoleFrontend::confirmUpdate(const QString &)
{
    return true;
}

void ConsoleFrontend::runWorker(CDownloadThread &worker, bool forced)
{
    if (forced) {
        runWorkerWithProgress(worker);
        return;
    }
    // the application's event loop carries the worker's network traffic until it has finished
    QObject::connect(
        &worker, &QThread::finished, QCoreApplication::instance(), &QCoreApplication::quit);
    worker.start(QThread::InheritPriority);
    QCoreApplication::exec();
}

bool ConsoleFrontend::relaunchesHost(AttemptResult result) const
{
    return result == AttemptResult::InstalledForced;
}

DialogFrontend::DialogFrontend(CUpdateError &errorDialog)
    : errorDialog(errorDialog)
{ }

bool DialogFrontend::showConfigError(const QString &title, const QString &text, bool canRetry)
{
    errorDialog.setMessage(title, text, canRetry);
    return execDialog(errorDialog) == QDialog::Accepted;
}

void DialogFrontend::reportFatal(const QString &title, const QString &message)
{
    showConfigError(title, message, false);
}

void DialogFrontend::reportComparison(bool) { }

bool DialogFrontend::reportFailure(const QString &message)
{
    return showConfigError(failureTitle(), message, true);
}

bool DialogFrontend::reportWorkerFailure(const QString &message, bool forced)
{
    if (!forced)
        return reportFailure(message);
    // a forced update has no way out but success: the report is acknowledged, then retried
    showConfigError(failureTitle(), message, false);
    return true;
}

bool DialogFrontend::confirmUpdate(const QString &version)
{
    CUpdateNotice notice;
    notice.setVersion(version);
    return execDialog(notice) == QDialog::Accepted;
}

void DialogFrontend::runWorker(CDownloadThread &worker, bool)
{
    runWorkerWithProgress(worker);
}

bool DialogFrontend::relaunchesHost(AttemptResult result) const
{
    return result != AttemptResult::NewAttempt;
}
