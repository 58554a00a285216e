#include "relaunch.h"

#include "unelevatedstart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

QStringList hostArguments()
{
    return {QCoreApplication::applicationFilePath(), QStringLiteral("no_check")};
}

bool relaunchHost(QString hostProgram)
{
    if (hostProgram.isEmpty())
        return false;
    const QStringList arguments = hostArguments();
    // Started straight from here, the host would inherit the administrator rights the updater
    // runs with, which it never had before the update: the desktop's shell starts it as the
    // user instead. Only an existing file goes that way, as the shell would open a folder or
    // show its own error box where a direct start just fails.
    const QFileInfo host(hostProgram);
    if (host.isFile()
        && startAsDesktopUser(QDir::toNativeSeparators(host.absoluteFilePath()),
            windowsCommandLine(arguments), QDir::toNativeSeparators(QDir::currentPath()),
            QStringLiteral("open")))
        return true;
    return QProcess::startDetached(hostProgram, arguments);
}
