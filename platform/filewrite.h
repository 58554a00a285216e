#ifndef FILEWRITE_H
#define FILEWRITE_H

#include <QByteArray>
#include <QString>

// Replaces the file with the bytes in one step (a link there is replaced, never written
// through): a reader finds the old content or the new, never a part. False, with the system's
// reason in error when given, when it could not be written; the old content then stays.
bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error = nullptr);

#endif // FILEWRITE_H
