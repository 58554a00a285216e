#ifndef CONSOLEFRONTEND_H
#define CONSOLEFRONTEND_H

#include "updatefrontend.h"

// Reports as JSON on standard output; no question is asked, and only a successful forced
// update starts the host again: every other outcome is left to the calling program.
class ConsoleFrontend : public UpdateFrontend
{
public:
    void reportComparison(bool update) override;
    bool confirmUpdate(const QString &version) override;
    // an optional update runs without any window; a forced one shows its progress
    void runWorker(CDownloadThread &worker, bool forced) override;
    bool relaunchesHost(AttemptResult result) const override;
    QStringList modeArguments() const override;
    bool passesOnReports() const override;
    void passOnReport(const QByteArray &report) override;

protected:
    void showFatal(const QString &title, const QString &message) override;
    bool showFailure(const QString &message) override;
    bool showWorkerFailure(const QString &message, bool forced) override;
    // never: an unattended run cannot answer
    bool askProxyCredentials(
        const QString &proxy, bool refused, QString &user, QString &password) override;
};

#endif // CONSOLEFRONTEND_H
