#ifndef DIRECTORYLOCK_H
#define DIRECTORYLOCK_H

#include <QString>

// Makes a directory's entries impossible to create, rename or delete (locked) or possible again:
// the immutable flag where the file system has one, which stops root as well, or permissions
// otherwise. False when nothing could lock it (root on a file system without the flag).
bool lockDirectory(const QString &path, bool locked);

#endif // DIRECTORYLOCK_H
