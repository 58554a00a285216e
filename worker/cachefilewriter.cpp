#include "cachefilewriter.h"

#include "safedir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#endif
#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

CacheFileWriter::CacheFileWriter(const QString &path)
    : path(path)
{ }

CacheFileWriter::CacheFileWriter(const QString &path, const QString &partialPath)
    : path(path)
    , partialPath(partialPath)
{ }

bool CacheFileWriter::fail(const QFileDevice &file)
{
    problem = file.errorString();
    return false;
}

bool CacheFileWriter::failWithSystemError()
{
#ifdef Q_OS_WIN
    problem = systemErrorText(int(::GetLastError()));
#else
    problem = systemErrorText(errno);
#endif
    return false;
}

CacheFileWriter::~CacheFileWriter()
{
#ifdef Q_OS_LINUX
    if (descriptor >= 0)
        ::close(descriptor); // an unnamed file disappears with its descriptor
#endif
}

bool CacheFileWriter::open(bool append)
{
    if (!partialPath.isEmpty()) {
        partial = std::make_unique<QFile>(partialPath);
        // readable too: a mapping for writing needs it
        if (!partial->open(append ? QIODevice::ReadWrite | QIODevice::Append
                                  : QIODevice::ReadWrite | QIODevice::Truncate))
            return fail(*partial);
        kept = append ? partial->size() : 0;
        return true;
    }
#ifdef Q_OS_LINUX
    // an unnamed file is named through /proc when it is committed
    static const bool haveProc = ::access("/proc/self/fd", F_OK) == 0;
    if (haveProc) {
        const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
        descriptor = ::open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (descriptor >= 0)
            return true;
    }
#endif
    saveFile = std::make_unique<QSaveFile>(path);
    return saveFile->open(QIODevice::WriteOnly) || fail(*saveFile);
}

bool CacheFileWriter::restart()
{
    kept = 0;
    return partial && ((partial->resize(0) && partial->seek(0)) || fail(*partial));
}

uchar *CacheFileWriter::map(qint64 size)
{
    if (!partial || mapped || size <= 0)
        return nullptr;
#ifdef Q_OS_LINUX
    // the blocks are taken now: writing to a mapping of a file the disk has no room for would
    // end the process with a bus error
    const int error = ::posix_fallocate(partial->handle(), 0, size);
    if (error != 0) {
        problem = systemErrorText(error);
        return nullptr;
    }
#endif
    if (!partial->resize(size)) {
        fail(*partial);
        return nullptr;
    }
    mapped = partial->map(0, size);
    mappedSize = mapped ? size : 0;
    if (!mapped)
        fail(*partial);
    return mapped;
}

bool CacheFileWriter::unmap()
{
    if (!mapped)
        return true;
#ifdef Q_OS_WIN
    // what was written through the mapping goes to the file before the file itself is flushed
    const bool flushed = ::FlushViewOfFile(mapped, 0) || failWithSystemError();
#else
    const bool flushed = true;
#endif
    const bool unmapped = partial->unmap(mapped) || fail(*partial);
    mapped = nullptr;
    return flushed && unmapped;
}

void CacheFileWriter::discard()
{
    if (!partial)
        return;
    unmap();
    partial->close();
    partial->remove();
    partial.reset();
}

bool CacheFileWriter::write(const char *data, qint64 length)
{
    if (partial)
        return partial->write(data, length) == length || fail(*partial);
    if (saveFile)
        return saveFile->write(data, length) == length || fail(*saveFile);
#ifdef Q_OS_LINUX
    while (length > 0) {
        const ssize_t written = ::write(descriptor, data, size_t(length));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return failWithSystemError();
        }
        data += written;
        length -= written;
    }
    return true;
#else
    return false;
#endif
}

bool CacheFileWriter::startWriteback()
{
    QFileDevice *file = partial ? static_cast<QFileDevice *>(partial.get()) : saveFile.get();
    if (file && !file->flush())
        return fail(*file);
#ifdef Q_OS_LINUX
    // a failure shows again where it matters, when the file is committed or flushed
    ::sync_file_range(file ? file->handle() : descriptor, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    return true;
}

bool CacheFileWriter::commit()
{
    if (partial) {
        if (!unmap())
            return false;
        if (!partial->flush())
            return fail(*partial);
#ifdef Q_OS_WIN
        // nothing flushes the cache at once later on here: each file is on the disk when named
        if (!::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(partial->handle()))))
            return failWithSystemError();
#endif
        partial->close();
        if (partial->error() != QFileDevice::NoError)
            return fail(*partial);
        partial.reset();
#ifdef Q_OS_WIN
        const QString from = QDir::toNativeSeparators(partialPath);
        const QString to = QDir::toNativeSeparators(path);
        return ::MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                   reinterpret_cast<const wchar_t *>(to.utf16()), MOVEFILE_REPLACE_EXISTING)
            || failWithSystemError();
#else
        return std::rename(
                   QFile::encodeName(partialPath).constData(), QFile::encodeName(path).constData())
            == 0
            || failWithSystemError();
#endif
    }
    if (saveFile)
        return saveFile->commit() || fail(*saveFile);
#ifdef Q_OS_LINUX
    // gives the unnamed file its name; a stale cache file of that name makes way first
    const QByteArray name = QFile::encodeName(path);
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(descriptor);
    const auto link = [&] {
        return ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW)
            == 0;
    };
    bool linked = link();
    if (!linked && errno == EEXIST && ::unlink(name.constData()) == 0)
        linked = link();
    if (!linked)
        failWithSystemError();
    const bool closed = ::close(descriptor) == 0 || failWithSystemError();
    descriptor = -1;
    return linked && closed;
#else
    return false;
#endif
}

bool flushCacheDirectory(const QString &cacheDir, QString *error)
{
#ifdef Q_OS_LINUX
    // what CacheFileWriter committed without waiting for the disk, and whatever an earlier run
    // left in the cache, is on the disk before the installation changes
    const int dir
        = ::open(QFile::encodeName(cacheDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        ::sync();
        return true;
    }
    const bool flushed = ::syncfs(dir) == 0;
    if (!flushed && error)
        *error = systemErrorText(errno);
    ::close(dir);
    return flushed;
#else
    Q_UNUSED(cacheDir)
    Q_UNUSED(error)
    return true; // QSaveFile flushed every file as it was committed
#endif
}
