#include "digest.h"

#include <QFile>
#include <QtEndian>

#include <cstdio>

namespace {
// large enough to keep the hash busy between reads, small enough to keep memory flat
constexpr qint64 ReadChunkSize = 1024 * 1024;
}

void DigestHasher::addData(const char *data, qint64 length)
{
    // QCryptographicHash takes an int length in Qt 5: feed very large blocks in pieces
    while (length > 0) {
        const int piece = int(qMin<qint64>(length, 1 << 30));
        hash.addData(data, piece);
        data += piece;
        length -= piece;
    }
}

bool DigestHasher::addData(QIODevice *device)
{
    QByteArray buffer(int(ReadChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 count = device->read(buffer.data(), buffer.size());
        if (count < 0)
            return false;
        if (count == 0)
            return device->atEnd();
        addData(buffer.constData(), count);
    }
}

QByteArray DigestHasher::digestText() const
{
    return digestTextFromMd5(hash.result());
}

QByteArray digestTextFromMd5(const QByteArray &md5)
{
    Q_ASSERT(md5.size() == 16);
    const auto *bytes = reinterpret_cast<const uchar *>(md5.constData());
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", qFromLittleEndian<quint32>(bytes),
                  qFromLittleEndian<quint32>(bytes + 4), qFromLittleEndian<quint32>(bytes + 8),
                  qFromLittleEndian<quint32>(bytes + 12));
    return QByteArray(text, 32);
}

ConcurrentDigestHasher::ConcurrentDigestHasher()
    : storage(new char[size_t(BlockSize) * BlockCount])
{
}

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
    changed.wait(lock, [this] { return count < BlockCount; });
    return storage.get() + qint64((first + count) % BlockCount) * BlockSize;
}

void ConcurrentDigestHasher::commitBlock(qint64 length)
{
    Q_ASSERT(length >= 0 && length <= BlockSize);
    std::unique_lock<std::mutex> lock(mutex);
    Q_ASSERT(count < BlockCount);
    lengths[(first + count) % BlockCount] = length;
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

void ConcurrentDigestHasher::hashQueuedBlocks()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return stopping || (count > 0 && !holdingFirst); });
        if (stopping)
            return;
        const char *block = storage.get() + qint64(first) * BlockSize;
        const qint64 length = lengths[first];
        lock.unlock();
        hasher.addData(block, length);
        lock.lock();
        first = (first + 1) % BlockCount;
        --count;
        changed.notify_all();
    }
}

void ConcurrentDigestHasher::waitUntilIdle(std::unique_lock<std::mutex> &lock)
{
    changed.wait(lock, [this] { return count == 0 || holdingFirst; });
}

QByteArray ConcurrentDigestHasher::digestText()
{
    std::unique_lock<std::mutex> lock(mutex);
    waitUntilIdle(lock);
    if (holdingFirst) {
        // the whole input was one block: hashed here, the hasher thread is idle
        hasher.addData(storage.get() + qint64(first) * BlockSize, lengths[first]);
        first = (first + 1) % BlockCount;
        count = 0;
        holdingFirst = false;
    }
    return hasher.digestText();
}

void ConcurrentDigestHasher::reset()
{
    std::unique_lock<std::mutex> lock(mutex);
    waitUntilIdle(lock);
    if (holdingFirst) {
        first = (first + 1) % BlockCount;
        count = 0;
        holdingFirst = false;
    }
    hasher.reset();
    freshDigest = true;
}

QByteArray digestText(QByteArray data)
{
    DigestHasher hasher;
    hasher.addData(data);
    return hasher.digestText();
}

QByteArray fileDigestText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    DigestHasher hasher;
    if (!hasher.addData(&file))
        return QByteArray();
    return hasher.digestText();
}

bool verifyFileDigest(QString path, QByteArray expectedDigest)
{
    const QByteArray actual = fileDigestText(path);
    return !actual.isEmpty() && actual == expectedDigest;
}
