// SafeDir on Windows: every directory on the way held open by a handle that lets nobody rename
// or remove it, and the wide API's paths through those directories.
#include "safedir.h"

#include "safedirnames.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <windows.h>

#include <string>

namespace {
std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

bool isMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Held with read access and without FILE_SHARE_DELETE: as long as the handle is open nobody can
// rename or remove the directory, nor put anything else in its place. Renaming, creating and
// removing what is inside it stays possible.
HANDLE openDirectory(const std::wstring &path, bool followLink)
{
    const DWORD flags
        = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// What the opened object itself is: symbolic links and junctions stand for another name; other
// reparse points (deduplicated or cloud files) are the file itself. Windows opens the name
// itself (FILE_FLAG_OPEN_REPARSE_POINT), and the handle keeps it there. Wine opens what a Unix
// symbolic link leads to even so and shows the link only by its name: a reparse point that the
// name has and the handle lacks is one that was followed.
SafeDir::Status statusOf(
    HANDLE handle, const std::wstring &path, bool wantDirectory, bool checkName = true)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info))
        return SafeDir::Status::Failed;
    const bool reparsePoint = info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (reparsePoint && IsReparseTagNameSurrogate(info.ReparseTag))
        return SafeDir::Status::Link;
    if (checkName) {
        const DWORD byName = ::GetFileAttributesW(path.c_str());
        if (byName == INVALID_FILE_ATTRIBUTES
            || ((byName & FILE_ATTRIBUTE_REPARSE_POINT) && !reparsePoint))
            return SafeDir::Status::Link;
    }
    const bool directory = info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    if (directory != wantDirectory || (!directory && ::GetFileType(handle) != FILE_TYPE_DISK))
        return SafeDir::Status::NotDirectory;
    return SafeDir::Status::Open;
}
} // namespace

QString systemErrorText(int code)
{
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                       : QStringLiteral("error %1").arg(code);
    ::LocalFree(text);
    return message;
}

void SafeDir::close()
{
    for (auto it = handles.crbegin(); it != handles.crend(); ++it)
        ::CloseHandle(*it);
    handles.clear();
}

bool SafeDir::isOpen() const
{
    return !handles.empty();
}

bool SafeDir::fail()
{
    lastError = int(::GetLastError());
    return false;
}

SafeDir::Status SafeDir::open(const QString &root, const QString &relativeDir, bool create)
{
    close();
    stopped.clear();
    createdAt = -1;
    lastError = 0;
    const QStringList names = safeDirNames(relativeDir);
    dirPath = relativeDir.isEmpty() ? root : root + QLatin1Char('/') + relativeDir;
    QString at = root;
    const auto stop = [this, &at](Status status) {
        stopped = at;
        close();
        return status;
    };
    std::wstring path = nativePath(root);
    HANDLE handle = openDirectory(path, true);
    if (handle == INVALID_HANDLE_VALUE) {
        fail();
        return stop(isMissing(DWORD(lastError)) ? Status::Missing : Status::Failed);
    }
    handles.push_back(handle);
    for (int i = 0;; ++i) {
        // the root is followed: its name may well be a link
        const Status status = statusOf(handle, path, true, i > 0);
        if (status == Status::Failed)
            fail();
        if (status != Status::Open)
            return stop(status);
        if (i == names.size())
            break;
        at += QLatin1Char('/') + names.at(i);
        path = nativePath(at);
        handle = openDirectory(path, false);
        if (handle == INVALID_HANDLE_VALUE && create && isMissing(::GetLastError())) {
            if (::CreateDirectoryW(path.c_str(), nullptr)) {
                if (createdAt < 0)
                    createdAt = i;
            } else if (::GetLastError() != ERROR_ALREADY_EXISTS) {
                fail();
                return stop(Status::Failed);
            }
            handle = openDirectory(path, false);
        }
        if (handle == INVALID_HANDLE_VALUE) {
            fail();
            return stop(isMissing(DWORD(lastError)) ? Status::Missing : Status::Failed);
        }
        handles.push_back(handle);
    }
    return Status::Open;
}

bool SafeDir::exists(const QString &name)
{
    // the attributes of a link itself, not of what it leads to
    return ::GetFileAttributesW(nativePath(dirPath + QLatin1Char('/') + name).c_str())
        != INVALID_FILE_ATTRIBUTES;
}

bool SafeDir::removeFile(const QString &name)
{
    if (::DeleteFileW(nativePath(dirPath + QLatin1Char('/') + name).c_str())
        || isMissing(::GetLastError()))
        return true;
    return fail();
}

bool SafeDir::rename(const QString &from, SafeDir &targetDir, const QString &to)
{
    // the wide API: the runtime's narrow rename would take the names in the ANSI code page and
    // turn every character outside it into "?"
    const QString nativeFrom = nativeName(from);
    const QString nativeTo = targetDir.nativeName(to);
    if (::MoveFileExW(reinterpret_cast<const wchar_t *>(nativeFrom.utf16()),
            reinterpret_cast<const wchar_t *>(nativeTo.utf16()), 0))
        return true;
    return fail();
}

bool SafeDir::moveAcrossVolumes(const QString &from, SafeDir &targetDir, const QString &to)
{
    // without MOVEFILE_REPLACE_EXISTING: whatever stands at the new name fails the move
    const QString nativeFrom = nativeName(from);
    const QString nativeTo = targetDir.nativeName(to);
    if (::MoveFileExW(reinterpret_cast<const wchar_t *>(nativeFrom.utf16()),
            reinterpret_cast<const wchar_t *>(nativeTo.utf16()),
            MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
        return true;
    return fail();
}

bool SafeDir::takePermissions(const QString &from, SafeDir &targetDir, const QString &to)
{
    // no such bits; the access list comes from the directory
    Q_UNUSED(from)
    Q_UNUSED(targetDir)
    Q_UNUSED(to)
    return true;
}

bool SafeDir::openFile(const QString &name, QFile &file)
{
    // The name is checked through a handle that lets nobody rename, remove or replace the file
    // while it is open; Qt then opens that very file by its name.
    const std::wstring path = nativePath(dirPath + QLatin1Char('/') + name);
    const HANDLE checked
        = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (checked == INVALID_HANDLE_VALUE)
        return fail();
    bool opened = statusOf(checked, path, false) == Status::Open;
    if (!opened) {
        lastError = ERROR_CANT_ACCESS_FILE;
    } else {
        file.setFileName(dirPath + QLatin1Char('/') + name);
        opened = file.open(QIODevice::ReadOnly);
        if (!opened)
            fail();
    }
    ::CloseHandle(checked);
    return opened;
}

bool SafeDir::removeDir(const QString &name)
{
    if (::RemoveDirectoryW(nativePath(dirPath + QLatin1Char('/') + name).c_str()))
        return true;
    return fail();
}
