#include "patchchoice.h"

#include "digest.h"
#include "safedir.h"

#include <QFile>

QMap<QString, DeltaPatch> choosePatches(const QList<DeltaPatch> &patches, const Manifest &changes,
    const Manifest &applied, const QDir &installRoot)
{
    QMap<QString, DeltaPatch> chosen;
    if (patches.isEmpty())
        return chosen;

    QMap<QString, QByteArray> installedDigests; // read once per file, and only when needed
    for (const DeltaPatch &patch : patches) {
        const auto entry = changes.constFind(patch.path);
        if (entry == changes.cend() || chosen.contains(patch.path) || patch.size == 0
            || patch.size >= entry->size || entry->size > MaxDeltaFileSize)
            continue;
        auto installed = installedDigests.find(patch.path);
        if (installed == installedDigests.end()) {
            // only a regular file reached without a link is a base
            QFile file;
            QByteArray digest;
            if (SafeDir::openBelow(installRoot.absolutePath(), patch.path, file)
                && quint64(file.size()) <= MaxDeltaFileSize) {
                const auto recorded = applied.constFind(patch.path);
                DigestHasher hasher;
                if (recorded != applied.cend())
                    digest = recorded->digest;
                else if (hasher.addData(&file))
                    digest = hasher.digestText();
            }
            installed = installedDigests.insert(patch.path, digest);
        }
        if (!installed->isEmpty() && *installed == patch.baseDigest)
            chosen.insert(patch.path, patch);
    }
    return chosen;
}
