#include "changedetection.h"

#include "digest.h"
#include "safedir.h"

#include <QFile>

namespace {
// An installed file is read with the updater's rights: one below a link, or a link itself,
// is not read and counts as changed.
bool installedFileMatches(const QDir &installRoot, const ManifestEntry &entry)
{
    QFile file;
    if (!SafeDir::openBelow(installRoot.absolutePath(), entry.path, file))
        return false;
    DigestHasher hasher;
    return hasher.addData(&file) && hasher.digestText() == entry.digest;
}
} // namespace

Manifest readAppliedManifest(const QDir &installRoot)
{
    QFile file; // a link in its place reads as none
    if (!SafeDir::openBelow(installRoot.absolutePath(), appliedManifestName(), file))
        return Manifest();
    return parseManifest(file.readAll());
}

Manifest detectChanges(const Manifest &remote, const Manifest &applied, const QDir &installRoot)
{
    Manifest changed;
    // both maps are in path order: one walk through the applied manifest finds every path of
    // the remote one, without a search for each
    auto known = applied.cbegin();
    for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
        const ManifestEntry &entry = it.value();
        while (known != applied.cend() && known.key() < it.key())
            ++known;
        const bool isListed = known != applied.cend() && known.key() == it.key();
        const bool isChanged
            = isListed ? known->digest != entry.digest : !installedFileMatches(installRoot, entry);
        if (isChanged)
            changed.insert(entry.path, entry);
    }
    return changed;
}
