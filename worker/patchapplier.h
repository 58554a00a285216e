#ifndef PATCHAPPLIER_H
#define PATCHAPPLIER_H

#include <QFile>
#include <QString>

#include <functional>

struct ZSTD_DCtx_s;

// Applies a patch (a zstd frame made with the earlier version of the file as its prefix) as it
// arrives, piece by piece, into the output: the new file, mapped from the cache file it becomes.
//
// The decoder writes straight into that output and reads the earlier version through a mapping
// of the installed file, so neither file is held in memory: the pages are the files' own, which
// the system writes back or drops as it needs. What the decoder holds besides (its tables and at
// most one compressed block) stays below a megabyte whatever the size of the files.
class PatchApplier
{
public:
    PatchApplier();
    ~PatchApplier();
    PatchApplier(const PatchApplier &) = delete;
    PatchApplier &operator=(const PatchApplier &) = delete;

    // basePath: the earlier version, a regular file below root ('/'-separated, reached without a
    // link); output: outputSize bytes that must stay mapped until the applier is destroyed.
    // False, with error(), when it cannot begin.
    bool begin(const QString &root, const QString &basePath, uchar *output, quint64 outputSize);
    // what the patch made next, handed over before its pages may leave memory
    using OutputSink = std::function<void(const uchar *data, qint64 length)>;
    // the next bytes of the patch; false once the patch shows itself broken or would make more
    // than outputSize bytes
    bool feed(const char *data, qint64 length, const OutputSink &sink);
    // the frame ended exactly at the end of the output
    bool complete() const;
    // bytes of the output written so far, from its start
    quint64 produced() const { return written; }

    QString error() const { return problem; }

private:
    void releaseResidentPages();

    QFile base;
    uchar *baseMap = nullptr;
    qint64 baseSize = 0;
    ZSTD_DCtx_s *context = nullptr;
    uchar *output = nullptr;
    quint64 outputSize = 0;
    quint64 written = 0;
    quint64 released = 0; // output made when the pages were last taken out of memory
    bool frameEnded = false;
    QString problem;
};

#endif // PATCHAPPLIER_H
