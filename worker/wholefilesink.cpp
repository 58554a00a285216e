#include "wholefilesink.h"

#include "cachefilewriter.h"
#include "concurrentdigesthasher.h"

namespace {
// Every cached file is on the disk before anything is installed. Writing back what has arrived
// every so often, while the rest is still on its way, leaves that wait only the last piece of a
// large file instead of all of it.
constexpr qint64 WritebackInterval = 8 * 1024 * 1024;
} // namespace

WholeFileSink::WholeFileSink(const QString &cachePath, quint64 size, SignedHashKind signedKind,
    ConcurrentDigestHasher &hasher)
    : cachePath(cachePath)
    , expectedSize(size)
    , signedKind(signedKind)
    , hasher(hasher)
{
    hasher.reset(signedKind);
}

WholeFileSink::~WholeFileSink() = default;

void WholeFileSink::open()
{
    target = std::make_unique<CacheFileWriter>(cachePath);
    writeFailed = !target->open();
}

bool WholeFileSink::openPartial(const QString &partialPath, bool append)
{
    target = std::make_unique<CacheFileWriter>(cachePath, partialPath);
    return target->open(append);
}

qint64 WholeFileSink::keptSize() const
{
    return target->keptSize();
}

void WholeFileSink::restart()
{
    received = 0;
    notWrittenBack = 0;
    hasher.reset(signedKind);
    if (!target->restart())
        writeFailed = true;
}

char *WholeFileSink::nextBuffer(qint64 &capacity)
{
    capacity = ConcurrentDigestHasher::BlockSize;
    block = hasher.nextBlock();
    return block;
}

bool WholeFileSink::take(qint64 count)
{
    received += count;
    if (quint64(received) > expectedSize) {
        // a broken or hostile server can fill neither the disk nor the memory
        tooLong = true;
        return false;
    }
    // the block is hashed on the hasher's thread while this one writes it
    hasher.commitBlock(count);
    if (!writeFailed && !target->write(block, count))
        writeFailed = true;
    notWrittenBack += count;
    if (notWrittenBack >= WritebackInterval)
        startWriteback();
    return true;
}

void WholeFileSink::startWriteback()
{
    notWrittenBack = 0;
    if (!writeFailed && !target->startWriteback())
        writeFailed = true;
}

bool WholeFileSink::commit(QString &error)
{
    if (!writeFailed && target->commit())
        return true;
    error = target->errorString();
    return false;
}

void WholeFileSink::discard()
{
    if (target)
        target->discard();
    target.reset();
}

void WholeFileSink::close()
{
    target.reset();
}
