#ifndef WRITEACCESS_H
#define WRITEACCESS_H

#include <QString>

// Whether this process may create files in the directory. The permission bits, access lists and
// access() tell only part of it (an immutable directory, a read-only mount, root's exemptions):
// a file is created there, never through a link, and removed again at once. On Linux it has no
// name at all where the file system allows (O_TMPFILE), so a run killed meanwhile leaves nothing.
bool mayCreateFilesIn(const QString &dir);

// Whether this process already holds all the rights it could ask for: root on Unix, an elevated
// token on Windows.
bool holdsAdministratorRights();

#endif // WRITEACCESS_H
