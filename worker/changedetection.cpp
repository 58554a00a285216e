#include "changedetection.h"

#include "digest.h"
#include "safedir.h"

#include <QFile>

#include <cstring>

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

bool openAppliedManifest(const QDir &installRoot, QFile &file)
{
    // a link in its place reads as none
    return SafeDir::openBelow(installRoot.absolutePath(), appliedManifestName(), file);
}

Manifest readAppliedManifest(const QDir &installRoot)
{
    QFile file;
    return openAppliedManifest(installRoot, file) ? parseManifest(file.readAll()) : Manifest();
}

bool appliedManifestIs(const QDir &installRoot, const QByteArray &bytes)
{
    QFile file;
    if (!openAppliedManifest(installRoot, file) || file.size() != bytes.size())
        return false;
    // a file that changes while it is read reads as different, or as what it was compared as
    QByteArray piece(256 * 1024, Qt::Uninitialized);
    qint64 compared = 0;
    while (compared < bytes.size()) {
        const qint64 count
            = file.read(piece.data(), qMin<qint64>(piece.size(), bytes.size() - compared));
        if (count <= 0
            || std::memcmp(piece.constData(), bytes.constData() + compared, size_t(count)) != 0)
            return false;
        compared += count;
    }
    return file.read(piece.data(), 1) == 0;
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
