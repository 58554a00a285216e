#include "patchapplier.h"

#include "deltaindex.h"
#include "safedir.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_d_stableOutBuffer: decode into the output, no window copy
#include <zstd.h>

namespace {
// at most a few compressed blocks of 128 KiB of output each
constexpr qint64 FeedSlice = 256;
constexpr quint64 ReleaseInterval = 8 * 1024 * 1024;
} // namespace

PatchApplier::PatchApplier() = default;

PatchApplier::~PatchApplier()
{
    ZSTD_freeDCtx(context);
    if (baseMap)
        base.unmap(baseMap);
}

bool PatchApplier::begin(const QString &root, const QString &basePath, uchar *out, quint64 size)
{
    // the installed file is read with the updater's rights: never through a link, nor below one
    QString why;
    if (!SafeDir::openBelow(root, basePath, base, &why)) {
        problem = QStringLiteral("the installed file is not used: ") + why;
        return false;
    }
    baseSize = base.size();
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

bool PatchApplier::feed(const char *data, qint64 length, const OutputSink &sink)
{
    if (!context || !problem.isEmpty())
        return false;
    for (qint64 at = 0; at < length; at += FeedSlice) {
        ZSTD_inBuffer in {data + at, size_t(qMin(FeedSlice, length - at)), 0};
        // the same buffer every time, only its position advancing, as the stable mode requires
        ZSTD_outBuffer out {output, size_t(outputSize), size_t(written)};
        while (in.pos < in.size) {
            if (frameEnded) {
                problem = QStringLiteral("bytes follow the end of the patch");
                return false;
            }
            const size_t before = in.pos + out.pos;
            const size_t result = ZSTD_decompressStream(context, &out, &in);
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
        if (out.pos > written) {
            sink(output + written, qint64(out.pos - written));
            written = out.pos;
        }
        if (written - released >= ReleaseInterval) {
            releaseResidentPages();
            released = written;
        }
    }
    return true;
}

bool PatchApplier::complete() const
{
    return problem.isEmpty() && frameEnded && written == outputSize;
}

void PatchApplier::releaseResidentPages()
{
    // both mappings are of files (shared, not private): what was written stays in the file
#ifdef Q_OS_WIN
    // unlocking pages that were never locked removes them from the working set
    if (baseMap)
        ::VirtualUnlock(baseMap, SIZE_T(baseSize));
    if (written > 0)
        ::VirtualUnlock(output, SIZE_T(written));
#else
    if (baseMap)
        ::madvise(baseMap, size_t(baseSize), MADV_DONTNEED);
    if (written > 0)
        ::madvise(output, size_t(written), MADV_DONTNEED);
#endif
}
