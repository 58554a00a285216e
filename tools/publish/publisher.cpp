#include "publisher.h"

#include "publishrules.h"

#include "deltaindex.h"
#include "digest.h"
#include "reservednames.h"
#include "releasestatement.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSettings>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <algorithm>

namespace {
// large enough to keep the disk busy, small enough to keep memory flat for files of many GiB
constexpr qint64 CopyChunkSize = 1024 * 1024;

const QDir::Filters EveryEntry
    = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

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

QString nearestExisting(QString path)
{
    while (!QFileInfo::exists(path)) {
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    return path;
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
    const QString folderProblem = folderNameProblem(options.folder);
    if (!folderProblem.isEmpty())
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

bool Publisher::prepare()
{
    errorList.clear();
    warningList.clear();
    fileList.clear();
    foldedPaths.clear();
    total = 0;
    prepared = false;
    if (!argumentsChecked) {
        addError(tr("The arguments were not checked."));
        return false;
    }

    const QFileInfo release(releaseRoot);
    if (!release.isDir()) {
        addError(tr("The release directory %1 does not exist or is not a directory.")
                     .arg(nativePath(options.releaseDir)));
        return false;
    }
    walk(releaseRoot, QString());
    if (fileList.isEmpty() && errorList.isEmpty())
        addError(tr("The release directory %1 contains no files.").arg(nativePath(options.releaseDir)));

    std::sort(fileList.begin(), fileList.end(),
        [](const ReleaseFile &a, const ReleaseFile &b) { return a.path < b.path; });
    bool nonAscii = false;
    QStringList paths;
    for (const ReleaseFile &file : qAsConst(fileList)) {
        paths.append(file.path);
        total += file.size;
        for (const QChar c : file.path)
            nonAscii = nonAscii || c.unicode() > 0x7f;
    }
    // the updater sets every file it replaces aside as NAME.old
    QString owner;
    const QString clash = setAsideClash(paths, &owner);
    if (!clash.isEmpty())
        addError(tr("\"%1\" would be the copy the updater keeps of \"%2\" when it replaces it.")
                     .arg(printablePath(clash), printablePath(owner)));
    if (nonAscii)
        warningList.append(
            tr("Some names are not ASCII. md5.txt lists them in UTF-8; updaters that still read "
               "paths in their system's 8-bit encoding find these files only where that "
               "encoding is UTF-8."));

    const QFileInfo server(serverRoot);
    if (server.exists() && !server.isDir())
        addError(tr("The server directory %1 is not a directory.").arg(nativePath(options.serverDir)));
    const QFileInfo folder(folderPath());
    if (folder.exists() || folder.isSymLink()) {
        if (!folder.isDir() || folder.isSymLink())
            addError(tr("%1 exists and is not a directory.").arg(nativePath(folderPath())));
        else if (!QDir(folderPath()).isEmpty(EveryEntry) && !options.replace)
            addError(tr("The folder %1 already exists. Publish each release into a new folder "
                        "with --folder (clients may be downloading from the old one), or pass "
                        "--replace to replace it.")
                         .arg(nativePath(folderPath())));
    }

    const QStorageInfo storage(nearestExisting(serverRoot));
    if (storage.isValid() && storage.bytesAvailable() >= 0
        && quint64(storage.bytesAvailable()) < total)
        addError(tr("The release needs %1 bytes, but only %2 bytes are free below %3.")
                     .arg(total)
                     .arg(storage.bytesAvailable())
                     .arg(nativePath(options.serverDir)));

    if (releaseSigner.isEnabled()) {
        if (!releaseSigner.prepare(serverRoot))
            errorList += releaseSigner.errors();
        warningList += releaseSigner.warnings();
    } else {
        // An update.sig left from a signed release would no longer match: every client that
        // checks signatures would refuse this release, and nothing would say why until they do.
        const QFileInfo statement(ReleaseSigner::statementPath(serverRoot));
        if (statement.exists() || statement.isSymLink())
            addError(tr("%1 exists: the releases in %2 are signed, and clients that check "
                        "signatures would refuse an unsigned one. Sign this release with --sign "
                        "KEYFILE, or remove update.sig first to stop signing.")
                         .arg(nativePath(statement.filePath()), nativePath(options.serverDir)));
    }

    prepared = errorList.isEmpty();
    return prepared;
}

void Publisher::walk(const QString &directory, const QString &relativeDirectory)
{
    const QFileInfoList entries = QDir(directory).entryInfoList(EveryEntry, QDir::Name);
    for (const QFileInfo &info : entries) {
        const QString path = relativeDirectory.isEmpty()
            ? info.fileName()
            : relativeDirectory + QLatin1Char('/') + info.fileName();
        const QString shown = printablePath(path);
        const QString problem = releasePathProblem(path);
        if (!problem.isEmpty()) {
            addError(tr("\"%1\" %2.").arg(shown, problem));
            continue;
        }
        // Windows clients and many servers ignore case: two such names would be one file
        const QString folded = path.toCaseFolded();
        const auto clash = foldedPaths.constFind(folded);
        if (clash != foldedPaths.cend()) {
            addError(
                tr("\"%1\" and \"%2\" differ only in case.").arg(printablePath(*clash), shown));
            continue;
        }
        foldedPaths.insert(folded, path);

        if (info.isSymLink()) {
            // a link is published as a copy of what it points to, when that is a file of the
            // release; anything else would publish files the vendor never meant to ship
            const QString target = info.canonicalFilePath();
            if (target.isEmpty()) {
                addError(tr("\"%1\" is a symbolic link to %2, which does not exist.")
                             .arg(shown, nativePath(info.symLinkTarget())));
                continue;
            }
            if (!isSameOrInside(target, releaseRoot)) {
                addError(tr("\"%1\" is a symbolic link leading out of the release, to %2.")
                             .arg(shown, nativePath(target)));
                continue;
            }
            const QFileInfo targetInfo(target);
            if (targetInfo.isDir()) {
                addError(tr("\"%1\" is a symbolic link to a directory; replace it by the "
                            "directory's contents.")
                             .arg(shown));
                continue;
            }
            if (!targetInfo.isFile()) {
                addError(tr("\"%1\" is a symbolic link to something that is not a regular file.")
                             .arg(shown));
                continue;
            }
            if (!targetInfo.isReadable()) {
                addError(tr("\"%1\" cannot be read.").arg(shown));
                continue;
            }
            fileList.append({path, info.absoluteFilePath(), quint64(targetInfo.size())});
        } else if (info.isDir()) {
            if (!info.isReadable() || !info.isExecutable()) {
                addError(tr("The directory \"%1\" cannot be read.").arg(shown));
                continue;
            }
            walk(info.absoluteFilePath(), path);
        } else if (info.isFile()) {
            if (!info.isReadable()) {
                addError(tr("\"%1\" cannot be read.").arg(shown));
                continue;
            }
            fileList.append({path, info.absoluteFilePath(), quint64(info.size())});
        } else {
            addError(tr("\"%1\" is not a regular file.").arg(shown));
        }
    }
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
            fileHashes.insert(deltaIndexName(), sha256Hex(index));
    }
    if (releaseSigner.isEnabled()) {
        // the statement names what clients read from update.ini, not what was asked for
        statement = releaseSigner.sign(
            descriptor, manifestBytes, values.version, values.folder, fileHashes);
        if (statement.isEmpty()) {
            errorList += releaseSigner.errors();
            return false;
        }
    }
    if (!moveIntoPlace(staging))
        return false;
    stagingCleanup.keep();
    return writeDescriptor(descriptor, statement);
}

bool Publisher::copyFile(const ReleaseFile &file, const QString &destination, ManifestEntry &entry)
{
    QFile source(file.sourcePath);
    if (!source.open(QIODevice::ReadOnly)) {
        addError(tr("Cannot open %1: %2").arg(nativePath(file.sourcePath), source.errorString()));
        return false;
    }
    QFile target(destination);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        addError(tr("Cannot create %1: %2").arg(nativePath(destination), target.errorString()));
        return false;
    }

    // streamed: the digests are taken of exactly the bytes that are written
    const bool signing = releaseSigner.isEnabled();
    DigestHasher hasher;
    Sha256Hasher sha256;
    QByteArray buffer(int(CopyChunkSize), Qt::Uninitialized);
    quint64 copied = 0;
    for (;;) {
        const qint64 count = source.read(buffer.data(), buffer.size());
        if (count < 0) {
            addError(tr("Cannot read %1: %2").arg(nativePath(file.sourcePath), source.errorString()));
            return false;
        }
        if (count == 0)
            break;
        hasher.addData(buffer.constData(), count);
        if (signing)
            sha256.addData(buffer.constData(), count);
        if (target.write(buffer.constData(), count) != count) {
            addError(tr("Cannot write %1: %2").arg(nativePath(destination), target.errorString()));
            return false;
        }
        copied += quint64(count);
        done += quint64(count);
        if (progress)
            progress(done, total);
    }
    if (!target.flush()) {
        addError(tr("Cannot write %1: %2").arg(nativePath(destination), target.errorString()));
        return false;
    }
    target.close();
    if (target.error() != QFileDevice::NoError) {
        addError(tr("Cannot write %1: %2").arg(nativePath(destination), target.errorString()));
        return false;
    }
    if (copied != file.size) {
        addError(tr("%1 changed while it was being published; publish a finished release.")
                     .arg(nativePath(file.sourcePath)));
        return false;
    }

    entry.path = file.path;
    entry.size = copied;
    entry.digest = hasher.digestText();
    if (signing)
        fileHashes.insert(file.path, sha256.hexDigest());
    return true;
}

bool Publisher::writeManifest(const QString &directory)
{
    QByteArray bytes;
    for (const ManifestEntry &entry : qAsConst(entryList))
        bytes += manifestLine(entry) + '\n';

    // the updater's own parser must read back exactly what was meant; the checks above should
    // make this hold, and a manifest that loses a file must never reach a server
    const Manifest parsed = parseManifest(bytes);
    bool same = parsed.size() == entryList.size();
    for (const ManifestEntry &entry : qAsConst(entryList))
        same = same && parsed.value(entry.path) == entry;
    if (!same) {
        addError(tr("md5.txt does not read back as written; check the names of the release."));
        return false;
    }

    const QString path = directory + QLatin1String("/md5.txt");
    QSaveFile file(path);
    // (flushed first: Qt 5.15's commit() misses a failure of the last buffered write)
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()
        || !file.commit()) {
        addError(tr("Cannot write %1: %2").arg(nativePath(path), file.errorString()));
        return false;
    }
    manifestBytes = bytes;
    return true;
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
        warningList.append(
            tr("The old folder could not be removed completely; remove %1.").arg(nativePath(previous)));
    return true;
}

bool Publisher::makeDescriptor(QByteArray &bytes, UpdateDescriptor &values)
{
    // QSettings writes the file so that its own escaping of non-ASCII text is the one the
    // updater reads back; it is written aside first and then replaced in one step
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        addError(tr("Cannot create a temporary directory: %1").arg(scratch.errorString()));
        return false;
    }
    const QString scratchPath = scratch.filePath(QStringLiteral("update.ini"));
    {
        QSettings settings(scratchPath, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Summary/UpdateType"), options.optional ? 0 : 1);
        settings.setValue(QStringLiteral("Version/Folder"), options.folder);
        settings.setValue(QStringLiteral("Version/Version"), options.version);
        // clients ask for the index of patches only where update.ini announces it
        if (!options.deltaFrom.isEmpty())
            settings.setValue(deltaIndexKey(), deltaIndexName());
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            addError(tr("Cannot write the descriptor %1.").arg(nativePath(scratchPath)));
            return false;
        }
    }
    QFile written(scratchPath);
    if (!written.open(QIODevice::ReadOnly)) {
        addError(tr("Cannot read %1: %2").arg(nativePath(scratchPath), written.errorString()));
        return false;
    }
    bytes = written.readAll();
    values = readDescriptor(scratchPath);
    return true;
}

bool Publisher::writeDescriptor(const QByteArray &bytes, const QByteArray &statement)
{
    if (!statement.isEmpty() && !releaseSigner.write(statement)) {
        errorList += releaseSigner.errors();
        return false;
    }
    const QString path = serverRoot + QLatin1String("/update.ini");
    QSaveFile file(path);
    // (flushed first: Qt 5.15's commit() misses a failure of the last buffered write)
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()
        || !file.commit()) {
        addError(tr("Cannot write %1: %2").arg(nativePath(path), file.errorString()));
        // the old update.ini stays, and so must the statement that matches it
        if (!statement.isEmpty() && !releaseSigner.restorePrevious())
            addError(tr("Cannot restore %1; publish again.")
                         .arg(nativePath(ReleaseSigner::statementPath(serverRoot))));
        return false;
    }
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
