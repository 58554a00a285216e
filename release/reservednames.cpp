#include "reservednames.h"

#include <QHash>
#include <QSet>

namespace {
const QLatin1String AppliedManifest("update_md5.info");
const QLatin1String ReleaseRecord("update_release.info");
const QLatin1String InstallationId("update_id.info");
const QLatin1String SingleInstanceLock("update_singleton.lock");
const QLatin1String WatchLock("update_watch.lock");
const QLatin1String UndoFolder("update_undo");
const QLatin1String Descriptor("update.ini");
const QLatin1String RunLog("update.log");
const QLatin1String PartialFolder(".partial");
const QLatin1String Statement("update.sig");
const QLatin1String FallbackStatement("update_fallback.sig");
const QLatin1String Manifest("md5.txt");
const QLatin1String DeltaIndex("update_delta.txt");
const QLatin1String DeltaFolder("update_delta");

QString topComponent(const QString &path)
{
    return path.section(QLatin1Char('/'), 0, 0);
}

bool sameName(const QString &a, const QLatin1String &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString reservedName(const QString &path, ReservedPlace place)
{
    const QString top = topComponent(path);
    for (const ReservedName &reserved : reservedNames()) {
        // a folder of that name is in the way as much as a file
        if (reserved.place == place && !reserved.givesWay && sameName(top, reserved.name))
            return reserved.name;
    }
    return QString();
}
} // namespace

const std::vector<ReservedName> &reservedNames()
{
    static const std::vector<ReservedName> names {
        {ReservedPlace::InstallationRoot, AppliedManifest, false},
        {ReservedPlace::InstallationRoot, ReleaseRecord, false},
        {ReservedPlace::InstallationRoot, InstallationId, false},
        {ReservedPlace::UpdaterDirectory, SingleInstanceLock, false},
        {ReservedPlace::UpdaterDirectory, WatchLock, false},
        // read back right after it is saved, before anything of the release is fetched: a file
        // of the release of that name simply replaces it later
        {ReservedPlace::Cache, Descriptor, true},
        {ReservedPlace::Cache, RunLog, true},
        {ReservedPlace::Cache, PartialFolder, true},
        // found again by later runs (a rollback) that know nothing of the release: no file of a
        // release may take its place
        {ReservedPlace::Cache, UndoFolder, false},
        {ReservedPlace::ServerRoot, Descriptor, false},
        {ReservedPlace::ServerRoot, Statement, false},
        {ReservedPlace::ServerRoot, FallbackStatement, false},
        {ReservedPlace::ReleaseFolder, Manifest, false},
        {ReservedPlace::ReleaseFolder, DeltaIndex, false},
        {ReservedPlace::ReleaseFolder, DeltaFolder, false},
    };
    return names;
}

QString appliedManifestName()
{
    return AppliedManifest;
}

QString releaseRecordName()
{
    return ReleaseRecord;
}

QString installationIdName()
{
    return InstallationId;
}

QString singleInstanceLockName()
{
    return SingleInstanceLock;
}

QString watchLockName()
{
    return WatchLock;
}

QString undoFolderName()
{
    return UndoFolder;
}

QString savedDescriptorName()
{
    return Descriptor;
}

QString runLogBaseName()
{
    return RunLog;
}

QString partialFolderBaseName()
{
    return PartialFolder;
}

QString descriptorName()
{
    return Descriptor;
}

QString statementName()
{
    return Statement;
}

QString fallbackStatementName()
{
    return FallbackStatement;
}

QString manifestName()
{
    return Manifest;
}

QString deltaIndexName()
{
    return DeltaIndex;
}

QString deltaFolderName()
{
    return DeltaFolder;
}

QString setAsideSuffix()
{
    return QStringLiteral(".old");
}

QString reservedInstallationName(const QString &path)
{
    const QString inRoot = reservedName(path, ReservedPlace::InstallationRoot);
    if (!inRoot.isEmpty())
        return inRoot;
    // the cache mirrors the installation: what the cache keeps under its own name cannot be a
    // file of the release either
    const QString inCache = reservedName(path, ReservedPlace::Cache);
    if (!inCache.isEmpty())
        return inCache;
    const QString inUpdaterDir = reservedName(path, ReservedPlace::UpdaterDirectory);
    if (!inUpdaterDir.isEmpty())
        return inUpdaterDir;
    // an updater in "bin" keeps its lock there
    const int slash = path.indexOf(QLatin1Char('/'));
    if (slash > 0 && sameName(path.left(slash), QLatin1String("bin")))
        return reservedName(path.mid(slash + 1), ReservedPlace::UpdaterDirectory);
    return QString();
}

QString reservedReleaseFolderName(const QString &path)
{
    return reservedName(path, ReservedPlace::ReleaseFolder);
}

QString setAsideClash(const QStringList &paths, QString *setAsideOf)
{
    QHash<QString, QString> folded;
    for (const QString &path : paths)
        folded.insert(path.toCaseFolded(), path);
    for (const QString &path : paths) {
        const auto owner = folded.constFind(QString(path + setAsideSuffix()).toCaseFolded());
        if (owner == folded.cend())
            continue;
        if (setAsideOf)
            *setAsideOf = path;
        return *owner;
    }
    return QString();
}

QString freeCacheName(const QString &name, const QStringList &releasePaths)
{
    // names compare as a file system that folds case would
    QSet<QString> taken;
    for (const QString &path : releasePaths)
        taken.insert(topComponent(path).toCaseFolded());
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    QString free = name;
    for (int i = 1; taken.contains(free.toCaseFolded()); ++i)
        free = stem + QLatin1Char('.') + QString::number(i) + extension;
    return free;
}
