#include "filewrite.h"

#include "pathtrust.h"

#include <QSaveFile>

bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error)
{
    // QSaveFile would write to the target of a link
    if (pathKind(path) == PathKind::Link)
        removeWithoutFollowing(path);
    // flushed first: Qt 5.15's commit() misses a failure of the last buffered write (a full
    // disk), and would put an empty file in place
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush()
        && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}
