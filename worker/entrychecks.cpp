#include "entrychecks.h"

#include "pathtrust.h"
#include "reservednames.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryFile>

namespace {
// the messages' translation context, in which the catalogs (translations/) hold them
struct Message
{
    Q_DECLARE_TR_FUNCTIONS(CDownloadThread)
};

// the nearest directory at or above path's directory that exists
QString firstExistingDir(const QString &path)
{
    QString dir = QFileInfo(path).absolutePath();
    while (!QFileInfo(dir).isDir() && QFileInfo(dir).absolutePath() != dir)
        dir = QFileInfo(dir).absolutePath();
    return dir;
}

// true when names in dir ignore letter case: always on Windows; elsewhere a probe file is made
// and looked for under its name in the other case (a directory that cannot be written to is
// taken as case-sensitive, the common case)
bool foldsCase(const QString &dir)
{
#ifdef Q_OS_WIN
    Q_UNUSED(dir)
    return true;
#else
    QTemporaryFile probe(dir + QLatin1String("/.case-probe-XXXXXX"));
    if (!probe.open())
        return false;
    QString swapped = QFileInfo(probe.fileName()).fileName();
    for (QChar &c : swapped)
        c = c.isUpper() ? c.toLower() : c.toUpper();
    return QFileInfo::exists(dir + QLatin1Char('/') + swapped);
#endif
}

// true when one path is the other or lies below it
bool pathsOverlap(const QString &a, const QString &b, Qt::CaseSensitivity cs)
{
    const auto below = [cs](const QString &path, const QString &dir) {
        return path.size() > dir.size() && path.at(dir.size()) == QLatin1Char('/')
            && path.startsWith(dir, cs);
    };
    return a.compare(b, cs) == 0 || below(a, b) || below(b, a);
}

} // namespace

bool checkEntries(const QList<ManifestEntry> &entries, const QDir &cacheDir,
    const QDir &installRoot, int &failing, QString &error)
{
    const auto refuse = [&failing, &error](int index, const QString &message) {
        failing = index;
        error = message;
        return false;
    };
    // the parser already drops unsafe paths; this guards every other way a list could be built
    QHash<QString, QString> foldedPaths; // case-folded path to the path listed first
    QStringList paths;
    // Nothing installs into the cache directory, onto it or onto a directory that holds it: a
    // release folder named like the cache ("update/x") would replace the cached file of another
    // entry before that one is installed, with bytes never checked against its own line.
    const auto resolved = [](const QDir &dir) {
        const QString canonical = dir.canonicalPath();
        return canonical.isEmpty() ? QDir::cleanPath(dir.absolutePath()) : canonical;
    };
    const QString cachePath = resolved(cacheDir);
    const QString rootPath = resolved(installRoot);
    const auto intoCache = [&](const QString &path) {
        const QString destination = rootPath + QLatin1Char('/') + path;
        if (!pathsOverlap(destination, cachePath, Qt::CaseInsensitive))
            return false;
        return pathsOverlap(destination, cachePath, Qt::CaseSensitive)
            || foldsCase(firstExistingDir(destination));
    };
    for (int index = 0; index < entries.size(); ++index) {
        const ManifestEntry &entry = entries.at(index);
        const QFileInfo cacheFile(cacheDir.absoluteFilePath(entry.path));
        if (!isSafeManifestPath(entry.path)
            || !isPathBelow(cacheDir.absolutePath(), cacheFile.absoluteFilePath())
            || !isPathBelow(installRoot.absolutePath(), installRoot.absoluteFilePath(entry.path))
            || intoCache(entry.path)) {
            return refuse(index, Message::tr("更新文件%1路径不合法").arg(entry.path));
        }
        // the updater's own records, and its lock beside it, are never a file of a release
        const QString reserved = reservedInstallationName(entry.path);
        if (!reserved.isEmpty())
            return refuse(index,
                Message::tr("更新文件%1与升级程序自己的文件%2同名").arg(entry.path, reserved));
        // Where names ignore case the two would be one file, and the second would set the first
        // aside over the original's .old: refused on Windows, and elsewhere where the
        // installation's file system folds case (a FAT or NTFS volume, a case-folding folder).
        const QString folded = entry.path.toCaseFolded();
        const auto clash = foldedPaths.constFind(folded);
        if (clash != foldedPaths.cend()
            && foldsCase(firstExistingDir(installRoot.absoluteFilePath(entry.path)))) {
            return refuse(
                index, Message::tr("更新文件%1与%2路径仅大小写不同").arg(*clash, entry.path));
        }
        foldedPaths.insert(folded, entry.path);
        paths.append(entry.path);
    }
    // every replaced file is set aside under its name followed by ".old": a file of the release
    // of that name would be that copy, or be replaced by it
    QString owner;
    const QString clash = setAsideClash(paths, &owner);
    if (!clash.isEmpty())
        return refuse(int(paths.indexOf(clash)),
            Message::tr("更新文件%1与%2的备份文件同名").arg(clash, owner));
    return true;
}

bool clearCacheDirs(const QString &cacheDir, const QString &entryPath, QString &error)
{
    QString path = cacheDir;
    const QStringList names = entryPath.split(QLatin1Char('/'));
    for (int i = 0; i + 1 < names.size(); ++i) {
        path += QLatin1Char('/') + names.at(i);
        const PathKind kind = pathKind(path);
        if (kind == PathKind::Directory && ownership(path) == Ownership::Private)
            continue;
        if ((kind == PathKind::Link || kind == PathKind::Directory)
            && !removeWithoutFollowing(path)) {
            error = Message::tr("路径%1被占用，无法删除!").arg(path);
            return false;
        }
        break; // made again below; a file in the way fails the download's write
    }
    return true;
}
