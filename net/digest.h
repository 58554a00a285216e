#ifndef DIGEST_H
#define DIGEST_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <sodium.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class QIODevice;

// The digest text of content: the MD5 digest read as four little-endian 32-bit words, each
// printed as eight lower-case hex digits. It is not the customary MD5 hex order.
class DigestHasher
{
public:
    void addData(const char *data, qint64 length);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // feeds everything the device yields from its current position; false on a read error
    bool addData(QIODevice *device);
    QByteArray digestText() const;
    void reset() { hash.reset(); }

private:
    QCryptographicHash hash{QCryptographicHash::Md5};
};

// SHA-256 of a stream, as lower-case hex: what a signed release states for every file.
// libsodium's, about twice as fast as Qt's here.
class Sha256Hasher
{
public:
    Sha256Hasher();
    void addData(const char *data, qint64 length);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // the digest of everything added so far; more may be added afterwards
    QByteArray hexDigest() const;
    void reset();

private:
    crypto_hash_sha256_state state;
};

// The same digest text, and for a signed release the SHA-256 too, computed on threads of their
// own while the caller receives and stores the next block. A download does three things with
// every byte (receive, write, hash); with hashing beside the other two instead of after them, the
// hash alone bounds its speed on a machine with a second core, and each digest has its own
// thread, so the slower one (SHA-256) bounds it, not the sum of both. The caller fills blocks
// that the hasher owns, so nothing is copied, and memory stays at BlockCount blocks however fast
// the input arrives. An input of a single block is hashed on the caller's thread, so that small
// files pay for no hand-over. One thread fills and asks; the hasher's own threads only hash.
// (Reading a file from the page cache costs too little beside the hash for a second thread to
// gain anything there: files are hashed by fileDigestText.)
class ConcurrentDigestHasher
{
public:
    static constexpr qint64 BlockSize = 256 * 1024;

    ConcurrentDigestHasher();
    ~ConcurrentDigestHasher();
    ConcurrentDigestHasher(const ConcurrentDigestHasher &) = delete;
    ConcurrentDigestHasher &operator=(const ConcurrentDigestHasher &) = delete;

    // a block of BlockSize bytes to fill; waits while every block is still queued. Asking again
    // before commitBlock() returns the same block.
    char *nextBlock();
    // queues the first length bytes of the block nextBlock() returned; the block may still be
    // read (not written) until the next call to nextBlock()
    void commitBlock(qint64 length);
    // wait until everything queued is hashed
    QByteArray digestText();
    QByteArray sha256Hex(); // empty unless the digest was started with withSha256
    // starts a new digest
    void reset(bool withSha256 = false);

private:
    static constexpr int BlockCount = 32;
    enum Lane { Md5Lane, Sha256Lane, LaneCount };

    void hashQueuedBlocks(int lane);
    void hashBlock(int lane, const char *block, qint64 length);
    void waitUntilIdle(std::unique_lock<std::mutex> &lock);
    void finish();

    std::unique_ptr<char[]> storage;
    qint64 lengths[BlockCount] = {};
    // blocks first .. first + count - 1 (modulo BlockCount) are filled, in the order of input;
    // a block is free again once every lane in use has hashed it
    int first = 0;
    int count = 0;
    int hashed[LaneCount] = {}; // of the filled blocks, how many each lane has hashed
    bool sha256 = false;
    // the first block of a digest waits on the caller's side until a second one follows
    bool holdingFirst = false;
    bool freshDigest = true;
    bool stopping = false;
    // each lane's hasher belongs to its thread while blocks are queued, to the caller otherwise
    DigestHasher md5;
    Sha256Hasher sha256Hasher;
    std::mutex mutex;
    std::condition_variable changed;
    std::thread workers[LaneCount]; // each started with the first block handed to its lane
};

QByteArray digestText(QByteArray data);
// the digest text of a raw 16-byte MD5 digest
QByteArray digestTextFromMd5(const QByteArray &md5);
// reads the file in chunks; an empty result means it could not be opened or read
QByteArray fileDigestText(const QString &path);
bool verifyFileDigest(QString path, QByteArray expectedDigest);
// both in one read: the digest text, and the SHA-256 unless expectedSha256 is empty
bool verifyFileDigests(const QString &path, const QByteArray &expectedDigest,
                       const QByteArray &expectedSha256);

#endif // DIGEST_H
