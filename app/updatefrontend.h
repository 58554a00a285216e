#ifndef UPDATEFRONTEND_H
#define UPDATEFRONTEND_H

#include "proxyaccess.h"
#include "urlpasswords.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

class CDownloadThread;
class QDialog;

// How an update attempt ended, as far as relaunching the host is concerned.
enum class AttemptResult {
    NewAttempt, // start again from the descriptor
    NotInstalled, // nothing installed: failure, nothing to update, declined
    InstalledOptional,
    InstalledForced,
};

// Everything that differs between console mode and the dialogs, in one place: how a failure is
// reported, whether the user is asked, how the worker runs and when the host is started again.
// Every message passes through here on its way to the user, so this is where the passwords of the
// base URL and of the proxy are taken out of them.
class UpdateFrontend
{
public:
    virtual ~UpdateFrontend();

    // the passwords no report may show; set once at start-up
    void setPasswords(const UrlPasswords &passwords);
    // the message as it is shown: without the passwords of the base URL and the proxy
    QString shown(const QString &message) const;

    // A proxy of access failed a request for want of credentials (challenge): asks for them
    // (the dialogs do, the console never does) and gives them to access, true then, and the
    // request is to be sent again. Otherwise message says that the proxy wants credentials;
    // false as well when no proxy asked, or there is no access, message then untouched.
    bool answerProxyChallenge(
        ProxyAccess *access, const std::optional<ProxyChallenge> &challenge, QString &message);

    // a failure that no new attempt can mend (start-up, configuration)
    void reportFatal(const QString &title, const QString &message);
    // fetching or saving failed; true when a new attempt is to run
    bool reportFailure(const QString &message);
    // the worker failed; true when a new attempt is to run
    bool reportWorkerFailure(const QString &message, bool forced);
    // the manifest was compared with the installation; update: files differ, forced update
    virtual void reportComparison(bool update) = 0;
    // asked before an optional update; true to go on
    virtual bool confirmUpdate(const QString &version) = 0;
    // starts the worker and returns once its thread has finished
    virtual void runWorker(CDownloadThread &worker, bool forced) = 0;
    virtual bool relaunchesHost(AttemptResult result) const = 0;
    // the arguments that start an updater in this mode
    virtual QStringList modeArguments() const = 0;
    // whether the console report of an updater run for this one reaches the caller, through
    // passOnReport, byte for byte as it wrote it
    virtual bool passesOnReports() const = 0;
    virtual void passOnReport(const QByteArray &report) = 0;

protected:
    // the reports, given messages already fit to be shown
    virtual void showFatal(const QString &title, const QString &message) = 0;
    virtual bool showFailure(const QString &message) = 0;
    virtual bool showWorkerFailure(const QString &message, bool forced) = 0;
    // asks for the user name and password for the proxy ("host:port"); refused: the last ones
    // were refused, user holds that user name; true with the answer in user and password
    virtual bool askProxyCredentials(
        const QString &proxy, bool refused, QString &user, QString &password)
        = 0;

    // every modal dialog of the run goes through here
    virtual int execDialog(QDialog &dialog);
    // starts the worker under the progress dialog, which closes once its thread has finished
    void runWorkerWithProgress(CDownloadThread &worker);

private:
    UrlPasswords passwords;
};

#endif // UPDATEFRONTEND_H
