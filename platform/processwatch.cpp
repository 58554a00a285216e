#include "processwatch.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#ifdef Q_OS_WIN
#include <windows.h>

#include <tlhelp32.h>

namespace {
qint64 creationTime(HANDLE process)
{
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return -1;
    return qint64((quint64(created.dwHighDateTime) << 32) | created.dwLowDateTime);
}

// the newest process of the program created at or after since, opened to be waited for; null
// when there is none
HANDLE findProcess(const QString &program, qint64 since)
{
    const QString wanted = QDir::toNativeSeparators(QDir::cleanPath(program));
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE found = nullptr;
    qint64 foundAt = -1;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(
            PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        wchar_t path[MAX_PATH * 4];
        DWORD size = DWORD(sizeof(path) / sizeof(path[0]));
        const qint64 created = creationTime(process);
        if (QueryFullProcessImageNameW(process, 0, path, &size) && created >= since
            && created > foundAt
            && QString::fromWCharArray(path, int(size)).compare(wanted, Qt::CaseInsensitive) == 0) {
            if (found)
                CloseHandle(found);
            found = process;
            foundAt = created;
        } else {
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
    return found;
}
} // namespace

qint64 processTimeNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return qint64((quint64(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

ProgramEnd waitForProgram(const QString &program, qint64 since, int findMs, int watchMs)
{
    ProgramEnd end;
    const QDeadlineTimer finding(findMs);
    HANDLE process = nullptr;
    while (!(process = findProcess(program, since)) && !finding.hasExpired())
        QThread::msleep(100);
    if (!process)
        return end;
    DWORD code = 0;
    if (WaitForSingleObject(process, DWORD(watchMs)) != WAIT_OBJECT_0
        || !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE) {
        end.status = ProgramEnd::Status::Running;
    } else {
        end.status = ProgramEnd::Status::Ended;
        end.exitCode = code;
    }
    CloseHandle(process);
    return end;
}
#else
qint64 processTimeNow()
{
    return 0;
}

ProgramEnd waitForProgram(const QString &, qint64, int, int)
{
    return ProgramEnd();
}
#endif
