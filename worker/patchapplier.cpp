#include "patchapplier.h"

#include "net/deltaindex.h"
#include "worker/cachetrust.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_d_stableOutBuffer: decode into the output, no window copy
#include <zstd.h>

PatchApplier::PatchApplier() = default;

PatchApplier::~PatchApplier()
{
    ZSTD_freeDCtx(context);
    if (baseMap)
        base.unmap(baseMap);
}

bool PatchApplier::begin(const QString &basePath, uchar *out, quint64 size)
{
    // the installed file is read with the updater's rights: never through a link
    if (pathKind(basePath) != PathKind::File) {
        problem = QStringLiteral("the installed file is not a regular file");
        return false;
    }
    base.setFileName(basePath);
    if (!base.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("the installed file cannot be read: ") + base.errorString();
        return false;
    }
    const qint64 baseSize = base.size();
    if (baseSize <= 0 || quint64(baseSize) > MaxDeltaFileSize || size == 0
        || size > MaxDeltaFileSize) {
        problem = QStringLiteral("a file is empty or larger than deltas are made for");
        return false;
    }
    baseMap = base.map(0, baseSize);
    context = ZSTD_createDCtx();
    if (!baseMap || !context) {
        problem = QStringLiteral("the installed file cannot be mapped");
        return false;
    }
    // the window may reach back over the whole earlier version; a larger one is refused by the
    // decoder, and the output buffer bounds what the frame can make
    const size_t setUp[] = {
        ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, MaxPatchWindowLog),
        ZSTD_DCtx_setParameter(context, ZSTD_d_stableOutBuffer, 1),
        ZSTD_DCtx_refPrefix(context, baseMap, size_t(baseSize)),
    };
    for (const size_t result : setUp) {
        if (ZSTD_isError(result)) {
            problem = QString::fromLatin1(ZSTD_getErrorName(result));
            return false;
        }
    }
    output = out;
    outputSize = size;
    return true;
}

bool PatchApplier::feed(const char *data, qint64 length)
{
    if (!context || !problem.isEmpty())
        return false;
    ZSTD_inBuffer in{data, size_t(length), 0};
    // the same buffer every time, only its position advancing, as the stable mode requires
    ZSTD_outBuffer out{output, size_t(outputSize), size_t(written)};
    while (in.pos < in.size) {
        if (frameEnded) {
            problem = QStringLiteral("bytes follow the end of the patch");
            return false;
        }
        const size_t before = in.pos + out.pos;
        const size_t result = ZSTD_decompressStream(context, &out, &in);
        written = out.pos;
        if (ZSTD_isError(result)) {
            problem = QString::fromLatin1(ZSTD_getErrorName(result));
            return false;
        }
        frameEnded = result == 0;
        if (in.pos + out.pos == before && !frameEnded) {
            problem = QStringLiteral("the patch makes no progress");
            return false;
        }
    }
    return true;
}

bool PatchApplier::complete() const
{
    return problem.isEmpty() && frameEnded && written == outputSize;
}
