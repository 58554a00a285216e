#include "concurrentdigesthasher.h"

ConcurrentDigestHasher::ConcurrentDigestHasher(int blockCount)
    : storage(new char[size_t(BlockSize) * size_t(qMax(2, blockCount))])
    , blocks(qMax(2, blockCount))
    , lengths(size_t(blocks))
{ }

ConcurrentDigestHasher::~ConcurrentDigestHasher()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    if (worker.joinable())
        worker.join();
}

char *ConcurrentDigestHasher::nextBlock()
{
    std::unique_lock<std::mutex> lock(mutex);
    // a held first block never fills every slot, so this cannot wait for itself
    changed.wait(lock, [this] { return count < blocks; });
    return storage.get() + qint64((first + count) % blocks) * BlockSize;
}

void ConcurrentDigestHasher::commitBlock(qint64 length)
{
    Q_ASSERT(length >= 0 && length <= BlockSize);
    std::unique_lock<std::mutex> lock(mutex);
    Q_ASSERT(count < blocks);
    lengths[(first + count) % blocks] = length;
    ++count;
    if (freshDigest) {
        freshDigest = false;
        holdingFirst = true;
        return;
    }
    holdingFirst = false;
    if (!worker.joinable())
        worker = std::thread([this] { hashQueuedBlocks(); });
    lock.unlock();
    changed.notify_all();
}

void ConcurrentDigestHasher::hashBlock(const char *block, qint64 length)
{
    if (signedHasher.kind() == SignedHashKind::None)
        md5.addData(block, length);
    else
        signedHasher.addData(block, length);
}

void ConcurrentDigestHasher::hashQueuedBlocks()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return stopping || (count > 0 && !holdingFirst); });
        if (stopping)
            return;
        // the first block stays filled while it is hashed, so nextBlock() never hands it out
        const char *block = storage.get() + qint64(first) * BlockSize;
        const qint64 length = lengths[first];
        lock.unlock();
        hashBlock(block, length);
        lock.lock();
        first = (first + 1) % blocks;
        --count;
        changed.notify_all();
    }
}

void ConcurrentDigestHasher::waitUntilIdle(std::unique_lock<std::mutex> &lock)
{
    changed.wait(lock, [this] { return count == 0 || holdingFirst; });
}

void ConcurrentDigestHasher::finish()
{
    std::unique_lock<std::mutex> lock(mutex);
    waitUntilIdle(lock);
    if (holdingFirst) {
        // the whole input was one block: hashed here, the hasher thread is idle
        const char *block = storage.get() + qint64(first) * BlockSize;
        hashBlock(block, lengths[first]);
        first = (first + 1) % blocks;
        count = 0;
        holdingFirst = false;
    }
}

QByteArray ConcurrentDigestHasher::digestText()
{
    finish();
    return signedHasher.kind() == SignedHashKind::None ? md5.digestText() : QByteArray();
}

QByteArray ConcurrentDigestHasher::signedHashHex()
{
    finish();
    return signedHasher.hexDigest(); // empty for None
}

void ConcurrentDigestHasher::reset(SignedHashKind signedKind)
{
    std::unique_lock<std::mutex> lock(mutex);
    waitUntilIdle(lock);
    if (holdingFirst) {
        first = (first + 1) % blocks;
        count = 0;
        holdingFirst = false;
    }
    md5.reset();
    signedHasher.reset(signedKind);
    freshDigest = true;
}
