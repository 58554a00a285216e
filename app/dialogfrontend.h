#ifndef DIALOGFRONTEND_H
#define DIALOGFRONTEND_H

#include "updatefrontend.h"

class CUpdateError;

// Reports in the one error dialog with its retry offer, asks before an optional update, shows
// progress, and starts the host at every way out of the run. A forced update ends only by
// success.
class DialogFrontend : public UpdateFrontend
{
public:
    explicit DialogFrontend(CUpdateError &errorDialog);

    void reportComparison(bool update) override;
    bool confirmUpdate(const QString &version) override;
    void runWorker(CDownloadThread &worker, bool forced) override;
    bool relaunchesHost(AttemptResult result) const override;
    // the elevated run shows its own dialogs
    QStringList modeArguments() const override;
    bool passesOnReports() const override;
    void passOnReport(const QByteArray &report) override;

protected:
    void showFatal(const QString &title, const QString &message) override;
    bool showFailure(const QString &message) override;
    bool showWorkerFailure(const QString &message, bool forced) override;
    bool askProxyCredentials(
        const QString &proxy, bool refused, QString &user, QString &password) override;
    // shows a message in the error dialog; true when the user took the retry offer
    bool showConfigError(const QString &title, const QString &text, bool canRetry);

    CUpdateError &errorDialog;
};

#endif // DIALOGFRONTEND_H
