#include "publisher.h"

#include "publicationcheck.h"
#include "publishrules.h"

#include "deltaindex.h"
#include "digest.h"
#include "releasestatement.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

namespace {
// a fresh hidden name beside the published folders; created here so nobody else takes it
QString makeUniqueDirectory(const QString &parent, const QString &prefix)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = parent + QLatin1Char('/') + prefix
            + QString::number(QRandomGenerator::global()->generate(), 16);
        if (!QFileInfo::exists(candidate) && QDir().mkdir(candidate))
            return candidate;
    }
    return QString();
}

// removes a directory that was only ever meant to be temporary unless told it is kept
class RemoveUnlessKept
{
public:
    explicit RemoveUnlessKept(const QString &path)
        : path(path)
    { }
    ~RemoveUnlessKept()
    {
        if (!path.isEmpty())
            QDir(path).removeRecursively();
    }
    void keep() { path.clear(); }

private:
    QString path;
};
} // namespace

Publisher::Publisher(const PublishOptions &options)
    : options(options)
    , releaseSigner(options.signing)
    , deltaMaker(options.deltaFrom, options.deltaLevel)
{ }

QString Publisher::folderPath() const
{
    return serverRoot + QLatin1Char('/') + options.folder;
}

void Publisher::setProgressHandler(std::function<void(quint64, quint64)> handler)
{
    progress = std::move(handler);
}

bool Publisher::checkArguments()
{
    errorList.clear();
    if (options.version.trimmed().isEmpty())
        addError(tr("The release version is empty; it is the text the updater shows to users."));
    QString folderProblem;
    if (!checkFolderName(options.folder, folderProblem))
        addError(
            tr("The folder name \"%1\" %2.").arg(printablePath(options.folder), folderProblem));
    if (options.releaseDir.isEmpty() || options.serverDir.isEmpty()) {
        addError(tr("Both the release directory and the server directory are needed."));
        return false;
    }

    releaseRoot = resolvedPath(options.releaseDir);
    serverRoot = resolvedPath(options.serverDir);
    if (isSameOrInside(serverRoot, releaseRoot))
        addError(tr("The server directory %1 lies inside the release directory %2.")
                     .arg(nativePath(options.serverDir), nativePath(options.releaseDir)));
    else if (isSameOrInside(releaseRoot, serverRoot))
        addError(tr("The release directory %1 lies inside the server directory %2.")
                     .arg(nativePath(options.releaseDir), nativePath(options.serverDir)));
    // a key that cannot be read stops everything before a byte is written
    if (releaseSigner.isEnabled() && !releaseSigner.checkArguments())
        errorList += releaseSigner.errors();
    if (!deltaMaker.checkArguments())
        errorList += deltaMaker.errors();

    argumentsChecked = errorList.isEmpty();
    return argumentsChecked;
}

bool Publisher::publish()
{
    errorList.clear();
    warningList.clear();
    entryList.clear();
    manifestBytes.clear();
    fileHashes.clear();
    done = 0;
    if (!prepared) {
        addError(tr("The release was not checked."));
        return false;
    }

    if (!QDir().mkpath(serverRoot)) {
        addError(tr("Cannot create the server directory %1.").arg(nativePath(options.serverDir)));
        return false;
    }
    const QString staging = makeUniqueDirectory(
        serverRoot, QLatin1String(".update-publish-") + options.folder + QLatin1Char('-'));
    if (staging.isEmpty()) {
        addError(tr("Cannot create a directory in %1.").arg(nativePath(options.serverDir)));
        return false;
    }
    RemoveUnlessKept stagingCleanup(staging);

    if (progress)
        progress(0, total);
    for (const ReleaseFile &file : qAsConst(fileList)) {
        const QString destination = staging + QLatin1Char('/') + file.path;
        const QString parent = QFileInfo(destination).path();
        if (!QDir().mkpath(parent)) {
            addError(tr("Cannot create the directory %1.").arg(nativePath(parent)));
            return false;
        }
        ManifestEntry entry;
        if (!copyFile(file, destination, entry))
            return false;
        entryList.append(entry);
    }

    // everything that can fail short of writing is done before the folder is moved into place
    QByteArray descriptor;
    UpdateDescriptor values;
    QByteArray statement;
    QByteArray fallbackStatement;
    if (!writeManifest(staging) || !makeDescriptor(descriptor, values))
        return false;
    if (!options.deltaFrom.isEmpty()) {
        QByteArray index;
        if (!deltaMaker.make(staging, entryList, index)) {
            errorList += deltaMaker.errors();
            return false;
        }
        // signed like a file, so that clients use only the index the vendor published
        if (releaseSigner.isEnabled())
            fileHashes.insert(deltaIndexName(), signedHashHex(releaseSigner.fileHash(), index));
    }
    if (releaseSigner.isEnabled()) {
        // the statement names what clients read from update.ini, not what was asked for
        statement = releaseSigner.sign(
            descriptor, manifestBytes, values.version, values.folder, fileHashes);
        if (statement.isEmpty()) {
            errorList += releaseSigner.errors();
            return false;
        }
        // the fallback's files as clients outside the share would fetch them
        if (!fallback.folder.isEmpty()) {
            PublicationCheck fallbackCheck(serverRoot);
            fallbackCheck.setDescriptorBytes(descriptor);
            fallbackCheck.setCheckingFallback(true);
            fallbackCheck.setCollectingForSigning(releaseSigner.fileHash());
            fallbackStatement = releaseSigner.signFallbackOf(fallbackCheck);
            if (fallbackStatement.isEmpty()) {
                errorList += releaseSigner.errors();
                return false;
            }
        }
    }
    if (!moveIntoPlace(staging))
        return false;
    stagingCleanup.keep();
    return writeDescriptor(descriptor, statement, fallbackStatement);
}

bool Publisher::moveIntoPlace(const QString &staging)
{
    const QString target = folderPath();
    const QFileInfo existing(target);
    QString previous;
    if (existing.exists() || existing.isSymLink()) {
        if (existing.isDir() && !existing.isSymLink() && QDir(target).isEmpty(EveryEntry)) {
            if (!QDir().rmdir(target)) {
                addError(tr("Cannot replace the empty directory %1.").arg(nativePath(target)));
                return false;
            }
        } else if (options.replace && existing.isDir() && !existing.isSymLink()) {
            previous = makeUniqueDirectory(serverRoot,
                QLatin1String(".update-publish-old-") + options.folder + QLatin1Char('-'));
            // the new name is created to reserve it; the rename needs it gone again
            if (previous.isEmpty() || !QDir().rmdir(previous) || !QDir().rename(target, previous)) {
                addError(tr("Cannot move the old folder %1 aside.").arg(nativePath(target)));
                return false;
            }
        } else {
            addError(tr("%1 appeared while the release was being copied.").arg(nativePath(target)));
            return false;
        }
    }

    if (!QDir().rename(staging, target)) {
        if (!previous.isEmpty())
            QDir().rename(previous, target);
        addError(tr("Cannot rename %1 to %2.").arg(nativePath(staging), nativePath(target)));
        return false;
    }
    if (!previous.isEmpty() && !QDir(previous).removeRecursively())
        warningList.append(tr("The old folder could not be removed completely; remove %1.")
                               .arg(nativePath(previous)));
    return true;
}

QString Publisher::urlExplanation(const QString &folder)
{
    return tr("How clients find this release: the updater joins URLs as plain text, adding or\n"
              "removing no '/'. With <base URL> the value of URL in the [Update] group of the\n"
              "clients' system.cfg, clients fetch\n"
              "  <base URL>/update.ini\n"
              "  <base URL>%1//md5.txt\n"
              "  <base URL>%1/<path of each changed file>\n"
              "So set URL in system.cfg to the web address at which SERVER_DIR is served,\n"
              "ending with '/', e.g. http://downloads.example.com/myapp/ - without the final\n"
              "'/' clients would look for this release in http://downloads.example.com/myapp%1/.\n"
              "The doubled '/' before update.ini and md5.txt is expected; web servers treat it\n"
              "as one.")
        .arg(folder);
}
