// Publisher's writing of the release: each file copied and hashed in one pass, md5.txt, and
// update.ini with the statement that matches it.
#include "publisher.h"

#include "publishrules.h"

#include "deltaindex.h"
#include "digest.h"

#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {
// large enough to keep the disk busy, small enough to keep memory flat for files of many GiB
constexpr qint64 CopyChunkSize = 1024 * 1024;
} // namespace

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
    SignedHasher signedHasher(signing ? releaseSigner.fileHash() : SignedHashKind::None);
    QByteArray buffer(int(CopyChunkSize), Qt::Uninitialized);
    quint64 copied = 0;
    for (;;) {
        const qint64 count = source.read(buffer.data(), buffer.size());
        if (count < 0) {
            addError(
                tr("Cannot read %1: %2").arg(nativePath(file.sourcePath), source.errorString()));
            return false;
        }
        if (count == 0)
            break;
        hasher.addData(buffer.constData(), count);
        signedHasher.addData(buffer.constData(), count);
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
        fileHashes.insert(file.path, signedHasher.hexDigest());
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
        // written on every publication, signed or not: clients compare the numbers
        settings.setValue(releaseNumberKey(), QString::number(number));
        if (options.rolloutShare >= 0) {
            settings.setValue(rolloutPercentKey(), rolloutPercentText(options.rolloutShare));
            if (!fallback.folder.isEmpty()) {
                settings.setValue(fallbackFolderKey(), fallback.folder);
                settings.setValue(fallbackVersionKey(), fallback.version);
                settings.setValue(fallbackReleaseKey(), QString::number(fallback.release));
            }
        }
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
    const int share = options.rolloutShare >= 0 ? options.rolloutShare : RolloutBuckets;
    if (values.release != number || values.rolloutShare != share
        || values.fallbackFolder != fallback.folder || values.fallbackVersion != fallback.version
        || values.fallbackRelease != fallback.release) {
        addError(tr("The updater reads the release number or the rollout of %1 differently from "
                    "what was written.")
                     .arg(nativePath(scratchPath)));
        return false;
    }
    return true;
}

bool Publisher::writeDescriptor(
    const QByteArray &bytes, const QByteArray &statement, const QByteArray &fallbackStatement)
{
    // a statement of an earlier fallback must never lie beside an update.ini it does not sign
    QString error;
    if (!statement.isEmpty() && !releaseSigner.write(statement, fallbackStatement)) {
        errorList += releaseSigner.errors();
        return false;
    }
    if (statement.isEmpty() && !unsignedFallbackStatement.replace(QByteArray(), error)) {
        addError(error);
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
        if (statement.isEmpty() && !unsignedFallbackStatement.restore())
            addError(tr("Cannot restore %1; publish again.")
                         .arg(nativePath(unsignedFallbackStatement.path())));
        return false;
    }
    return true;
}
