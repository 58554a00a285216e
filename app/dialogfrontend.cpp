#include "dialogfrontend.h"

#include "cproxylogin.h"
#include "cupdateerror.h"
#include "cupdatenotice.h"

#include <QCoreApplication>

namespace {
QString failureTitle()
{
    return QCoreApplication::translate("QObject", "更新失败");
}
} // namespace

DialogFrontend::DialogFrontend(CUpdateError &errorDialog)
    : errorDialog(errorDialog)
{ }

bool DialogFrontend::showConfigError(const QString &title, const QString &text, bool canRetry)
{
    errorDialog.setMessage(title, text, canRetry);
    return execDialog(errorDialog) == QDialog::Accepted;
}

void DialogFrontend::showFatal(const QString &title, const QString &message)
{
    showConfigError(title, message, false);
}

void DialogFrontend::reportComparison(bool) { }

bool DialogFrontend::showFailure(const QString &message)
{
    return showConfigError(failureTitle(), message, true);
}

bool DialogFrontend::showWorkerFailure(const QString &message, bool forced)
{
    if (!forced)
        return showFailure(message);
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

bool DialogFrontend::askProxyCredentials(
    const QString &proxy, bool refused, QString &user, QString &password)
{
    CProxyLogin login;
    login.setProxy(proxy, refused, user);
    if (execDialog(login) != QDialog::Accepted)
        return false;
    user = login.user();
    password = login.password();
    return true;
}

void DialogFrontend::runWorker(CDownloadThread &worker, bool)
{
    runWorkerWithProgress(worker);
}

bool DialogFrontend::relaunchesHost(AttemptResult result) const
{
    return result != AttemptResult::NewAttempt;
}

QStringList DialogFrontend::modeArguments() const
{
    return {};
}

bool DialogFrontend::passesOnReports() const
{
    return false;
}

void DialogFrontend::passOnReport(const QByteArray &) { }
