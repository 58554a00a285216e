#ifndef CONCURRENTDIGESTHASHER_H
#define CONCURRENTDIGESTHASHER_H

#include "digest.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The digest text of an unsigned release's file, or the signed hash (SHA-256 or BLAKE2b) of a
// signed release's, computed on a thread of its own while the caller receives and stores the
// next block. A download does three things with every byte (receive, write, hash); with hashing
// beside the other two instead of after them, the hash alone bounds its speed on a machine with
// a second core. A digest computes the one hash it needs: a file whose signed hash matches is the
// published file, so its digest text would add a third busy thread on two cores and nothing
// else. The caller fills blocks
// that the hasher owns, so nothing is copied, and memory stays at that many blocks however fast
// the input arrives. An input of a single block is hashed on the caller's thread, so that small
// files pay for no hand-over. One thread fills and asks; the hasher's own thread only hashes.
// (Reading a file from the page cache costs too little beside the hash for a second thread to
// gain anything there: files are hashed by fileDigestText.)
class ConcurrentDigestHasher
{
public:
    static constexpr qint64 BlockSize = 256 * 1024;

    // blockCount blocks of BlockSize bytes bound the memory: 32 (8 MiB) for one transfer at a
    // time, fewer each when several run at once
    explicit ConcurrentDigestHasher(int blockCount = 32);
    ~ConcurrentDigestHasher();
    ConcurrentDigestHasher(const ConcurrentDigestHasher &) = delete;
    ConcurrentDigestHasher &operator=(const ConcurrentDigestHasher &) = delete;

    // a block of BlockSize bytes to fill; waits while every block is still queued. Asking again
    // before commitBlock() returns the same block.
    char *nextBlock();
    // queues the first length bytes of the block nextBlock() returned; the block may still be
    // read (not written) until the next call to nextBlock()
    void commitBlock(qint64 length);
    // wait until everything queued is hashed; empty unless the digest computes it
    QByteArray digestText();
    QByteArray signedHashHex();
    // starts a new digest: the digest text for None, else the signed hash of that kind alone
    void reset(SignedHashKind signedKind = SignedHashKind::None);

private:
    void hashQueuedBlocks();
    void hashBlock(const char *block, qint64 length);
    void waitUntilIdle(std::unique_lock<std::mutex> &lock);
    void finish();

    std::unique_ptr<char[]> storage;
    const int blocks;
    std::vector<qint64> lengths;
    // blocks first .. first + count - 1 (modulo blocks) are filled, in the order of input;
    // a block is free again once it is hashed
    int first = 0;
    int count = 0;
    // the first block of a digest waits on the caller's side until a second one follows
    bool holdingFirst = false;
    bool freshDigest = true;
    bool stopping = false;
    // the hashers belong to the thread while blocks are queued, to the caller otherwise; the
    // signed hasher's kind says which one is in use (None: the digest text)
    DigestHasher md5;
    SignedHasher signedHasher {SignedHashKind::None};
    std::mutex mutex;
    std::condition_variable changed;
    std::thread worker; // started with the first block handed over
};

#endif // CONCURRENTDIGESTHASHER_H
