#include "safedir.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <string>

namespace {
QStringList namesOf(const QString &relative)
{
    return relative.isEmpty() ? QStringList() : relative.split(QLatin1Char('/'));
}

#ifdef Q_OS_WIN
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
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// What the opened object itself is: symbolic links and junctions stand for another name; other
// reparse points (deduplicated or cloud files) are the file itself. Windows opens the name
// itself (FILE_FLAG_OPEN_REPARSE_POINT), and the handle keeps it there. Wine opens what a Unix
// symbolic link leads to even so and shows the link only by its name: a reparse point that the
// name has and the handle lacks is one that was followed.
SafeDir::Status statusOf(HANDLE handle, const std::wstring &path, bool wantDirectory,
                         bool checkName = true)
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
#else
constexpr int DirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif
} // namespace

QString systemErrorText(int code)
{
#ifdef Q_OS_WIN
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                    | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                       : QStringLiteral("error %1").arg(code);
    ::LocalFree(text);
    return message;
#else
    return QString::fromLocal8Bit(std::strerror(code));
#endif
}

SafeDir::~SafeDir()
{
    close();
}

void SafeDir::close()
{
#ifdef Q_OS_WIN
    for (auto it = handles.crbegin(); it != handles.crend(); ++it)
        ::CloseHandle(*it);
    handles.clear();
#else
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
#endif
}

bool SafeDir::isOpen() const
{
#ifdef Q_OS_WIN
    return !handles.empty();
#else
    return descriptor >= 0;
#endif
}

bool SafeDir::fail()
{
#ifdef Q_OS_WIN
    lastError = int(::GetLastError());
#else
    lastError = errno;
#endif
    return false;
}

QString SafeDir::errorString() const
{
    return systemErrorText(lastError);
}

QString SafeDir::nativeName(const QString &name) const
{
    return QDir::toNativeSeparators(dirPath + QLatin1Char('/') + name);
}

SafeDir::Status SafeDir::open(const QString &root, const QString &relativeDir, bool create)
{
    close();
    stopped.clear();
    createdAt = -1;
    lastError = 0;
    const QStringList names = namesOf(relativeDir);
    dirPath = relativeDir.isEmpty() ? root : root + QLatin1Char('/') + relativeDir;
    QString at = root;
    const auto stop = [this, &at](Status status) {
        stopped = at;
        close();
        return status;
    };
#ifdef Q_OS_WIN
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
#else
    int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail();
        return stop(lastError == ENOENT ? Status::Missing : Status::Failed);
    }
    for (int i = 0; i < names.size(); ++i) {
        at += QLatin1Char('/') + names.at(i);
        const QByteArray name = QFile::encodeName(names.at(i));
        int next = ::openat(fd, name.constData(), DirectoryFlags);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(fd, name.constData(), 0777) == 0) {
                if (createdAt < 0)
                    createdAt = i;
            } else if (errno != EEXIST) {
                fail();
                ::close(fd);
                return stop(Status::Failed);
            }
            next = ::openat(fd, name.constData(), DirectoryFlags);
        }
        if (next < 0) {
            // what stands there, looked at without following it
            fail();
            struct stat status;
            Status result = Status::Failed;
            if (::fstatat(fd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
                result = errno == ENOENT ? Status::Missing : Status::Failed;
            else if (S_ISLNK(status.st_mode))
                result = Status::Link;
            else if (!S_ISDIR(status.st_mode))
                result = Status::NotDirectory;
            ::close(fd);
            return stop(result);
        }
        ::close(fd);
        fd = next;
    }
    descriptor = fd;
#endif
    return Status::Open;
}

bool SafeDir::exists(const QString &name)
{
#ifdef Q_OS_WIN
    // the attributes of a link itself, not of what it leads to
    return ::GetFileAttributesW(nativePath(dirPath + QLatin1Char('/') + name).c_str())
            != INVALID_FILE_ATTRIBUTES;
#else
    struct stat status;
    return ::fstatat(descriptor, QFile::encodeName(name).constData(), &status,
                     AT_SYMLINK_NOFOLLOW)
            == 0;
#endif
}

bool SafeDir::removeFile(const QString &name)
{
#ifdef Q_OS_WIN
    if (::DeleteFileW(nativePath(dirPath + QLatin1Char('/') + name).c_str())
        || isMissing(::GetLastError()))
        return true;
    return fail();
#else
    if (::unlinkat(descriptor, QFile::encodeName(name).constData(), 0) == 0 || errno == ENOENT)
        return true;
    return fail();
#endif
}

bool SafeDir::rename(const QString &from, SafeDir &targetDir, const QString &to)
{
#ifdef Q_OS_WIN
    // the wide API: the runtime's narrow rename would take the names in the ANSI code page and
    // turn every character outside it into "?"
    const QString nativeFrom = nativeName(from);
    const QString nativeTo = targetDir.nativeName(to);
    if (::MoveFileExW(reinterpret_cast<const wchar_t *>(nativeFrom.utf16()),
                      reinterpret_cast<const wchar_t *>(nativeTo.utf16()), 0))
        return true;
#else
    if (::renameat(descriptor, QFile::encodeName(from).constData(), targetDir.descriptor,
                   QFile::encodeName(to).constData())
        == 0)
        return true;
#endif
    return fail();
}

bool SafeDir::moveAcrossVolumes(const QString &from, SafeDir &targetDir, const QString &to)
{
#ifdef Q_OS_WIN
    // without MOVEFILE_REPLACE_EXISTING: whatever stands at the new name fails the move
    const QString nativeFrom = nativeName(from);
    const QString nativeTo = targetDir.nativeName(to);
    if (::MoveFileExW(reinterpret_cast<const wchar_t *>(nativeFrom.utf16()),
                      reinterpret_cast<const wchar_t *>(nativeTo.utf16()),
                      MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
        return true;
    return fail();
#else
    const QByteArray fromName = QFile::encodeName(from);
    const QByteArray toName = QFile::encodeName(to);
    const int source = ::openat(descriptor, fromName.constData(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (source < 0)
        return fail();
    struct stat status;
    if (::fstat(source, &status) != 0 || !S_ISREG(status.st_mode)) {
        lastError = EINVAL;
        ::close(source);
        return false;
    }
    // a new file: never one that stands there, never through a link
    const int copy = ::openat(targetDir.descriptor, toName.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              status.st_mode & 0777);
    if (copy < 0) {
        fail();
        ::close(source);
        return false;
    }
    bool copied = true;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(source, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            copied = count == 0;
            break;
        }
        for (ssize_t done = 0; copied && done < count;) {
            const ssize_t written = ::write(copy, buffer + done, size_t(count - done));
            if (written < 0 && errno != EINTR)
                copied = false;
            else if (written > 0)
                done += written;
        }
        if (!copied)
            break;
    }
    if (copied)
        copied = ::fchmod(copy, status.st_mode & 0777) == 0 && ::fsync(copy) == 0;
    if (!copied)
        fail();
    if (::close(copy) != 0 && copied)
        copied = fail();
    ::close(source);
    if (copied && ::unlinkat(descriptor, fromName.constData(), 0) != 0)
        copied = fail();
    if (!copied)
        ::unlinkat(targetDir.descriptor, toName.constData(), 0);
    return copied;
#endif
}

bool SafeDir::takePermissions(const QString &from, SafeDir &targetDir, const QString &to)
{
#ifdef Q_OS_WIN
    // no such bits; the access list comes from the directory
    Q_UNUSED(from)
    Q_UNUSED(targetDir)
    Q_UNUSED(to)
    return true;
#else
    struct stat status;
    if (::fstatat(descriptor, QFile::encodeName(from).constData(), &status, AT_SYMLINK_NOFOLLOW)
                != 0
        || !S_ISREG(status.st_mode))
        return true; // nothing to take them from: the default stays
    const int target = ::openat(targetDir.descriptor, QFile::encodeName(to).constData(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (target < 0)
        return fail();
    struct stat targetStatus;
    bool taken = ::fstat(target, &targetStatus) == 0 && S_ISREG(targetStatus.st_mode)
            && ::fchmod(target, status.st_mode & 0777) == 0;
    if (!taken)
        fail();
    ::close(target);
    return taken;
#endif
}

bool SafeDir::openFile(const QString &name, QFile &file)
{
#ifdef Q_OS_WIN
    // The name is checked through a handle that lets nobody rename, remove or replace the file
    // while it is open; Qt then opens that very file by its name.
    const std::wstring path = nativePath(dirPath + QLatin1Char('/') + name);
    const HANDLE checked = ::CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
#else
    const int fd = ::openat(descriptor, QFile::encodeName(name).constData(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail();
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        lastError = EINVAL; // a fifo, a device, a directory: not an installed file
        ::close(fd);
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        lastError = EIO;
        ::close(fd);
        return false;
    }
    return true;
#endif
}

bool SafeDir::removeDir(const QString &name)
{
#ifdef Q_OS_WIN
    if (::RemoveDirectoryW(nativePath(dirPath + QLatin1Char('/') + name).c_str()))
        return true;
#else
    if (::unlinkat(descriptor, QFile::encodeName(name).constData(), AT_REMOVEDIR) == 0)
        return true;
#endif
    return fail();
}

bool SafeDir::openBelow(const QString &root, const QString &relativePath, QFile &file,
                        QString *why)
{
    const int slash = relativePath.lastIndexOf(QLatin1Char('/'));
    SafeDir dir;
    const Status status = dir.open(root, slash < 0 ? QString() : relativePath.left(slash));
    QString reason;
    if (status == Status::Link)
        reason = QStringLiteral("a folder on its way is a link");
    else if (status != Status::Open)
        reason = QStringLiteral("its folder cannot be opened: ") + dir.errorString();
    else if (!dir.openFile(relativePath.mid(slash + 1), file))
        reason = QStringLiteral("it is no regular file that can be read: ") + dir.errorString();
    if (why)
        *why = reason;
    return reason.isEmpty();
}

void SafeDir::removeEmptyDirs(const QString &root, const QString &relativeDir, int from)
{
    const QStringList names = namesOf(relativeDir);
    for (int i = names.size() - 1; i >= qMax(0, from); --i) {
        SafeDir parent;
        if (parent.open(root, names.mid(0, i).join(QLatin1Char('/'))) != Status::Open
            || !parent.removeDir(names.at(i)))
            return;
    }
}
