#ifndef RESERVEDNAMES_H
#define RESERVEDNAMES_H

#include <QLatin1String>
#include <QString>
#include <QStringList>

#include <vector>

// Every name the updater itself owns: in the installation, in the cache and in the folders of a
// publication. The client's check of a release's entries, update-publish's refusals and the
// naming of the cache's own files all read this one list, so that no file of a release can take
// the place of one of them.
enum class ReservedPlace {
    InstallationRoot, // beside the applied manifest
    UpdaterDirectory, // where the updater lies: the installation root, or its "bin" folder
    Cache, // the cache directory, which mirrors the installation's layout
    ServerRoot, // beside update.ini on the server
    ReleaseFolder, // beside md5.txt on the server
};

struct ReservedName
{
    ReservedPlace place;
    QLatin1String name;
    // the updater's own file gives way to a file of the release of that name (it takes another
    // name, see freeCacheName); otherwise a release may not use the name at all
    bool givesWay;
};

// the whole list
const std::vector<ReservedName> &reservedNames();

// installation root
QString appliedManifestName(); // "update_md5.info": the manifest applied last
QString releaseRecordName(); // "update_release.info": the releases accepted
QString installationIdName(); // "update_id.info": the identifier that places it in rollouts
// updater directory
QString singleInstanceLockName(); // "update_singleton.lock"
QString watchLockName(); // "update_watch.lock": held by the one watch of a started host
// cache directory
QString savedDescriptorName(); // "update.ini": the descriptor of the last attempt
QString runLogBaseName(); // "update.log"
QString partialFolderBaseName(); // ".partial": what large transfers keep between runs
// "update_undo": the record of the last installation, a rollback's journal, a bad release
QString undoFolderName();
// server
QString descriptorName(); // "update.ini"
QString statementName(); // "update.sig"
// the signed statement of a rollout's fallback release, bound to the same update.ini
QString fallbackStatementName(); // "update_fallback.sig"
QString manifestName(); // "md5.txt"
QString deltaIndexName(); // "update_delta.txt"
QString deltaFolderName(); // "update_delta": the patches
// every file the installation replaces is first set aside under its path followed by this
QString setAsideSuffix(); // ".old"

// The reserved name a release path would take in the installation, or an empty text. Names are
// compared without regard to letter case, as on Windows, where most clients install; the
// updater's directory is taken to be the root or a "bin" folder below it.
QString reservedInstallationName(const QString &path);
// the same for the folder a release is published in, on the server
QString reservedReleaseFolderName(const QString &path);
// The first path of the list that another one's set-aside copy would replace (a release with
// both "a.dll" and "a.dll.old"), or an empty text; setAsideOf receives the path it belongs to.
QString setAsideClash(const QStringList &paths, QString *setAsideOf = nullptr);

// A name in the cache for one of its own files (name: "update.log", ".partial") that no file or
// folder at the top of the release takes: the name itself, else "update.1.log", ".partial.1"...
QString freeCacheName(const QString &name, const QStringList &releasePaths);

#endif // RESERVEDNAMES_H
