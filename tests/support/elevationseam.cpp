// The on-demand build's updater with its elevated start substituted, for the one case Wine
// cannot show: there every process is elevated. The installation counts as one this process may
// not write while "rights-needed" lies beside the program, except in a run started with the
// elevated argument, which stands for the elevated updater. Each request for rights is recorded
// in "rights-asked.txt" beside the program and answered by starting this program again, without
// the shell and without new rights, through the real pipe and wait; or it is refused while
// "refuse-rights" lies there. Built only here: no updater the product ships contains it.
#include "installrights.h"
#include "updaterapp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <windows.h>

#include <string>

namespace {
QString beside(const QString &name)
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

void *startWithoutShell(
    const QString &file, const QString &parameters, const QString &directory, unsigned long &error)
{
    if (QFile::exists(beside(QStringLiteral("refuse-rights")))) {
        error = ERROR_CANCELLED;
        return nullptr;
    }
    const QString command = QLatin1Char('"') + file + QStringLiteral("\" ") + parameters;
    std::wstring commandLine = command.toStdWString();
    const std::wstring directoryText = directory.toStdWString();
    // as through the shell: no standard handles, so its reports reach the caller only by the pipe
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = nullptr;
    startup.hStdError = nullptr;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
            directoryText.c_str(), &startup, &process)) {
        error = GetLastError();
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

class SeamRights : public InstallRights
{
public:
    bool mayInstall(const QDir &) const override
    {
        return QCoreApplication::arguments().contains(elevatedRunArgument())
            || !QFile::exists(beside(QStringLiteral("rights-needed")));
    }
    bool asksForRights() const override { return true; }
    ElevatedRun runElevated(const QStringList &arguments, bool withReport) override
    {
        QFile record(beside(QStringLiteral("rights-asked.txt")));
        if (record.open(QIODevice::WriteOnly | QIODevice::Append))
            record.write(arguments.join(QLatin1Char(' ')).toUtf8() + '\n');
        record.close();
        return ::runElevated(QCoreApplication::applicationFilePath(), arguments, withReport,
            startWithoutShell);
    }
};
} // namespace

int main(int argc, char *argv[])
{
    SeamRights rights;
    return runUpdater(argc, argv, rights);
}
