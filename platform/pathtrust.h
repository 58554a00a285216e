#ifndef PATHTRUST_H
#define PATHTRUST_H

#include <QString>

// The cache holds what the updater installs with administrator rights, so what lies there is
// looked at without following links, and only what this user alone controls is used again.

enum class PathKind {
    Missing,
    File, // a regular file
    Directory, // a real directory
    Link, // a symbolic link; on Windows also a junction or another name-surrogate reparse point
    Other, // a fifo, a socket, a device
};

// what the path itself is; a link is reported as a link, never as what it points to
PathKind pathKind(const QString &path);

enum class Ownership {
    Private, // owned by this user (on Windows also Administrators, SYSTEM or TrustedInstaller)
             // and writable by nobody else
    OtherOwner,
    OthersMayWrite,
    Unknown, // its owner or permissions could not be read
};

// who owns the file or directory and who else may change it; path must not be a link
Ownership ownership(const QString &path);

// Checks every folder from the root of the file system down to path, as the system resolves it:
// each must be owned by this user, root or an administrator or the system, and no other user may
// remove or rename what it holds: writable by others only when sticky (Unix); on Windows no
// right to delete, to delete a child, or to change its access list or owner for anyone else
// (adding files and folders alone is what a sticky folder allows). A link on the way is followed
// on Unix when its owner passes too (the folder holding it already has), and fails on Windows.
// What does not exist yet ends the walk: only those the checked folders trust may create it.
// Whoever may replace one of them, or what it holds, may put a directory of their own where the
// path was checked. True with the path as the system resolves it, without links, in resolved:
// the folders that were checked. Otherwise error names the first folder that fails and why (a
// link or junction among them on Windows, another owner, others who may write, or an owner or
// permissions that could not be read).
bool checkFolders(const QString &path, QString &resolved, QString &error);

// Removes a file, a link or a directory with everything below it. A link is removed as a link,
// wherever it is met: nothing is ever removed through one.
bool removeWithoutFollowing(const QString &path);

// Creates the directory (its parent must exist) so that only this user may use it: mode 0700 on
// Unix; on Windows an access list, not inherited, that grants the user, Administrators and
// SYSTEM alone.
bool createPrivateDirectory(const QString &path);

#endif // PATHTRUST_H
