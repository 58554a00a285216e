#ifndef UPDATERUN_H
#define UPDATERUN_H

#include "transfersettings.h"
#include "updatefrontend.h"
#include "urlpasswords.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QString>

class InstallRights;
class SingleInstanceGuard;
class ProxyAccess;
class QNetworkAccessManager;

// What every update attempt of a run shares.
struct UpdateContext
{
    QNetworkAccessManager *manager = nullptr; // set up by proxy, when there is one
    // the proxy of every manager of the run and the credentials given for it; none: Qt's default
    ProxyAccess *proxy = nullptr;
    QString baseUrl;
    QDir installRoot;
    QDir cacheDir;
    QString hostProgram;
    TransferSettings transfer; // the worker's limits, from the configuration
    // Ed25519 public keys; when there are any, a release is installed only when its signed
    // statement verifies
    QList<QByteArray> publicKeys;
    // where outcome reports go; empty: none is ever sent
    QString reportUrl;
    UrlPasswords passwords; // hidden in what is reported
    // whether an attempt may install with this process's rights, and whether it asks for more;
    // none: this process's own rights, never more
    InstallRights *rights = nullptr;
    // started elevated by an updater without the rights: no question, no host, no more rights
    bool elevatedRun = false;
    // the run's lock, let go while an elevated updater does the run (it takes the lock itself)
    SingleInstanceGuard *lock = nullptr;
    // seconds the host is watched after an update that installed files (0: not watched)
    int healthCheck = 0;
};

// The run: update attempts until one finishes it (a failure the user retries, or a proxy given
// new credentials, starts a new one), then the host started again where the frontend says so.
// Returns the exit code: 0 only after a successful download and installation; after an elevated
// run of the updater, that run's.
int runUpdates(const UpdateContext &context, UpdateFrontend &frontend);

#endif // UPDATERUN_H
