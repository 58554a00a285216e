#include "changedetection.h"

#include "net/digest.h"

#include <QFile>

QString appliedManifestName()
{
    return QStringLiteral("update_md5.info");
}

Manifest detectChanges(Manifest remote, QDir installRoot)
{
    Manifest changed;
    Manifest applied;
    QFile appliedFile(installRoot.absoluteFilePath(appliedManifestName()));
    if (appliedFile.open(QIODevice::ReadOnly)) {
        applied = parseManifest(appliedFile.readAll());
        appliedFile.close();
    }

    for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
        const ManifestEntry &entry = it.value();
        const auto known = applied.constFind(entry.path);
        const bool isChanged = known != applied.cend()
                ? known->digest != entry.digest
                : !verifyFileDigest(installRoot.absoluteFilePath(entry.path), entry.digest);
        if (isChanged)
            changed.insert(entry.path, entry);
    }
    return changed;
}
