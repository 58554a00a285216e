#include "singleinstance.h"

#include "reservednames.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <string>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
// A lock file that cannot be created or opened at all (a read-only directory, or something
// other than our file at its path) is not another updater: whoever could put it there may
// change the updater's directory anyway. The run goes on without the lock rather than being
// refused for good.
void warnUnlocked(const QString &path, const QString &reason)
{
    qWarning("running without the single-instance lock %s: %s",
        qPrintable(QDir::toNativeSeparators(path)), qPrintable(reason));
}
} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString &updaterDir)
    : SingleInstanceGuard(updaterDir, singleInstanceLockName())
{ }

SingleInstanceGuard::SingleInstanceGuard(const QString &updaterDir, const QString &lockName)
    : path(QDir(updaterDir).filePath(lockName))
{ }

SingleInstanceGuard::~SingleInstanceGuard()
{
    release();
}

#ifdef Q_OS_WIN

bool SingleInstanceGuard::acquire()
{
    if (handle)
        return true;
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    for (int attempt = 0; attempt < 20; ++attempt) {
        // No sharing: while the file is open no one else can open it, whatever their rights, and
        // the system closes it, and so deletes the one created here, when the process ends in
        // any way. The directory of an installed updater is one that only administrators may
        // write to.
        HANDLE file = CreateFileW(native.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
            CREATE_NEW,
            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
            nullptr);
        DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
            // One that is there already (left by a power loss, or put there) is held as it is
            // and kept: deleting it would drop a name the updater did not give. A second name
            // of another file is not held at all.
            file = CreateFileW(native.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
            if (error == ERROR_FILE_NOT_FOUND)
                continue; // its holder let go meanwhile
            BY_HANDLE_FILE_INFORMATION information;
            if (error == ERROR_SUCCESS
                && (!GetFileInformationByHandle(file, &information)
                    || information.nNumberOfLinks != 1)) {
                CloseHandle(file);
                warnUnlocked(path, QStringLiteral("it has more than one link"));
                return true;
            }
        }
        if (error == ERROR_SHARING_VIOLATION)
            return false;
        if (error != ERROR_SUCCESS) {
            warnUnlocked(path, QStringLiteral("error %1").arg(error));
            return true;
        }
        handle = file;
        return true;
    }
    return false;
}

void SingleInstanceGuard::release()
{
    if (handle)
        CloseHandle(handle);
    handle = nullptr;
}

#else

bool SingleInstanceGuard::acquire()
{
    if (descriptor >= 0)
        return true;
    const QByteArray name = QFile::encodeName(path);
    // The holder removes the file just before it lets go; a lock taken on a file that is no
    // longer at the path keeps nobody out, so the lock counts only once the path still names
    // the file locked. Each new try means another updater came or went in between.
    for (int attempt = 0; attempt < 20; ++attempt) {
        // created here with mode 0600: no other user can open the file, so none can take the
        // lock before us; one that is there already is never given another mode (a hard link
        // planted there would change its target's)
        bool created = true;
        int file = ::open(name.constData(),
            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        if (file < 0 && errno == EEXIST) {
            created = false;
            file = ::open(name.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
            if (file < 0 && errno == ENOENT)
                continue; // its holder let go meanwhile
        }
        if (file < 0) {
            if (errno == EINTR)
                continue;
            warnUnlocked(path, QString::fromLocal8Bit(std::strerror(errno)));
            return true;
        }
        struct stat opened;
        if (::fstat(file, &opened) != 0 || !S_ISREG(opened.st_mode)) {
            ::close(file);
            warnUnlocked(path, QStringLiteral("not a regular file"));
            return true;
        }
        // another name of a file elsewhere: locking it would remove that name in the end
        if (opened.st_nlink > 1) {
            ::close(file);
            warnUnlocked(path, QStringLiteral("it has more than one link"));
            return true;
        }
        if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(file);
            if (error == EWOULDBLOCK)
                return false;
            if (error == EINTR)
                continue;
            warnUnlocked(path, QString::fromLocal8Bit(std::strerror(error)));
            return true;
        }
        struct stat named;
        if (::lstat(name.constData(), &named) == 0 && named.st_dev == opened.st_dev
            && named.st_ino == opened.st_ino) {
            if (!created && (opened.st_mode & 077) != 0 && opened.st_uid == ::geteuid()) {
                // one of ours left with wider rights would let others take the lock: it is
                // removed while locked, as a holder does when it lets go, and made anew
                ::unlink(name.constData());
                ::close(file);
                continue;
            }
            descriptor = file;
            return true;
        }
        ::close(file);
    }
    return false;
}

void SingleInstanceGuard::release()
{
    if (descriptor < 0)
        return;
    // removed while still locked: an updater that opened it meanwhile finds it gone once it
    // gets the lock, and starts again with a new file
    ::unlink(QFile::encodeName(path).constData());
    ::close(descriptor);
    descriptor = -1;
}

#endif

bool SingleInstanceGuard::isHeld() const
{
#ifdef Q_OS_WIN
    return handle != nullptr;
#else
    return descriptor >= 0;
#endif
}
