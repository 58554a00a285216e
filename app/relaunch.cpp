#include "relaunch.h"

#include <QCoreApplication>
#include <QProcess>

QStringList hostArguments()
{
    return {QCoreApplication::applicationFilePath(), QStringLiteral("no_check")};
}

bool relaunchHost(QString hostProgram)
{
    if (hostProgram.isEmpty())
        return false;
    return QProcess::startDetached(hostProgram, hostArguments());
}
