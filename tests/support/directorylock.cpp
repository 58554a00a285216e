#include "directorylock.h"

#include <QFile>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

bool lockDirectory(const QString &path, bool locked)
{
#ifndef Q_OS_LINUX
    // Windows keeps a directory's entries from changing only through access lists, which Wine
    // does not enforce; the callers skip what needs a locked directory
    Q_UNUSED(path)
    Q_UNUSED(locked)
    return false;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        int flags = 0;
        bool done = false;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = locked ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        if (done)
            return true;
    }
    if (::geteuid() == 0)
        return false; // permissions do not stop root
    return QFile::setPermissions(path, locked ? QFileDevice::ReadOwner | QFileDevice::ExeOwner
                                              : QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                        | QFileDevice::ExeOwner);
#endif
}
