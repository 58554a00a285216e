#include "elevatedstart.h"

#include "unelevatedstart.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <shellapi.h>

#include <atomic>
#include <string>
#include <thread>
#endif

bool isReportPipeName(const QString &name)
{
    static const QRegularExpression shape(
        QStringLiteral("\\A\\\\\\\\\\.\\\\pipe\\\\updater-report-[0-9a-f]{32}\\z"));
    return shape.match(name).hasMatch();
}

#ifdef Q_OS_WIN

void *shellStartElevated(
    const QString &file, const QString &parameters, const QString &directory, unsigned long &error)
{
    const std::wstring fileText = file.toStdWString();
    const std::wstring parametersText = parameters.toStdWString();
    const std::wstring directoryText = directory.toStdWString();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    // the process handle for the wait; failures are the caller's to report
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = fileText.c_str();
    info.lpParameters = parametersText.c_str();
    info.lpDirectory = directoryText.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info) || !info.hProcess) {
        error = GetLastError();
        return nullptr;
    }
    return info.hProcess;
}

namespace {
QString pipeName()
{
    QString name = QStringLiteral("\\\\.\\pipe\\updater-report-");
    for (int i = 0; i < 4; ++i)
        name += QStringLiteral("%1").arg(
            QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
    return name;
}

// Reads what the one client writes until it closes its end, keeping at most MaxElevatedReport
// bytes: the client never waits for a full pipe.
void collect(HANDLE pipe, QByteArray &report)
{
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        return;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        const int room = MaxElevatedReport - report.size();
        report.append(buffer, qMin(int(read), room));
    }
}
} // namespace

ElevatedRun runElevated(
    const QString &file, QStringList arguments, bool withReport, const ElevatedStarter &starter)
{
    ElevatedRun run;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const QString name = pipeName();
    if (withReport) {
        // the first instance or none: a pipe of that name made by someone else is never read;
        // one client, inbound only, no remote one
        pipe = CreateNamedPipeW(reinterpret_cast<const wchar_t *>(name.utf16()),
            PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
            4096, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            run.error = qt_error_string(int(GetLastError()));
            return run;
        }
        arguments.append(name);
    }
    QByteArray report;
    std::thread reader;
    if (withReport)
        reader = std::thread([pipe, &report] { collect(pipe, report); });
    const QString directory = QFileInfo(file).absolutePath();
    unsigned long error = 0;
    const HANDLE process = starter(QDir::toNativeSeparators(file), windowsCommandLine(arguments),
        QDir::toNativeSeparators(directory), error);
    DWORD exitCode = 0;
    if (process) {
        WaitForSingleObject(process, INFINITE);
        if (GetExitCodeProcess(process, &exitCode))
            run.status = ElevatedRun::Status::Finished;
        else
            error = GetLastError();
        CloseHandle(process);
    }
    if (withReport) {
        // a client that never came: connected to and left at once, which ends the reader's
        // wait; one that did has ended with its process, and the reader has all it wrote
        const HANDLE self
            = CreateFileW(reinterpret_cast<const wchar_t *>(name.utf16()), GENERIC_WRITE, 0,
                nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (self != INVALID_HANDLE_VALUE)
            CloseHandle(self);
        reader.join();
        CloseHandle(pipe);
    }
    if (run.status == ElevatedRun::Status::Finished) {
        run.exitCode = int(exitCode);
        run.report = report;
    } else if (error == ERROR_CANCELLED) {
        run.status = ElevatedRun::Status::Refused;
    } else {
        run.error = qt_error_string(int(error));
    }
    return run;
}

ReportPipe::~ReportPipe()
{
    if (handle)
        CloseHandle(handle);
}

bool ReportPipe::open(const QString &name)
{
    if (handle || !isReportPipeName(name))
        return false;
    // identification only: the server may learn who writes, never act as this process
    const HANDLE pipe = CreateFileW(reinterpret_cast<const wchar_t *>(name.utf16()), GENERIC_WRITE,
        0, nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return false;
    handle = pipe;
    return true;
}

void ReportPipe::write(const QByteArray &bytes)
{
    DWORD written = 0;
    if (handle)
        WriteFile(handle, bytes.constData(), DWORD(bytes.size()), &written, nullptr);
}

#else

void *shellStartElevated(const QString &, const QString &, const QString &, unsigned long &error)
{
    error = 0;
    return nullptr;
}

ElevatedRun runElevated(const QString &, QStringList, bool, const ElevatedStarter &)
{
    ElevatedRun run;
    run.error = QStringLiteral("no elevated start on this system");
    return run;
}

ReportPipe::~ReportPipe() = default;

bool ReportPipe::open(const QString &)
{
    return false;
}

void ReportPipe::write(const QByteArray &) { }

#endif
