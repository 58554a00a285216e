#ifndef INSTALLER_H
#define INSTALLER_H

#include "manifest.h"
#include "updaterecord.h"

class SafeDir;

#include <QDir>
#include <QList>
#include <QString>

// Moves verified cache files into the installation, all or nothing: each file it replaces is set
// aside as NAME.old first, and a failure at any entry puts back everything this run changed, in
// reverse (files back to the cache, set-aside files back, created directories removed).
//
// Nothing is renamed, created or removed through a link: each directory of an entry, in the
// installation and in the cache, is reached without following one (SafeDir), and a link where a
// directory of the release belongs fails the installation.
//
// A file that another process holds for a moment (a virus scanner reading a fresh file, the
// host still closing) cannot be renamed on Windows: such a rename is tried again, with a growing
// pause, until lockedFileWait has passed.
class Installer
{
public:
    // lockedFileWait: milliseconds a rename waits for a file another process holds
    Installer(const QDir &cacheDir, const QDir &installRoot, int lockedFileWait);

    // the record of what install() replaces and adds, kept in the cache before the first file
    // is swapped (its files are filled in then), so that a rollback can undo it
    void setUpdateRecord(const UpdateRecord &record) { undoRecord = record; }

    // true when every entry is installed; otherwise nothing is, and failedPath and errorMessage
    // say where and why
    bool install(const QList<ManifestEntry> &entries);
    QString failedPath() const { return failed; }
    QString errorMessage() const { return message; }

private:
    struct InstalledFile
    {
        QString dir; // the entry's directory, relative to both roots; empty for a root file
        QString name;
        bool setAside = false; // the installed file was renamed to NAME.old
        int createdDepth = -1; // depth in dir of the topmost directory created for it
    };

    // false with the message for the user in error; the log says why
    bool keepUpdateRecord(const QList<ManifestEntry> &entries, QString &error);
    bool installFile(const ManifestEntry &entry, InstalledFile &file, QString &error) const;
    bool rename(SafeDir &fromDir, const QString &from, SafeDir &toDir, const QString &to,
        bool mayCopy) const;
    void undo(const InstalledFile &file, bool moved) const;

    QDir cacheDir;
    QDir installRoot;
    const int lockedFileWait;
    QString failed;
    QString message;
    std::optional<UpdateRecord> undoRecord;
};

// A plain rename (SafeDir::rename) tried again, with a growing pause, while another process
// holds the file, until lockedFileWait milliseconds have passed.
bool renameHeldFile(
    SafeDir &fromDir, const QString &from, SafeDir &toDir, const QString &to, int lockedFileWait);
// the SHA-256 (lower-case hex) of the regular file name in dir, read without following a link;
// empty when it cannot be read
QByteArray fileSha256(SafeDir &dir, const QString &name);

#endif // INSTALLER_H
