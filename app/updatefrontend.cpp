#include "updatefrontend.h"

#include "cdownloadthread.h"
#include "cupdateprogress.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLoggingCategory>

namespace {
// each failure as it reaches the user, for the run log
Q_LOGGING_CATEGORY(lcFailure, "updater.failure")
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
    qCWarning(lcFailure, "%s: %s", qUtf8Printable(title), qUtf8Printable(shown(message)));
    showFatal(title, shown(message));
}

bool UpdateFrontend::reportFailure(const QString &message)
{
    qCWarning(lcFailure, "%s", qUtf8Printable(shown(message)));
    return showFailure(shown(message));
}

bool UpdateFrontend::reportWorkerFailure(const QString &message, bool forced)
{
    qCWarning(lcFailure, "%s",
        qUtf8Printable(message.isEmpty() ? QStringLiteral("stopped by the user") : shown(message)));
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
