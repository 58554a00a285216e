#ifndef INSTALLER_H
#define INSTALLER_H

#include "net/manifest.h"

#include <QDir>
#include <QList>
#include <QString>

// Moves verified cache files into the installation, all or nothing: each file it replaces is set
// aside as NAME.old first, and a failure at any entry puts back everything this run changed, in
// reverse (files back to the cache, set-aside files back, created directories removed).
//
// A file that another process holds for a moment (a virus scanner reading a fresh file, the
// host still closing) cannot be renamed on Windows: such a rename is tried again, with a growing
// pause, until lockedFileWait has passed.
class Installer
{
public:
    Installer(const QDir &cacheDir, const QDir &installRoot);

    void setLockedFileWait(int milliseconds) { lockedFileWait = milliseconds; }
    static int defaultLockedFileWait();

    // true when every entry is installed; otherwise nothing is, and failedPath and errorMessage
    // say where and why
    bool install(const QList<ManifestEntry> &entries);
    QString failedPath() const { return failed; }
    QString errorMessage() const { return message; }

private:
    struct InstalledFile
    {
        QString destination;
        QString cacheFile;
        QString setAside; // empty when nothing was set aside
        QString createdDir; // topmost directory created for it, empty when none
    };

    bool rename(const QString &from, const QString &to, bool mayCopy) const;
    void undo(const InstalledFile &file, bool moved) const;

    QDir cacheDir;
    QDir installRoot;
    int lockedFileWait = defaultLockedFileWait();
    QString failed;
    QString message;
};

#endif // INSTALLER_H
