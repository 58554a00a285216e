#ifndef WHOLEFILESINK_H
#define WHOLEFILESINK_H

#include "bodysink.h"
#include "digest.h"

#include <QString>

#include <memory>

class CacheFileWriter;
class ConcurrentDigestHasher;

// The body of a whole file: hashed as it arrives and written to the temporary file (or a large
// file's partial file) that replaces the cache file once committed.
class WholeFileSink : public BodySink
{
public:
    // size: what the file may hold; the hasher starts a new digest (the signed hash of that
    // kind, or the digest text for None)
    WholeFileSink(const QString &cachePath, quint64 size, SignedHashKind signedKind,
        ConcurrentDigestHasher &hasher);
    ~WholeFileSink() override;

    // a temporary file, removed unless committed
    void open();
    // the partial file, kept when not committed; append: what it holds stays, and counts as
    // received; false when it cannot be opened
    bool openPartial(const QString &partialPath, bool append);
    // the size of the partial file when it was opened to append
    qint64 keptSize() const;
    // what is kept was hashed again: it counts as received
    void setReceived(qint64 bytes) { received = bytes; }
    // the file from its first byte again, a new digest
    void restart();

    char *nextBuffer(qint64 &capacity) override;
    bool take(qint64 count) override;

    // bytes of the file so far, kept bytes included
    qint64 size() const { return received; }
    // more arrived than the file holds
    bool oversized() const { return tooLong; }
    // replaces the cache file; false with the system's reason
    bool commit(QString &error);
    // the temporary file removed, a partial file too
    void discard();
    // the writer closed: an uncommitted temporary file is removed, a partial file kept
    void close();

private:
    void startWriteback();

    const QString cachePath;
    const quint64 expectedSize;
    const SignedHashKind signedKind;
    ConcurrentDigestHasher &hasher;
    std::unique_ptr<CacheFileWriter> target;
    char *block = nullptr; // the hasher's, being filled
    qint64 received = 0;
    qint64 notWrittenBack = 0; // bytes written since the last writeback started
    bool tooLong = false;
    bool writeFailed = false;
};

#endif // WHOLEFILESINK_H
