#include "deltaindex.h"

#include "net/changedetection.h"
#include "net/digest.h"
#include "net/releasestatement.h"
#include "net/safedir.h"

#include <QFile>

Q_LOGGING_CATEGORY(lcDelta, "updater.delta")

namespace {
const char Header[] = "updater-delta-index 1";

// the manifest's digest text: 32 lower-case hex digits, safe in a file name
bool isDigestText(const QByteArray &text)
{
    if (text.size() != 32)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool parseLine(const QByteArray &line, DeltaPatch &patch)
{
    const QList<QByteArray> fields = line.split(' ');
    if (fields.size() != 4 || !isDigestText(fields.at(0)) || !isDigestText(fields.at(2)))
        return false;
    bool ok = false;
    patch.baseDigest = fields.at(0);
    patch.size = fields.at(1).toULongLong(&ok);
    patch.digest = fields.at(2);
    return ok && QByteArray::number(patch.size) == fields.at(1)
            && decodedFieldText(fields.at(3), patch.path) && isSafeManifestPath(patch.path);
}
} // namespace

QString deltaIndexKey()
{
    return QStringLiteral("Delta/Index");
}

QString deltaPatchPath(const DeltaPatch &patch)
{
    return deltaFolderName() + QLatin1Char('/') + QString::fromLatin1(patch.digest)
            + QLatin1String(".zst");
}

QByteArray deltaIndexText(const QList<DeltaPatch> &patches)
{
    QByteArray text = QByteArray(Header) + '\n';
    for (const DeltaPatch &patch : patches) {
        text += patch.baseDigest + ' ' + QByteArray::number(patch.size) + ' ' + patch.digest + ' '
                + encodedFieldText(patch.path) + '\n';
    }
    return text;
}

bool parseDeltaIndex(const QByteArray &bytes, QList<DeltaPatch> &patches)
{
    patches.clear();
    QList<QByteArray> lines = bytes.split('\n');
    if (!bytes.endsWith('\n') || lines.takeFirst() != Header)
        return false;
    lines.removeLast();
    for (const QByteArray &line : qAsConst(lines)) {
        DeltaPatch patch;
        if (!parseLine(line, patch)) {
            patches.clear();
            return false;
        }
        patches.append(patch);
    }
    return true;
}

QMap<QString, DeltaPatch> choosePatches(const QList<DeltaPatch> &patches, const Manifest &changes,
                                        const QDir &installRoot)
{
    QMap<QString, DeltaPatch> chosen;
    if (patches.isEmpty())
        return chosen;
    Manifest applied;
    QFile appliedFile; // a link in its place reads as none
    if (SafeDir::openBelow(installRoot.absolutePath(), appliedManifestName(), appliedFile))
        applied = parseManifest(appliedFile.readAll());

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
