#ifndef PUBLISHRULES_H
#define PUBLISHRULES_H

#include <QDir>
#include <QString>

// Why a "/"-separated path below the release cannot be published, or an empty string when it
// can. The path must survive md5.txt (TAB separated, one line per file, written in UTF-8), the
// updater's own path checks, and Windows, where most clients install.
QString releasePathProblem(const QString &path);

// Why a path would land in the updater's default cache ("update" beside an updater in the
// installation root or in "bin", letter case ignored), or an empty string: the updater installs
// nothing there.
QString defaultCacheProblem(const QString &path);

// Why a name cannot serve as the folder of a version, or an empty string when it can. The
// updater pastes the folder into URLs unescaped, so only characters that need no escaping pass.
QString folderNameProblem(const QString &folder);

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
