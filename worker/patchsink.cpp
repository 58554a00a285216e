#include "patchsink.h"

#include "cachefilewriter.h"
#include "concurrentdigesthasher.h"
#include "patchapplier.h"
#include "pathtrust.h"
#include "verification.h"

#include <cstring>

namespace {
// as often as a download writes back what has arrived (see wholefilesink.cpp)
constexpr qint64 WritebackInterval = 8 * 1024 * 1024;
// a patch's bytes are read in pieces of this size and applied at once
constexpr int PatchReadSize = 64 * 1024;
} // namespace

PatchSink::PatchSink(const ManifestEntry &entry, quint64 patchSize, const QByteArray &patchDigest,
    ConcurrentDigestHasher &hasher)
    : entry(entry)
    , patchSize(patchSize)
    , patchDigest(patchDigest)
    , hasher(hasher)
{ }

PatchSink::~PatchSink()
{
    drop();
}

bool PatchSink::begin(const QString &cachePath, const QString &outputPath,
    const QString &installRoot, const QString &basePath, QString &reason)
{
    if (pathKind(outputPath) != PathKind::Missing && !removeWithoutFollowing(outputPath)) {
        reason = QStringLiteral("its output file cannot be replaced");
        return false;
    }
    target = std::make_unique<CacheFileWriter>(cachePath, outputPath);
    uchar *output = target->open() ? target->map(qint64(entry.size)) : nullptr;
    if (!output) {
        reason = QStringLiteral("no room for its output");
        return false;
    }
    applier = std::make_unique<PatchApplier>();
    if (!applier->begin(installRoot, basePath, output, entry.size)) {
        reason = applier->error();
        return false;
    }
    hasher.reset(entry.signedHashKind);
    digest.reset();
    buffer.resize(PatchReadSize);
    return true;
}

char *PatchSink::nextBuffer(qint64 &capacity)
{
    capacity = PatchReadSize;
    return buffer.data();
}

bool PatchSink::take(qint64 count)
{
    received += count;
    if (quint64(received) > patchSize) {
        tooLong = true;
        return false;
    }
    digest.addData(buffer.constData(), count);
    // what the patch makes is hashed as a download would be, and written back to the disk every
    // so often like one
    return applier->feed(buffer.constData(), count, [this](const uchar *made, qint64 length) {
        while (length > 0) {
            char *block = hasher.nextBlock();
            const qint64 piece = qMin(length, ConcurrentDigestHasher::BlockSize);
            std::memcpy(block, made, size_t(piece));
            hasher.commitBlock(piece);
            made += piece;
            length -= piece;
            notWrittenBack += piece;
        }
        if (notWrittenBack >= WritebackInterval)
            startWriteback();
    });
}

void PatchSink::startWriteback()
{
    notWrittenBack = 0;
    if (!writeFailed && !target->startWriteback())
        writeFailed = true;
}

bool PatchSink::verify(QString &reason)
{
    if (!applier->error().isEmpty())
        reason = QStringLiteral("it is broken: ") + applier->error();
    else if (tooLong || quint64(received) != patchSize)
        reason = QStringLiteral("its size is wrong");
    else if (digest.digestText() != patchDigest)
        reason = QStringLiteral("its digest is wrong");
    else if (!applier->complete())
        reason = QStringLiteral("it ended before the file did");
    if (!reason.isEmpty())
        return false;
    switch (verifyFile(entry, applier->produced(), hasher)) {
    case Verdict::Passed:
        return true;
    case Verdict::WrongSize:
        reason = QStringLiteral("it ended before the file did");
        break;
    case Verdict::WrongDigest:
        reason = QStringLiteral("the file it made fails its digest");
        break;
    case Verdict::WrongSignedHash:
        reason = QStringLiteral("the file it made fails its signed hash");
        break;
    }
    return false;
}

bool PatchSink::commit(QString &reason)
{
    applier.reset(); // the installed copy is no longer read
    if (!writeFailed && target->commit())
        return true;
    reason = QStringLiteral("its output cannot be written: ") + target->errorString();
    return false;
}

void PatchSink::drop()
{
    // the applier first: it writes into the target's mapping
    applier.reset();
    if (target)
        target->discard();
    target.reset();
}
