#ifndef CONFIG_H
#define CONFIG_H

#include "transfersettings.h"

#include <QDir>
#include <QString>

enum class RunMode {
    Interactive,
    Console,
    Relaunch,
    Rollback, // "rollback": the last update undone on demand
    HealthWatch, // the detached watch of a host after an update (healthWatchArgument())
};

// the argument that starts the detached watch of the host
QString healthWatchArgument();

// The mode from the first argument after the program name, compared without regard to case;
// anything else, or no argument, is interactive.
RunMode runModeFromArgument(const QString &argument);

// The local configuration "system.cfg" beside the updater, group "Update".
struct UpdaterConfig
{
    QString baseUrl;
    QString downloadUrl;
    QString cachePath;
    QString hostProgram; // absolute
    // a PEM file of the certificate authorities trusted for HTTPS in place of the system's;
    // absolute, empty when not set
    QString caCertificates;
    // the stall limit, the files downloaded at once, the minimum rate and its window; a value
    // that is missing or invalid leaves the default (a MinimumRate of 0 turns the limit off)
    TransferSettings transfer;
    // the proxy as written: empty for the system's settings (see net/proxyaccess.h)
    QString proxy;
    // the vendor's Ed25519 public keys as written, separated by white space; when any is given,
    // only releases signed by one of them are installed
    QString publicKeys;
    // where the outcome of an attempt that found something to update is sent (one GET); empty:
    // nothing is ever sent
    QString reportUrl;
    // the language of the dialogs and reports as written: empty for the Chinese source texts,
    // "auto" for the user's, or the name of a catalog (see ui/uilanguage.h)
    QString language;
    // seconds the host is watched after an update that installed files and starts it: a failure
    // exit within them rolls the update back (0: no watch)
    int healthCheck = 0;
};

QString configFileName();
UpdaterConfig readConfig(const QString &updaterDir);

// The directory that manifest paths are relative to: the updater's directory, or its parent
// when that directory is named "bin". Missing directories are created.
QDir prepareInstallRoot(const QString &updaterDir);
// The cache directory, relative paths taken against the working directory; created when
// missing, private to this user. A failure to create it shows up later, when the descriptor is
// saved; whether an existing one may be used is decided by each attempt (app/updateattempt.cpp).
QDir prepareCacheDir(const QString &cachePath);

#endif // CONFIG_H
