#include "deltamaker.h"

#include "publishrules.h"

#include "descriptor.h"
#include "digest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getCParams
#include <zstd.h>

#include <memory>

namespace {
constexpr qint64 OutputChunk = 1024 * 1024;

unsigned highBit(quint64 value)
{
    unsigned bit = 0;
    while (value >>= 1)
        ++bit;
    return bit;
}

struct ContextFree
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

// The parameters the zstd tool sets for --patch-from: a window that covers the file (the whole
// prefix stays within reach as long as the file is smaller than the window), and long-distance
// matching once that window outgrows what the level's match finder searches.
bool setPatchParameters(ZSTD_CCtx *context, int level, quint64 baseSize, quint64 targetSize)
{
    const ZSTD_compressionParameters levelParameters
        = ZSTD_getCParams(level, targetSize, size_t(baseSize));
    const unsigned windowLog = qBound(
        unsigned(ZSTD_WINDOWLOG_MIN), highBit(targetSize) + 1, unsigned(MaxPatchWindowLog));
    const unsigned cycleLog
        = levelParameters.chainLog - (levelParameters.strategy >= ZSTD_btlazy2 ? 1 : 0);
    const size_t results[] = {
        ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level),
        ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, int(windowLog)),
        ZSTD_CCtx_setParameter(
            context, ZSTD_c_enableLongDistanceMatching, windowLog > cycleLog ? 1 : 0),
        ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1),
        ZSTD_CCtx_setPledgedSrcSize(context, targetSize),
    };
    for (const size_t result : results) {
        if (ZSTD_isError(result))
            return false;
    }
    // As the tool does by default: one worker beside the caller. Its long-distance matching then
    // runs over the whole file at once, which finds what a single thread misses on data that
    // does not compress by itself (a 64 MiB random file edited in the middle: 13 KB against
    // 290 KB). A library built without threads (the static one for Windows) compresses alone.
    ZSTD_CCtx_setParameter(context, ZSTD_c_nbWorkers, 1);
    return true;
}
} // namespace

bool makePatch(const QString &basePath, const QString &targetPath, const QString &patchPath,
    int level, quint64 limit, quint64 &patchSize, QByteArray &patchDigest, QString &error)
{
    error.clear();
    QFile base(basePath);
    QFile target(targetPath);
    if (!base.open(QIODevice::ReadOnly) || !target.open(QIODevice::ReadOnly)) {
        error = DeltaMaker::tr("Cannot read %1 or %2.")
                    .arg(nativePath(basePath), nativePath(targetPath));
        return false;
    }
    const quint64 baseSize = quint64(base.size());
    const quint64 targetSize = quint64(target.size());
    if (baseSize == 0 || targetSize == 0 || baseSize > MaxDeltaFileSize
        || targetSize > MaxDeltaFileSize)
        return false;
    // both mapped: the prefix must be whole, and the file is read from its mapping
    const uchar *baseBytes = base.map(0, qint64(baseSize));
    const uchar *targetBytes = target.map(0, qint64(targetSize));
    const std::unique_ptr<ZSTD_CCtx, ContextFree> context(ZSTD_createCCtx());
    if (!baseBytes || !targetBytes || !context
        || !setPatchParameters(context.get(), level, baseSize, targetSize)
        || ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), baseBytes, size_t(baseSize)))) {
        error = DeltaMaker::tr("Cannot set up a patch from %1 to %2.")
                    .arg(nativePath(basePath), nativePath(targetPath));
        return false;
    }

    QFile patch(patchPath);
    if (!patch.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        error = DeltaMaker::tr("Cannot create %1: %2")
                    .arg(nativePath(patchPath), patch.errorString());
        return false;
    }
    DigestHasher hasher;
    QByteArray chunk(int(OutputChunk), Qt::Uninitialized);
    ZSTD_inBuffer in {targetBytes, size_t(targetSize), 0};
    patchSize = 0;
    size_t left = 1;
    while (left != 0) {
        ZSTD_outBuffer out {chunk.data(), size_t(chunk.size()), 0};
        left = ZSTD_compressStream2(context.get(), &out, &in, ZSTD_e_end);
        if (ZSTD_isError(left)) {
            error = DeltaMaker::tr("Cannot make a patch from %1 to %2: %3")
                        .arg(nativePath(basePath), nativePath(targetPath),
                            QString::fromLatin1(ZSTD_getErrorName(left)));
            break;
        }
        patchSize += out.pos;
        if (patchSize > limit)
            break; // does not pay
        hasher.addData(chunk.constData(), qint64(out.pos));
        if (patch.write(chunk.constData(), qint64(out.pos)) != qint64(out.pos)) {
            error = DeltaMaker::tr("Cannot write %1: %2")
                        .arg(nativePath(patchPath), patch.errorString());
            break;
        }
    }
    if (left != 0 || patchSize > limit || !patch.flush()) {
        if (error.isEmpty() && patchSize <= limit)
            error = DeltaMaker::tr("Cannot write %1: %2")
                        .arg(nativePath(patchPath), patch.errorString());
        patch.remove();
        return false;
    }
    patch.close();
    patchDigest = hasher.digestText();
    return true;
}

DeltaMaker::DeltaMaker(const QStringList &earlierDirs, int level)
    : dirs(earlierDirs)
    , level(level)
{ }

QString DeltaMaker::earlierFilesRoot(const QString &dir)
{
    // a server directory: the folder its update.ini names, holding md5.txt
    const QString descriptor = dir + QLatin1String("/update.ini");
    if (QFileInfo(descriptor).isFile()) {
        const QString folder = dir + QLatin1Char('/') + readDescriptor(descriptor).folder;
        return QFileInfo(folder + QLatin1String("/md5.txt")).isFile() ? folder : QString();
    }
    return QFileInfo(dir).isDir() ? dir : QString();
}

bool DeltaMaker::checkArguments()
{
    errorList.clear();
    roots.clear();
    for (const QString &dir : qAsConst(dirs)) {
        const QString root = earlierFilesRoot(QFileInfo(dir).absoluteFilePath());
        if (root.isEmpty())
            errorList.append(tr("--delta-from %1: not a release directory, nor a server directory "
                                "whose update.ini names a folder with md5.txt.")
                                 .arg(nativePath(dir)));
        else
            roots.append(root);
    }
    return errorList.isEmpty();
}

bool DeltaMaker::make(
    const QString &folderDir, const QList<ManifestEntry> &entries, QByteArray &indexBytes)
{
    made.clear();
    fileBytes = 0;
    patchBytes = 0;
    const QString patchDir = folderDir + QLatin1String("/update_delta");
    if (!QDir().mkpath(patchDir)) {
        errorList.append(tr("Cannot create the directory %1.").arg(nativePath(patchDir)));
        return false;
    }
    const QString scratch = patchDir + QLatin1String("/.making");
    for (const ManifestEntry &entry : entries) {
        if (entry.size == 0 || entry.size > MaxDeltaFileSize)
            continue;
        QSet<QByteArray> bases; // one patch for each different earlier version
        quint64 largest = 0;
        for (const QString &root : qAsConst(roots)) {
            const QString basePath = root + QLatin1Char('/') + entry.path;
            const QFileInfo base(basePath);
            if (!base.isFile() || base.size() == 0 || quint64(base.size()) > MaxDeltaFileSize)
                continue;
            const QByteArray baseDigest = fileDigestText(basePath);
            if (baseDigest.isEmpty() || baseDigest == entry.digest || bases.contains(baseDigest))
                continue;
            bases.insert(baseDigest);
            DeltaPatch patch;
            patch.path = entry.path;
            patch.baseDigest = baseDigest;
            QString error;
            if (!makePatch(basePath, folderDir + QLatin1Char('/') + entry.path, scratch, level,
                    entry.size * 3 / 4, patch.size, patch.digest, error)) {
                if (!error.isEmpty()) {
                    errorList.append(error);
                    return false;
                }
                continue;
            }
            const QString patchPath = folderDir + QLatin1Char('/') + deltaPatchPath(patch);
            // the same patch made for another path (the same pair of contents) is kept once
            if ((QFileInfo::exists(patchPath) && !QFile::remove(scratch))
                || (!QFileInfo::exists(patchPath) && !QFile::rename(scratch, patchPath))) {
                errorList.append(tr("Cannot write %1.").arg(nativePath(patchPath)));
                return false;
            }
            made.append(patch);
            largest = qMax(largest, patch.size);
        }
        if (largest > 0) {
            fileBytes += entry.size;
            patchBytes += largest;
        }
    }
    indexBytes = deltaIndexText(made);
    QFile index(folderDir + QLatin1Char('/') + deltaIndexName());
    if (!index.open(QIODevice::WriteOnly | QIODevice::NewOnly)
        || index.write(indexBytes) != indexBytes.size() || !index.flush()) {
        errorList.append(
            tr("Cannot write %1: %2").arg(nativePath(index.fileName()), index.errorString()));
        return false;
    }
    return true;
}
