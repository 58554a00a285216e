#include "changedetection.h"

#include "net/digest.h"

#include <QFile>

Manifest detectChanges(Manifest remote, QDir installRoot)
{
    Manifest changed;
    Manifest applied;
    QFile appliedFile(installRoot.absoluteFilePath(appliedManifestName()));
    if (appliedFile.open(QIODevice::ReadOnly)) {
        applied = parseManifest(appliedFile.readAll());
        appliedFile.close();
    }

    // both maps are in path order: one walk through the applied manifest finds every path of
    // the remote one, without a search for each
    auto known = applied.cbegin();
    for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
        const ManifestEntry &entry = it.value();
        while (known != applied.cend() && known.key() < it.key())
            ++known;
        const bool isListed = known != applied.cend() && known.key() == it.key();
        const bool isChanged = isListed
                ? known->digest != entry.digest
                : !verifyFileDigest(installRoot.absoluteFilePath(entry.path), entry.digest);
        if (isChanged)
            changed.insert(entry.path, entry);
    }
    return changed;
}
