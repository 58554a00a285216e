#include "deltaindex.h"

#include "digest.h"
#include "releasestatement.h"

#include <QFile>

Q_LOGGING_CATEGORY(lcDelta, "updater.delta")

namespace {
const char Header[] = "updater-delta-index 1";

// the manifest's digest text: 32 lower-case hex digits, safe in a file name
bool isDigestText(const QByteArray &text)
{
    return isLowerHex(text, 32);
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
