#include "frontend.h"

#include "consolereport.h"
#include "proxyaccess.h"
#include "cproxylogin.h"
#include "cupdateerror.h"
#include "cupdatenotice.h"
#include "cupdateprogress.h"
#include "cdownloadthread.h"

#include <QCoreApplication>

namespace {
QString failureTitle()
{
    return QCoreApplication::translate("QObject", "更新失败");
}
} // namespace

UpdateFrontend::~UpdateFrontend() = default;

void UpdateFrontend::setPasswords(const UrlPasswords &hiddenPasswords)
{
    passwords = hiddenPasswords;
}

QString UpdateFrontend::shown(const QString &message) const
{
    return passwords.hidden(message);
}

bool UpdateFrontend::answerProxyChallenge(
    ProxyAccess *access, const std::optional<ProxyChallenge> &challenge, QString &message)
{
    if (!access || !challenge)
        return false;
    QString user = challenge->proxy.user();
    QString password;
    if (askProxyCredentials(challenge->name(), challenge->refused, user, password)) {
        access->setCredentials(challenge->proxy, user, password);
        return true;
    }
    message
        = QCoreApplication::translate("QObject", "代理服务器%1需要身份验证").arg(challenge->name());
    if (challenge->refused)
        message += QCoreApplication::translate("QObject", ":用户名或密码被拒绝");
    return false;
}

void UpdateFrontend::reportFatal(const QString &title, const QString &message)
{
    showFatal(title, shown(message));
}

bool UpdateFrontend::reportFailure(const QString &message)
{
    return showFailure(shown(message));
}

bool UpdateFrontend::reportWorkerFailure(const QString &message, bool forced)
{
    return showWorkerFailure(shown(message), forced);
}

int UpdateFrontend::execDialog(QDialog &dialog)
{
    return dialog.exec();
}

void UpdateFrontend::runWorkerWithProgress(CDownloadThread &worker)
{
    CUpdateProgress progress(&worker);
    // the worker's failure shows in the dialog too: it is a report like the others
    progress.setMessageFilter([this](const QString &message) { return shown(message); });
    // started once the dialog follows it; the end it reports arrives in the dialog's loop
    worker.start(QThread::InheritPriority);
    execDialog(progress);
}

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
