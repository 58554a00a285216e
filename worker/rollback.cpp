#include "rollback.h"

#include "filewrite.h"
#include "installer.h"
#include "pathtrust.h"
#include "reservednames.h"
#include "safedir.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QUrl>

Q_LOGGING_CATEGORY(lcRollback, "updater.rollback")

namespace {
// the messages' translation context, in which the catalogs (translations/) hold them
struct Message
{
    Q_DECLARE_TR_FUNCTIONS(Rollback)
};

// where the new version's file waits while a rollback runs
QString undoName(const QString &name)
{
    return name + QStringLiteral(".undo");
}

QString journalPath(const QDir &cacheDir)
{
    return undoFilePath(cacheDir, "journal");
}

QString badReleasePath(const QDir &cacheDir)
{
    return undoFilePath(cacheDir, "bad");
}

QByteArray badReleaseText(const QString &folder, const QString &version)
{
    return "folder " + QUrl::toPercentEncoding(folder) + "\nversion "
        + QUrl::toPercentEncoding(version) + '\n';
}

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (pathKind(path) != PathKind::File || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(64 * 1024);
}

// the applied manifest or the release record as it was: its bytes, or none at all
bool restoreFile(const QString &path, const std::optional<QByteArray> &bytes, QString &error)
{
    if (bytes)
        return writeFileBytes(path, *bytes, &error);
    if (pathKind(path) == PathKind::Missing || removeWithoutFollowing(path))
        return true;
    error = QStringLiteral("it cannot be removed");
    return false;
}
} // namespace

Rollback::Rollback(const QDir &cacheDir, const QDir &installRoot, int lockedFileWait)
    : cacheDir(cacheDir)
    , installRoot(installRoot)
    , lockedFileWait(lockedFileWait)
{ }

Rollback::Opened Rollback::openDirOf(const QString &path, SafeDir &dir, QString &name)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    name = path.mid(slash + 1);
    const SafeDir::Status status
        = dir.open(installRoot.absolutePath(), slash < 0 ? QString() : path.left(slash));
    if (status == SafeDir::Status::Open)
        return Opened::Open;
    if (status == SafeDir::Status::Missing)
        return Opened::Missing;
    message = status == SafeDir::Status::Link
        ? Message::tr("安装目录中的%1是链接，不能回退").arg(dir.stoppedAt())
        : Message::tr("无法打开目录%1:%2").arg(dir.stoppedAt(), dir.errorString());
    return Opened::Refused;
}

bool Rollback::rename(SafeDir &dir, const QString &from, const QString &to)
{
    if (renameHeldFile(dir, from, dir, to, lockedFileWait))
        return true;
    message = Message::tr("回退时重命名%1为%2失败:%3")
                  .arg(QDir::toNativeSeparators(dir.path() + QLatin1Char('/') + from), to,
                      dir.errorString());
    qCWarning(lcRollback, "%s", qUtf8Printable(message));
    return false;
}

bool Rollback::verify(const UpdateRecord::File &file)
{
    SafeDir dir;
    QString name;
    const Opened opened = openDirOf(file.path, dir, name);
    if (opened == Opened::Refused)
        return false;
    if (opened == Opened::Open && dir.exists(undoName(name))) {
        message = Message::tr("文件%1已存在,无法回退").arg(undoName(file.path));
        return false;
    }
    if (!file.replaced)
        return true;
    const QString old = name + setAsideSuffix();
    if (opened == Opened::Missing || !dir.exists(old)) {
        message = Message::tr("旧版本文件%1不存在,无法回退").arg(file.path + setAsideSuffix());
        return false;
    }
    // the folder is the installation's user's to write: only the copy the update set aside
    if (fileSha256(dir, old) != file.sha256) {
        message = Message::tr("旧版本文件%1已被改动,无法回退").arg(file.path + setAsideSuffix());
        return false;
    }
    return true;
}

bool Rollback::check()
{
    message.clear();
    QString reason;
    if (!readUpdateRecord(cacheDir, undone, reason)) {
        message = Message::tr("没有可回退的更新:%1").arg(reason);
        return false;
    }
    for (const UpdateRecord::File &file : qAsConst(undone.files)) {
        if (!verify(file))
            return false;
    }
    return true;
}

// one step of the rollback for one file, from whichever state a killed run left it in:
// {NAME new, NAME.old} -> {NAME.undo new, NAME.old} -> {NAME.undo new, NAME old}
bool Rollback::forward(const UpdateRecord::File &file)
{
    SafeDir dir;
    QString name;
    const Opened opened = openDirOf(file.path, dir, name);
    if (opened != Opened::Open)
        return opened == Opened::Missing && !file.replaced;
    const QString old = name + setAsideSuffix();
    if (!file.replaced)
        return !dir.exists(name) || rename(dir, name, undoName(name));
    if (!dir.exists(old))
        return true; // restored already
    if (dir.exists(name) && !rename(dir, name, undoName(name)))
        return false;
    return rename(dir, old, name);
}

// the same steps in reverse: the new version back
bool Rollback::backward(const UpdateRecord::File &file)
{
    SafeDir dir;
    QString name;
    if (openDirOf(file.path, dir, name) != Opened::Open || !dir.exists(undoName(name)))
        return true;
    const QString old = name + setAsideSuffix();
    if (file.replaced && dir.exists(name) && !dir.exists(old) && !rename(dir, name, old))
        return false;
    return rename(dir, undoName(name), name);
}

bool Rollback::restoreRecords()
{
    QString error;
    const QString manifest = installRoot.absoluteFilePath(appliedManifestName());
    const QString release = installRoot.absoluteFilePath(releaseRecordName());
    if (restoreFile(manifest, undone.appliedManifest, error)
        && restoreFile(release, undone.releaseRecord, error))
        return true;
    message = Message::tr("创建文件[%1]失败:%2").arg(manifest, error);
    return false;
}

bool Rollback::writeJournal(const QByteArray &phase)
{
    QString error;
    if (writeFileBytes(journalPath(cacheDir), phase + '\n', &error))
        return true;
    message = Message::tr("创建文件[%1]失败:%2").arg(journalPath(cacheDir), error);
    return false;
}

bool Rollback::run()
{
    if (!finishInterrupted() || !check())
        return false;
    if (!writeJournal("rolling-back"))
        return false;
    qCInfo(lcRollback, "rolling back %s (%d files) to the version before it",
        qUtf8Printable(undone.version), int(undone.files.size()));
    for (int i = 0; i < undone.files.size(); ++i) {
        if (forward(undone.files.at(i)))
            continue;
        const QString failure = message;
        bool undoneAll = true;
        for (int j = i; j >= 0; --j)
            undoneAll = backward(undone.files.at(j)) && undoneAll;
        // should even that fail, the journal stays: the next run completes the rollback
        if (undoneAll)
            removeWithoutFollowing(journalPath(cacheDir));
        message = failure;
        return false;
    }
    // every file is back: what is left, the journal has the next run complete
    if (!restoreRecords() || !writeJournal("done"))
        return false;
    complete();
    return true;
}

// past the journal's "done": the release marked bad, the new version's files removed, the
// record and the journal with them
void Rollback::complete()
{
    QString error;
    if (!writeFileBytes(
            badReleasePath(cacheDir), badReleaseText(undone.folder, undone.version), &error))
        qCWarning(lcRollback, "the release is not marked bad: %s", qUtf8Printable(error));
    for (const UpdateRecord::File &file : qAsConst(undone.files)) {
        SafeDir dir;
        QString name;
        if (openDirOf(file.path, dir, name) == Opened::Open && dir.exists(undoName(name))
            && !dir.removeFile(undoName(name)))
            qCWarning(lcRollback, "%s: %s", qUtf8Printable(undoName(file.path)),
                qUtf8Printable(dir.errorString()));
    }
    // the directories the update made, once empty again (each reached without a link)
    for (const UpdateRecord::File &file : qAsConst(undone.files)) {
        const int slash = file.path.lastIndexOf(QLatin1Char('/'));
        if (file.createdDepth >= 0 && slash > 0)
            SafeDir::removeEmptyDirs(
                installRoot.absolutePath(), file.path.left(slash), file.createdDepth);
    }
    removeUpdateRecord(cacheDir);
    removeWithoutFollowing(journalPath(cacheDir));
    qCInfo(lcRollback, "the installation is back at the version before %s",
        qUtf8Printable(undone.version));
}

bool Rollback::finishInterrupted()
{
    const QByteArray phase = readSmallFile(journalPath(cacheDir)).trimmed();
    if (phase.isEmpty())
        return true;
    QString reason;
    if (!readUpdateRecord(cacheDir, undone, reason)) {
        // done but for the last removals, or a journal without a record: nothing to complete
        qCWarning(
            lcRollback, "a rollback's journal without its record: %s", qUtf8Printable(reason));
        removeWithoutFollowing(journalPath(cacheDir));
        return true;
    }
    qCInfo(lcRollback, "completing the rollback of %s that a run began",
        qUtf8Printable(undone.version));
    if (phase != "done") {
        for (const UpdateRecord::File &file : qAsConst(undone.files)) {
            if (!forward(file))
                return false;
        }
        if (!restoreRecords() || !writeJournal("done"))
            return false;
    }
    complete();
    return true;
}

bool releaseMarkedBad(const QDir &cacheDir, const QString &folder, const QString &version)
{
    return readSmallFile(badReleasePath(cacheDir)) == badReleaseText(folder, version);
}
