// PublicationCheck's reading of the index of patches and of every patch it lists.
#include "publicationcheck.h"

#include "publishrules.h"

#include "deltaindex.h"
#include "digest.h"

void PublicationCheck::checkPatches(const Manifest &manifest)
{
    // patches are optional: clients fetch whole files for any that is missing or wrong, so each
    // problem here costs bandwidth, never an installation
    // clients ask for the index only where update.ini announces it
    // update.ini announces the index of its own release, not of the fallback's
    const bool announced = clientDescriptor.deltaIndex && !checkingFallback;
    if (!announced && !source->seesUnannounced())
        return;
    QByteArray bytes;
    QString error;
    const PublicationSource::Outcome read
        = source->read(folderName, deltaIndexName(), bytes, error);
    if (read == PublicationSource::Outcome::Missing) {
        if (announced)
            problemList.append(error.isEmpty()
                    ? tr("update.ini announces patches, but %1 is missing.").arg(deltaIndexName())
                    : tr("update.ini announces patches, but %1 is missing: %2.")
                          .arg(deltaIndexName(), error));
        return;
    }
    if (!announced && !checkingFallback)
        warningList.append(tr("update.ini does not announce %1: clients use none of its patches. "
                              "Publish the release again with --delta-from.")
                               .arg(deltaIndexName()));
    if (read == PublicationSource::Outcome::Failed && !error.isEmpty()) {
        problemList.append(
            tr("Cannot read %1: %2").arg(source->shownName(folderName, deltaIndexName()), error));
        return;
    }
    QList<DeltaPatch> patches;
    if (!parseDeltaIndex(bytes, patches)) {
        problemList.append(
            tr("%1 is not an index of patches the updater can read.").arg(deltaIndexName()));
        return;
    }
    const QByteArray hash = signedHashHex(fileHashKind(), bytes);
    if (collecting() || statementRead)
        hashes.insert(deltaIndexName(), hash);
    const QByteArray signedHash = releaseStatement.files.value(deltaIndexName());
    if (statementRead && signedHash != hash)
        problemList.append(tr("%1 is not the index %2 signs; clients use none of its "
                              "patches. Sign the publication again.")
                               .arg(deltaIndexName(), statementFile()));
    for (const DeltaPatch &patch : qAsConst(patches)) {
        const QString shown = deltaPatchPath(patch);
        if (!manifest.contains(patch.path))
            problemList.append(tr("%1 lists a patch for \"%2\", which md5.txt does not list.")
                                   .arg(deltaIndexName(), printablePath(patch.path)));
        DigestHasher hasher;
        quint64 size = patch.size;
        const PublicationSource::Outcome outcome = source->stream(
            folderName, shown, size,
            [&hasher](const char *data, qint64 length) { hasher.addData(data, length); }, error);
        if (outcome == PublicationSource::Outcome::Read) {
            if (hasher.digestText() != patch.digest)
                problemList.append(
                    tr("The patch %1 differs from %2.").arg(shown, deltaIndexName()));
        } else if (outcome == PublicationSource::Outcome::Failed) {
            problemList.append(tr("Cannot read the patch %1: %2").arg(shown, error));
        } else {
            problemList.append(tr("The patch %1 is missing or has not the size %2 lists.")
                                   .arg(shown, deltaIndexName()));
        }
    }
}
