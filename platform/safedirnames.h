#ifndef SAFEDIRNAMES_H
#define SAFEDIRNAMES_H

#include <QString>
#include <QStringList>

// the names of a '/'-separated path below a SafeDir's root, none for the root itself
inline QStringList safeDirNames(const QString &relative)
{
    return relative.isEmpty() ? QStringList() : relative.split(QLatin1Char('/'));
}

#endif // SAFEDIRNAMES_H
