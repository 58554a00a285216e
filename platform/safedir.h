#ifndef SAFEDIR_H
#define SAFEDIR_H

#include <QString>

#include <vector>

class QFile;

// A directory below a root, opened without following links. The installation may belong to a
// user without administrator rights, who may put a link, a junction or another name surrogate
// anywhere below its root: the updater must never rename, write, remove or read through one.
//
// The directory is reached one name at a time, each opened without following a link and
// checked through what was opened, not through its name, so that nothing can be swapped in
// between a check and its use. On Unix every operation then works relative to the descriptor of
// the directory. On Windows each directory on the way stays open, without letting anyone rename
// or remove it, for as long as this object lives: the wide API's paths then name exactly the
// directories that were checked.
//
// The root itself is taken as configured, links in it and all.
class SafeDir
{
public:
    enum class Status {
        Open,
        Missing, // a directory on the way does not exist
        Link, // a link, junction or other name surrogate stands on the way
        NotDirectory, // a file or something else stands on the way
        Failed, // the system refused; errorString() says why
    };

    SafeDir() = default;
    ~SafeDir();
    SafeDir(const SafeDir &) = delete;
    SafeDir &operator=(const SafeDir &) = delete;

    // relativeDir: names separated by '/', empty for the root itself; create makes the missing
    // directories
    Status open(const QString &root, const QString &relativeDir, bool create = false);
    void close();
    bool isOpen() const;

    // root/relativeDir
    QString path() const { return dirPath; }
    // where open stopped: the link, the file or the directory that is missing or failed
    QString stoppedAt() const { return stopped; }
    // the depth in relativeDir of the topmost directory open created (0: its first name), -1
    // when it created none
    int createdDepth() const { return createdAt; }
    // the system's text and code for the last failure
    QString errorString() const;
    int systemError() const { return lastError; }

    // Operations on a name in this directory; name holds no separator. None follows a link in
    // the name itself: a link there is renamed or removed as a link.
    bool exists(const QString &name);
    // a file or a link; never a directory. True when it is gone.
    bool removeFile(const QString &name);
    // a plain rename, never a copy; on Windows it never replaces an existing file
    bool rename(const QString &from, SafeDir &targetDir, const QString &to);
    // a move to another volume: a copy made as a new file (never written through a link) and the
    // source removed; what was copied is removed again on failure
    bool moveAcrossVolumes(const QString &from, SafeDir &targetDir, const QString &to);
    // the permission bits (Unix) of the regular file from give the regular file to in targetDir;
    // true when from is no regular file (nothing to take) or on Windows
    bool takePermissions(const QString &from, SafeDir &targetDir, const QString &to);
    // opens the regular file name for reading; false for a link, a directory or anything else
    bool openFile(const QString &name, QFile &file);
    // removes the empty directory name
    bool removeDir(const QString &name);

    // root/relativePath opened for reading only when it is a regular file reached without a
    // link; relativePath names a file below root with '/' separators
    static bool openBelow(
        const QString &root, const QString &relativePath, QFile &file, QString *why = nullptr);
    // removes the empty directories of relativeDir below root from the deepest up to the one
    // at depth from (0: relativeDir's first name), each reached without a link
    static void removeEmptyDirs(const QString &root, const QString &relativeDir, int from);

private:
    bool fail();
    QString nativeName(const QString &name) const;

    QString dirPath;
    QString stopped;
    int createdAt = -1;
    int lastError = 0;
#ifdef Q_OS_WIN
    std::vector<void *> handles; // the root and every directory below it, in order
#else
    int descriptor = -1;
#endif
};

// the system's text for an error code (errno on Unix, GetLastError() on Windows)
QString systemErrorText(int code);

#endif // SAFEDIR_H
