#include "installer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("CDownloadThread", text);
}

// a plain rename, never a copy. On Windows through the wide API: the runtime's narrow rename
// would take the names in the ANSI code page and turn every character outside it into "?".
bool plainRename(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    const QString nativeFrom = QDir::toNativeSeparators(from);
    const QString nativeTo = QDir::toNativeSeparators(to);
    return ::MoveFileExW(reinterpret_cast<const wchar_t *>(nativeFrom.utf16()),
                         reinterpret_cast<const wchar_t *>(nativeTo.utf16()), 0);
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

// whether a failed rename is worth trying again in a moment: another process holds the file
bool heldByAnother()
{
#ifdef Q_OS_WIN
    const DWORD error = ::GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
            || error == ERROR_ACCESS_DENIED;
#else
    return errno == EBUSY || errno == ETXTBSY;
#endif
}

// whether a failed rename failed because the two paths lie on different volumes
bool acrossVolumes()
{
#ifdef Q_OS_WIN
    return ::GetLastError() == ERROR_NOT_SAME_DEVICE;
#else
    return errno == EXDEV;
#endif
}

// the topmost directory that mkpath would create for dir, or an empty text when it exists
QString firstMissingDir(QString dir)
{
    QString missing;
    while (!QFileInfo::exists(dir)) {
        missing = dir;
        const QString parent = QFileInfo(dir).absolutePath();
        if (parent == dir)
            break;
        dir = parent;
    }
    return missing;
}

// A replacing file takes the permission bits of the file it replaces: an executable stays one.
// Set-user-ID, set-group-ID and sticky bits are not carried over.
bool takePermissions(const QString &replaced, const QString &replacing)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::lstat(QFile::encodeName(replaced).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return true; // nothing to take them from: the default stays
    return ::chmod(QFile::encodeName(replacing).constData(), status.st_mode & 0777) == 0;
#else
    // no such bits; the access list comes from the directory
    Q_UNUSED(replaced)
    Q_UNUSED(replacing)
    return true;
#endif
}

void removeCreatedDirs(const QString &deepest, const QString &topmost)
{
    QDir dir(deepest);
    for (;;) {
        const QString path = dir.absolutePath();
        if (!QDir().rmdir(path) || path == topmost)
            return;
        dir.setPath(QFileInfo(path).absolutePath());
    }
}
} // namespace

Installer::Installer(const QDir &cacheDir, const QDir &installRoot)
    : cacheDir(cacheDir)
    , installRoot(installRoot)
{
}

int Installer::defaultLockedFileWait()
{
    return 10 * 1000;
}

bool Installer::rename(const QString &from, const QString &to, bool mayCopy) const
{
    const QDeadlineTimer deadline(lockedFileWait);
    int pause = 20;
    for (;;) {
        if (plainRename(from, to))
            return true;
        // a cache on another volume than the installation: the file is copied
        if (mayCopy && acrossVolumes())
            return QFile::rename(from, to);
        if (!heldByAnother() || deadline.hasExpired())
            return false;
        QThread::msleep(ulong(qMin<qint64>(pause, qMax<qint64>(1, deadline.remainingTime()))));
        pause = qMin(pause * 2, 500);
    }
}

bool Installer::install(const QList<ManifestEntry> &entries)
{
    failed.clear();
    message.clear();
    QList<InstalledFile> installed;
    for (const ManifestEntry &entry : entries) {
        InstalledFile file;
        file.destination = installRoot.absoluteFilePath(entry.path);
        file.cacheFile = cacheDir.absoluteFilePath(entry.path);
        const QFileInfo destination(file.destination);
        const QString setAside = installRoot.absoluteFilePath(entry.path + QLatin1String(".old"));

        QString problem;
        if (destination.exists()) {
            if (QFileInfo::exists(setAside) && !QFile::remove(setAside))
                problem = tr("删除文件%1失败").arg(QFileInfo(setAside).fileName());
            else if (!rename(file.destination, setAside, false))
                problem = tr("重命名%1为%2失败").arg(file.destination, setAside);
            else
                file.setAside = setAside;
        } else if (!destination.dir().exists()) {
            file.createdDir = firstMissingDir(destination.absolutePath());
            if (!QDir().mkpath(destination.absolutePath()))
                problem = tr("创建目录%1失败").arg(destination.absolutePath());
        }
        if (problem.isEmpty()
            && ((!file.setAside.isEmpty() && !takePermissions(file.setAside, file.cacheFile))
                || !rename(file.cacheFile, file.destination, true)))
            problem = tr("覆盖文件%1失败").arg(destination.fileName());

        if (!problem.isEmpty()) {
            undo(file, false);
            for (auto it = installed.crbegin(); it != installed.crend(); ++it)
                undo(*it, true);
            failed = destination.absoluteFilePath();
            message = problem;
            return false;
        }
        installed.append(file);
    }
    return true;
}

void Installer::undo(const InstalledFile &file, bool moved) const
{
    // puts the installation back as it was before this run and the file back in the cache,
    // where the next attempt finds it correct
    if (moved)
        rename(file.destination, file.cacheFile, true);
    if (!file.setAside.isEmpty())
        rename(file.setAside, file.destination, false);
    if (!file.createdDir.isEmpty())
        removeCreatedDirs(QFileInfo(file.destination).absolutePath(), file.createdDir);
}
