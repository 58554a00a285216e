#ifndef CACHEFILEWRITER_H
#define CACHEFILEWRITER_H

#include <QFile>
#include <QSaveFile>
#include <QString>

#include <memory>

// The temporary file a download streams into; it replaces the cache file only when committed.
// On Linux the file has no name until then (O_TMPFILE), so a run that is killed leaves nothing
// behind, and committing does not wait for the disk: the worker puts every cached file on the
// disk at once before the first one is installed (flushCacheDirectory). One flush for the whole
// cache instead of one for each file is what makes an update of thousands of small files
// affordable. Elsewhere, and on a file system without unnamed files, QSaveFile does the job and
// flushes at each commit.
//
// A large file is written to a named partial file instead, which outlives a failed, cancelled or
// killed transfer, so that the next one can continue where this one ended.
class CacheFileWriter
{
public:
    // a temporary file, removed unless committed
    explicit CacheFileWriter(const QString &path);
    // the partial file partialPath, kept when not committed
    CacheFileWriter(const QString &path, const QString &partialPath);
    ~CacheFileWriter();
    CacheFileWriter(const CacheFileWriter &) = delete;
    CacheFileWriter &operator=(const CacheFileWriter &) = delete;

    // append: what the partial file holds is kept and written after
    bool open(bool append = false);
    // the size of the partial file when it was opened to append
    qint64 keptSize() const { return kept; }
    // starts the partial file again from nothing
    bool restart();
    bool write(const char *data, qint64 length);
    // The partial file made size bytes long, its space taken on the disk (so that a full disk
    // shows here, not as a fault while writing to the mapping), and mapped for writing; nullptr
    // on failure. The mapping ends at commit or discard.
    uchar *map(qint64 size);
    // starts writing what has been written so far to the disk, without waiting for it
    bool startWriteback();
    // replaces the cache file with what was written
    bool commit();
    // removes the partial file
    void discard();
    // why the last step that failed did: the system's text
    QString errorString() const { return problem; }

private:
    const QString path;
    const QString partialPath;
#ifdef Q_OS_LINUX
    int descriptor = -1;
#endif
    std::unique_ptr<QSaveFile> saveFile;
    std::unique_ptr<QFile> partial;
    uchar *mapped = nullptr;
    qint64 mappedSize = 0;
    qint64 kept = 0;
    QString problem;

    bool unmap();
    bool fail(const QFileDevice &file);
    bool failWithSystemError();
};

// Puts everything written in the cache directory on the disk (Linux: the whole file system at
// once); elsewhere every commit has already done so. False, with the system's text in error,
// when the disk reported an error.
bool flushCacheDirectory(const QString &cacheDir, QString *error = nullptr);

#endif // CACHEFILEWRITER_H
