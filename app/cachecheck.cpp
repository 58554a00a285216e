#include "cachecheck.h"

#include "pathtrust.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {
// the messages' translation context, in which the catalogs (translations/) hold them
struct Message
{
    Q_DECLARE_TR_FUNCTIONS(QObject)
};

// Whether the cache directory may be used; a path that is no directory at all fails where the
// descriptor is saved. Every folder above it is checked as well: whoever may rename one of them
// could swap the checked cache for a directory of their own. resolved is the cache's path
// without links, the one that was checked.
bool checkCacheDir(const QString &path, QString &resolved, QString &error)
{
    QString above;
    if (!checkFolders(QFileInfo(path).absolutePath(), above, error))
        return false;
    resolved = QDir(above).filePath(QFileInfo(path).fileName());
    switch (pathKind(resolved)) {
    case PathKind::Link:
        error = Message::tr("是指向别处的链接");
        return false;
    case PathKind::Directory:
        break;
    default:
        return true;
    }
    switch (ownership(resolved)) {
    case Ownership::Private:
        return true;
    case Ownership::OtherOwner:
        error = Message::tr("属于其他用户");
        return false;
    case Ownership::OthersMayWrite:
        error = Message::tr("其他用户可写入");
        return false;
    case Ownership::Unknown:
        break;
    }
    error = Message::tr("无法读取其所有者和权限");
    return false;
}

} // namespace

bool useCheckedCacheDir(QDir &cacheDir, QString &error)
{
    const QString path = cacheDir.absolutePath();
    QString checked;
    QString problem;
    if (!checkCacheDir(path, checked, problem)) {
        error = Message::tr("缓存目录%1不安全:%2").arg(QDir::toNativeSeparators(path), problem);
        return false;
    }
    cacheDir.setPath(checked);
    return true;
}
