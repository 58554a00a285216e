#ifndef PUBLISHRULES_H
#define PUBLISHRULES_H

#include <QDir>
#include <QString>

// Whether a "/"-separated path below the release can be published; false with why not in error.
// The path must survive md5.txt (TAB separated, one line per file, written in UTF-8), the
// updater's own path checks, and Windows, where most clients install.
bool checkReleasePath(const QString &path, QString &error);

// Whether a path stays out of the updater's default cache ("update" beside an updater in the
// installation root or in "bin", letter case ignored), where the updater installs nothing; false
// with where it would land in error.
bool checkOutsideDefaultCache(const QString &path, QString &error);

// Whether a name can serve as the folder of a version; false with why not in error. The updater
// pastes the folder into URLs unescaped, so only characters that need no escaping pass.
bool checkFolderName(const QString &folder, QString &error);

// the path as it can be shown in a message: tabs, line breaks and other control characters
// written as escapes, so a refused name is visible at all
QString printablePath(const QString &path);

// the path with the system's separators, as messages show it
QString nativePath(const QString &path);

// Absolute and canonical, also for a path that does not exist yet: its nearest existing
// ancestor is resolved and the rest appended.
QString resolvedPath(const QString &path);

// true when both name the same directory or path lies below directory; both resolved
bool isSameOrInside(const QString &path, const QString &directory);

// every entry of a directory, hidden and system ones included, as a release is published
const QDir::Filters EveryEntry
    = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

#endif // PUBLISHRULES_H
