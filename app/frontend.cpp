#include "frontend.h"

#include "app/consolereport.h"
#include "net/proxyaccess.h"
#include "ui/cproxylogin.h"
#include "ui/cupdateerror.h"
#include "ui/cupdatenotice.h"
#include "ui/cupdateprogress.h"
#include "worker/cdownloadthread.h"

#include <QCoreApplication>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace {
QString failureTitle()
{
    return QCoreApplication::translate("QObject", "更新失败");
}

// The password as the base URL's text has it: after the first ':' of the user information, which
// ends at the last '@' before the query or fragment (QUrl would give nothing for a broken URL).
QString writtenPassword(const QString &baseUrl)
{
    const int authority = baseUrl.indexOf(QLatin1String("://"));
    if (authority < 0)
        return QString();
    int end = baseUrl.size();
    for (const QChar stop : {QLatin1Char('?'), QLatin1Char('#')}) {
        const int at = baseUrl.indexOf(stop, authority + 3);
        if (at >= 0)
            end = std::min(end, at);
    }
    const int userEnd = baseUrl.lastIndexOf(QLatin1Char('@'), end - 1);
    if (userEnd < authority + 3)
        return QString();
    const int colon = baseUrl.indexOf(QLatin1Char(':'), authority + 3);
    if (colon < 0 || colon > userEnd)
        return QString();
    return baseUrl.mid(colon + 1, userEnd - colon - 1);
}
} // namespace

QString hideUrlPassword(const QString &text, const QString &baseUrl)
{
    QSet<QString> forms;
    const QString written = writtenPassword(baseUrl);
    const QString decoded = QUrl::fromPercentEncoding(written.toUtf8());
    forms << written << decoded << QString::fromLatin1(QUrl::toPercentEncoding(decoded));
    const QUrl url(baseUrl, QUrl::TolerantMode);
    forms << url.password(QUrl::PrettyDecoded) << url.password(QUrl::FullyDecoded)
          << url.password(QUrl::FullyEncoded);
    forms.remove(QString());
    // the longer forms first, so that no shorter one leaves a piece of a longer one behind
    QStringList ordered = forms.values();
    std::sort(ordered.begin(), ordered.end(),
        [](const QString &a, const QString &b) { return a.size() > b.size(); });
    QString hidden = text;
    // only where it stands between the user name and the host: a short password must not
    // take letters out of the rest of the message
    for (const QString &password : qAsConst(ordered))
        hidden.replace(QLatin1Char(':') + password + QLatin1Char('@'), QLatin1String(":***@"));
    return hidden;
}

UpdateFrontend::~UpdateFrontend() = default;

void UpdateFrontend::setBaseUrl(const QString &url)
{
    baseUrl = url;
}

void UpdateFrontend::setProxyUrl(const QString &url)
{
    proxyUrl = url;
}

QString UpdateFrontend::shown(const QString &message) const
{
    return hideUrlPassword(hideUrlPassword(message, baseUrl), proxyUrl);
}

bool UpdateFrontend::answerProxyChallenge(ProxyAccess *access, QString &message)
{
    const std::optional<ProxyChallenge> challenge = access ? access->takeChallenge() : std::nullopt;
    if (!challenge)
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
