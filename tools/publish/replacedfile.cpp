#include "replacedfile.h"

#include "publishrules.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {
bool saveFile(const QString &path, const QByteArray &bytes, QString &error)
{
    QSaveFile file(path);
    // (flushed first: Qt 5.15's commit() misses a failure of the last buffered write)
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()
        || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}
} // namespace

bool ReplacedFile::prepare(const QString &path, QString &error)
{
    filePath = path;
    previous.clear();
    hadPrevious = false;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (!info.isFile()) {
        error = tr("%1 is not a file.").arg(nativePath(path));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = tr("Cannot read %1: %2").arg(nativePath(path), file.errorString());
        return false;
    }
    previous = file.readAll();
    hadPrevious = true;
    return true;
}

bool ReplacedFile::replace(const QByteArray &bytes, QString &error)
{
    if (bytes.isEmpty()) {
        if (QFile::remove(filePath) || !QFileInfo(filePath).exists())
            return true;
        error = tr("Cannot remove %1.").arg(nativePath(filePath));
        return false;
    }
    QString reason;
    if (saveFile(filePath, bytes, reason))
        return true;
    error = tr("Cannot write %1: %2").arg(nativePath(filePath), reason);
    return false;
}

bool ReplacedFile::restore()
{
    QString ignored;
    if (!hadPrevious)
        return replace(QByteArray(), ignored);
    return saveFile(filePath, previous, ignored);
}
