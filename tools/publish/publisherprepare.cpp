// Publisher's check of the release and the server directory, before a byte is written: every
// file found below the release, its name checked, and the room and the folder it needs.
#include "publisher.h"

#include "publishrules.h"

#include "reservednames.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>

namespace {
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
} // namespace

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
        addError(
            tr("The release directory %1 contains no files.").arg(nativePath(options.releaseDir)));

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
        addError(
            tr("The server directory %1 is not a directory.").arg(nativePath(options.serverDir)));
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

    prepareNumbers();

    prepared = errorList.isEmpty();
    return prepared;
}

bool Publisher::prepareNumbers()
{
    number = 0;
    fallback = RolloutFallback();
    QString error;
    if (!LivePublicationRules::read(serverRoot, live, error)) {
        addError(error);
        return false;
    }
    if (!options.fallbackFolder.isEmpty()) {
        if (!LivePublicationRules::fallback(
                live, serverRoot, options.fallbackFolder, fallback, error))
            addError(error);
        else if (fallback.folder == options.folder)
            addError(tr("The fallback \"%1\" is the folder this release replaces; the "
                        "installations outside the rollout would get the new release.")
                         .arg(printablePath(fallback.folder)));
    }

    if (releaseSigner.isEnabled()) {
        if (!releaseSigner.prepare(serverRoot, live.descriptor.release))
            errorList += releaseSigner.errors();
        warningList += releaseSigner.warnings();
        number = releaseSigner.releaseNumber();
        return errorList.isEmpty();
    }
    // An update.sig left from a signed release would no longer match: every client that
    // checks signatures would refuse this release, and nothing would say why until they do.
    const QFileInfo statement(ReleaseSigner::statementPath(serverRoot));
    if (statement.exists() || statement.isSymLink())
        addError(tr("%1 exists: the releases in %2 are signed, and clients that check "
                    "signatures would refuse an unsigned one. Sign this release with --sign "
                    "KEYFILE, or remove update.sig first to stop signing.")
                     .arg(nativePath(statement.filePath()), nativePath(options.serverDir)));
    if (!LivePublicationRules::releaseNumber(live, options.signing.releaseNumber, number, error))
        addError(error);
    // unsigned, nothing tells two publications under one number apart
    else if (live.hasDescriptor && number == live.publishedRelease())
        addError(tr("Release number %1 is published already; clients that installed it would "
                    "take this release for the same one. Give a higher --release-number, or "
                    "none for the next one.")
                     .arg(number));
    if (!unsignedFallbackStatement.prepare(
            QDir(serverRoot).filePath(fallbackStatementName()), error))
        addError(error);
    return errorList.isEmpty();
}

void Publisher::walk(const QString &directory, const QString &relativeDirectory)
{
    const QFileInfoList entries = QDir(directory).entryInfoList(EveryEntry, QDir::Name);
    for (const QFileInfo &info : entries) {
        const QString path = relativeDirectory.isEmpty()
            ? info.fileName()
            : relativeDirectory + QLatin1Char('/') + info.fileName();
        const QString shown = printablePath(path);
        QString problem;
        if (!checkReleasePath(path, problem)) {
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
