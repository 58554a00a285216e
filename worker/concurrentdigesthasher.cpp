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
    for (std::thread &worker : workers) {
        if (worker.joinable())
            worker.join();
    }
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
    const int lane = activeLane;
    if (!workers[lane].joinable())
        workers[lane] = std::thread([this, lane] { hashQueuedBlocks(lane); });
    lock.unlock();
    changed.notify_all();
}

void ConcurrentDigestHasher::hashBlock(int lane, const char *block, qint64 length)
{
    if (lane == Md5Lane)
        md5.addData(block, length);
    else
        signedHasher.addData(block, length);
}

void ConcurrentDigestHasher::hashQueuedBlocks(int lane)
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this, lane] {
            return stopping || (lane == activeLane && hashed[lane] < count && !holdingFirst);
        });
        if (stopping)
            return;
        const int index = (first + hashed[lane]) % blocks;
        const char *block = storage.get() + qint64(index) * BlockSize;
        const qint64 length = lengths[index];
        lock.unlock();
        hashBlock(lane, block, length);
        lock.lock();
        ++hashed[lane];
        // the first block is free once the lane is past it
        while (count > 0 && hashed[lane] > 0) {
            first = (first + 1) % blocks;
            --count;
            --hashed[lane];
        }
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
        // the whole input was one block: hashed here, the hasher threads are idle
        const char *block = storage.get() + qint64(first) * BlockSize;
        hashBlock(activeLane, block, lengths[first]);
        first = (first + 1) % blocks;
        count = 0;
        holdingFirst = false;
    }
}

QByteArray ConcurrentDigestHasher::digestText()
{
    finish();
    return activeLane == Md5Lane ? md5.digestText() : QByteArray();
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
    hashed[Md5Lane] = hashed[SignedLane] = 0;
    md5.reset();
    signedHasher.reset(signedKind);
    activeLane = signedKind == SignedHashKind::None ? Md5Lane : SignedLane;
    freshDigest = true;
}
