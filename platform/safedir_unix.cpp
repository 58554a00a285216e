// SafeDir on Unix: every directory on the way opened without following a link, and every
// operation relative to the descriptor of the directory.
#include "safedir.h"

#include "safedirnames.h"

#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr int DirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
} // namespace

QString systemErrorText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

void SafeDir::close()
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

bool SafeDir::isOpen() const
{
    return descriptor >= 0;
}

bool SafeDir::fail()
{
    lastError = errno;
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
    return Status::Open;
}

bool SafeDir::exists(const QString &name)
{
    struct stat status;
    return ::fstatat(descriptor, QFile::encodeName(name).constData(), &status, AT_SYMLINK_NOFOLLOW)
        == 0;
}

bool SafeDir::removeFile(const QString &name)
{
    if (::unlinkat(descriptor, QFile::encodeName(name).constData(), 0) == 0 || errno == ENOENT)
        return true;
    return fail();
}

bool SafeDir::rename(const QString &from, SafeDir &targetDir, const QString &to)
{
    if (::renameat(descriptor, QFile::encodeName(from).constData(), targetDir.descriptor,
            QFile::encodeName(to).constData())
        == 0)
        return true;
    return fail();
}

bool SafeDir::moveAcrossVolumes(const QString &from, SafeDir &targetDir, const QString &to)
{
    const QByteArray fromName = QFile::encodeName(from);
    const QByteArray toName = QFile::encodeName(to);
    const int source = ::openat(
        descriptor, fromName.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, status.st_mode & 0777);
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
}

bool SafeDir::takePermissions(const QString &from, SafeDir &targetDir, const QString &to)
{
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
}

bool SafeDir::openFile(const QString &name, QFile &file)
{
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
}

bool SafeDir::removeDir(const QString &name)
{
    if (::unlinkat(descriptor, QFile::encodeName(name).constData(), AT_REMOVEDIR) == 0)
        return true;
    return fail();
}
