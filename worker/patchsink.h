#ifndef PATCHSINK_H
#define PATCHSINK_H

#include "bodysink.h"
#include "digest.h"
#include "manifest.h"

#include <QByteArray>
#include <QString>

#include <memory>

class CacheFileWriter;
class ConcurrentDigestHasher;
class PatchApplier;

// The body of a patch: applied to the installed copy as it arrives, straight into the new file,
// which is hashed as a download would be. The new file is made in a named file of the private
// partial folder, mapped: the decoder refers back to what it made, so the output cannot be
// streamed out as it is written.
class PatchSink : public BodySink
{
public:
    // entry: the file the patch makes; patchSize and patchDigest: the patch's own
    PatchSink(const ManifestEntry &entry, quint64 patchSize, const QByteArray &patchDigest,
        ConcurrentDigestHasher &hasher);
    ~PatchSink() override;

    // the output file at outputPath, mapped, and the applier reading basePath below
    // installRoot; false with the reason the patch cannot be used
    bool begin(const QString &cachePath, const QString &outputPath, const QString &installRoot,
        const QString &basePath, QString &reason);

    char *nextBuffer(qint64 &capacity) override;
    bool take(qint64 count) override;

    // once the body ended: the patch is whole and made the file; false with the reason
    bool verify(QString &reason);
    // replaces the cache file with what the patch made; false with the reason
    bool commit(QString &reason);
    // the applier ended and the output removed, of no use to a later transfer
    void drop();

private:
    void startWriteback();

    const ManifestEntry entry;
    const quint64 patchSize;
    const QByteArray patchDigest;
    ConcurrentDigestHasher &hasher;
    // the applier writes into the target's mapping: destroyed first
    std::unique_ptr<CacheFileWriter> target;
    std::unique_ptr<PatchApplier> applier;
    DigestHasher digest; // of the patch
    QByteArray buffer;
    qint64 received = 0; // of the patch
    qint64 notWrittenBack = 0; // bytes made since the last writeback started
    bool tooLong = false;
    bool writeFailed = false;
};

#endif // PATCHSINK_H
