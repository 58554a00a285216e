#include "consolefrontend.h"

#include "cdownloadthread.h"
#include "consolereport.h"

#include <QCoreApplication>

void ConsoleFrontend::showFatal(const QString &, const QString &message)
{
    printConsoleResult(false, false, message);
}

void ConsoleFrontend::reportComparison(bool update)
{
    printConsoleResult(true, update, QString());
}

bool ConsoleFrontend::showFailure(const QString &message)
{
    printConsoleResult(false, false, message);
    return false;
}

bool ConsoleFrontend::showWorkerFailure(const QString &message, bool)
{
    printConsoleResult(false, false, message);
    return false;
}

bool ConsoleFrontend::confirmUpdate(const QString &)
{
    return true;
}

bool ConsoleFrontend::askProxyCredentials(const QString &, bool, QString &, QString &)
{
    return false;
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

QStringList ConsoleFrontend::modeArguments() const
{
    return {QStringLiteral("console")};
}

bool ConsoleFrontend::passesOnReports() const
{
    return true;
}

void ConsoleFrontend::passOnReport(const QByteArray &report)
{
    writeConsoleOutput(report);
}
