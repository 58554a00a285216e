#include "installer.h"

#include "reservednames.h"
#include "safedir.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>

#include <cerrno>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

// why an installation failed: the reasons the messages shown to the user leave out
Q_LOGGING_CATEGORY(lcInstall, "updater.install")

namespace {
// the messages' translation context, in which the catalogs (translations/) hold them
struct Message
{
    Q_DECLARE_TR_FUNCTIONS(CDownloadThread)
};

// whether a failed rename is worth trying again in a moment: another process holds the file
bool heldByAnother(int error)
{
#ifdef Q_OS_WIN
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
        || error == ERROR_ACCESS_DENIED;
#else
    return error == EBUSY || error == ETXTBSY;
#endif
}

// whether a failed rename failed because the two paths lie on different volumes
bool acrossVolumes(int error)
{
#ifdef Q_OS_WIN
    return error == ERROR_NOT_SAME_DEVICE;
#else
    return error == EXDEV;
#endif
}

// why a directory could not be opened, for the run log
QString whyNotOpened(const SafeDir &dir, SafeDir::Status status)
{
    switch (status) {
    case SafeDir::Status::Link:
        return dir.stoppedAt() + QLatin1String(" is a link");
    case SafeDir::Status::NotDirectory:
        return dir.stoppedAt() + QLatin1String(" is not a directory");
    default:
        return dir.stoppedAt() + QLatin1String(": ") + dir.errorString();
    }
}
} // namespace

Installer::Installer(const QDir &cacheDir, const QDir &installRoot, int lockedFileWait)
    : cacheDir(cacheDir)
    , installRoot(installRoot)
    , lockedFileWait(lockedFileWait)
{ }

namespace {
bool renameWaiting(SafeDir &fromDir, const QString &from, SafeDir &toDir, const QString &to,
    bool mayCopy, int lockedFileWait)
{
    const QDeadlineTimer deadline(lockedFileWait);
    int pause = 20;
    for (;;) {
        if (fromDir.rename(from, toDir, to))
            return true;
        // a cache on another volume than the installation: the file is copied
        if (mayCopy && acrossVolumes(fromDir.systemError()))
            return fromDir.moveAcrossVolumes(from, toDir, to);
        if (!heldByAnother(fromDir.systemError()) || deadline.hasExpired())
            return false;
        QThread::msleep(ulong(qMin<qint64>(pause, qMax<qint64>(1, deadline.remainingTime()))));
        pause = qMin(pause * 2, 500);
    }
}
} // namespace

bool renameHeldFile(
    SafeDir &fromDir, const QString &from, SafeDir &toDir, const QString &to, int lockedFileWait)
{
    return renameWaiting(fromDir, from, toDir, to, false, lockedFileWait);
}

QByteArray fileSha256(SafeDir &dir, const QString &name)
{
    QFile file;
    if (!dir.openFile(name, file))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

bool Installer::rename(
    SafeDir &fromDir, const QString &from, SafeDir &toDir, const QString &to, bool mayCopy) const
{
    return renameWaiting(fromDir, from, toDir, to, mayCopy, lockedFileWait);
}

// Which entries replace an installed file (with its content's hash) and which add one, written
// in one step before anything is swapped: a rollback restores only what this says.
bool Installer::keepUpdateRecord(const QList<ManifestEntry> &entries, QString &error)
{
    UpdateRecord &record = *undoRecord;
    record.files.clear();
    for (const ManifestEntry &entry : entries) {
        const int slash = entry.path.lastIndexOf(QLatin1Char('/'));
        const QString name = entry.path.mid(slash + 1);
        UpdateRecord::File file;
        file.path = entry.path;
        const QString dirPath = slash < 0 ? QString() : entry.path.left(slash);
        SafeDir dir;
        const SafeDir::Status status = dir.open(installRoot.absolutePath(), dirPath);
        if (status == SafeDir::Status::Missing) {
            // the topmost directory the installation will make for it
            const QStringList names = dirPath.split(QLatin1Char('/'));
            file.createdDepth = 0;
            while (SafeDir().open(installRoot.absolutePath(),
                       QStringList(names.mid(0, file.createdDepth + 1)).join(QLatin1Char('/')))
                == SafeDir::Status::Open)
                ++file.createdDepth;
        }
        if (status == SafeDir::Status::Open && dir.exists(name)) {
            file.replaced = true;
            file.sha256 = fileSha256(dir, name);
            // what cannot be read back cannot be restored: the installation fails as it would
            // where the file cannot be set aside
            if (file.sha256.isEmpty()) {
                error = dir.errorString();
                return false;
            }
        }
        record.files.append(file);
    }
    return writeUpdateRecord(cacheDir, record, error);
}

bool Installer::install(const QList<ManifestEntry> &entries)
{
    failed.clear();
    message.clear();
    QString reason;
    if (undoRecord && !keepUpdateRecord(entries, reason)) {
        qCWarning(lcInstall, "the record for a rollback: %s", qUtf8Printable(reason));
        failed = cacheDir.absoluteFilePath(undoFolderName());
        message = Message::tr("创建文件[%1]失败:%2").arg(failed, reason);
        return false;
    }
    QList<InstalledFile> installed;
    for (const ManifestEntry &entry : entries) {
        InstalledFile file;
        QString problem;
        if (!installFile(entry, file, problem)) {
            undo(file, false);
            for (auto it = installed.crbegin(); it != installed.crend(); ++it)
                undo(*it, true);
            failed = installRoot.absoluteFilePath(entry.path);
            message = problem;
            // the record would name set-aside copies that are gone again
            if (undoRecord)
                removeUpdateRecord(cacheDir);
            return false;
        }
        installed.append(file);
    }
    qCInfo(lcInstall, "%d files installed, the ones they replace set aside as NAME%s",
        int(installed.size()), qUtf8Printable(setAsideSuffix()));
    return true;
}

bool Installer::installFile(const ManifestEntry &entry, InstalledFile &file, QString &error) const
{
    const int slash = entry.path.lastIndexOf(QLatin1Char('/'));
    file.dir = slash < 0 ? QString() : entry.path.left(slash);
    file.name = entry.path.mid(slash + 1);
    const QString oldName = file.name + setAsideSuffix();
    const QString destination = installRoot.absoluteFilePath(entry.path);
    const QString setAside = destination + setAsideSuffix();
    const auto failure = [&entry, &error](const QString &problem, const QString &reason) {
        qCWarning(lcInstall, "%s: %s", qUtf8Printable(entry.path), qUtf8Printable(reason));
        error = problem;
        return false;
    };

    // both directories stay open, and on Windows held, until the file is in place
    SafeDir target;
    const SafeDir::Status status = target.open(installRoot.absolutePath(), file.dir, true);
    file.createdDepth = target.createdDepth();
    if (status == SafeDir::Status::Link) {
        return failure(Message::tr("安装目录中的%1是链接，不能安装").arg(target.stoppedAt()),
            whyNotOpened(target, status));
    }
    if (status != SafeDir::Status::Open) {
        return failure(Message::tr("创建目录%1失败").arg(QFileInfo(destination).absolutePath()),
            whyNotOpened(target, status));
    }
    const QString cannotReplace = Message::tr("覆盖文件%1失败").arg(file.name);
    SafeDir source;
    const SafeDir::Status cached = source.open(cacheDir.absolutePath(), file.dir);
    if (cached != SafeDir::Status::Open)
        return failure(cannotReplace, QLatin1String("the cache: ") + whyNotOpened(source, cached));

    if (target.exists(file.name)) {
        if (target.exists(oldName) && !target.removeFile(oldName)) {
            return failure(Message::tr("删除文件%1失败").arg(oldName),
                QLatin1String("removing ") + oldName + QLatin1String(": ") + target.errorString());
        }
        if (!rename(target, file.name, target, oldName, false)) {
            return failure(Message::tr("重命名%1为%2失败").arg(destination, setAside),
                QLatin1String("setting it aside: ") + target.errorString());
        }
        file.setAside = true;
    }
    if (file.setAside && !target.takePermissions(oldName, source, file.name)) {
        return failure(
            cannotReplace, QLatin1String("taking the permissions: ") + target.errorString());
    }
    if (!rename(source, file.name, target, file.name, true))
        return failure(cannotReplace, QLatin1String("moving it in: ") + source.errorString());
    return true;
}

void Installer::undo(const InstalledFile &file, bool moved) const
{
    // puts the installation back as it was before this run and the file back in the cache,
    // where the next attempt finds it correct; the directories are reached again without a link
    {
        SafeDir target;
        SafeDir source;
        if (target.open(installRoot.absolutePath(), file.dir) == SafeDir::Status::Open
            && source.open(cacheDir.absolutePath(), file.dir) == SafeDir::Status::Open) {
            const QString oldName = file.name + setAsideSuffix();
            if (moved && !rename(target, file.name, source, file.name, true)) {
                qCWarning(lcInstall, "%s: moving it back to the cache: %s",
                    qUtf8Printable(file.name), qUtf8Printable(target.errorString()));
            }
            if (file.setAside && !rename(target, oldName, target, file.name, false)) {
                qCWarning(lcInstall, "%s: putting it back: %s", qUtf8Printable(oldName),
                    qUtf8Printable(target.errorString()));
            }
        }
    }
    // the directories are let go first: on Windows a held one cannot be removed
    if (file.createdDepth >= 0)
        SafeDir::removeEmptyDirs(installRoot.absolutePath(), file.dir, file.createdDepth);
}
