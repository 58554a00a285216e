#include "safedir.h"

#include "safedirnames.h"

#include <QDir>
#include <QFile>
#include <QStringList>

SafeDir::~SafeDir()
{
    close();
}

QString SafeDir::errorString() const
{
    return systemErrorText(lastError);
}

QString SafeDir::nativeName(const QString &name) const
{
    return QDir::toNativeSeparators(dirPath + QLatin1Char('/') + name);
}

bool SafeDir::openBelow(const QString &root, const QString &relativePath, QFile &file, QString *why)
{
    const int slash = relativePath.lastIndexOf(QLatin1Char('/'));
    SafeDir dir;
    const Status status = dir.open(root, slash < 0 ? QString() : relativePath.left(slash));
    QString reason;
    if (status == Status::Link)
        reason = QStringLiteral("a folder on its way is a link");
    else if (status != Status::Open)
        reason = QStringLiteral("its folder cannot be opened: ") + dir.errorString();
    else if (!dir.openFile(relativePath.mid(slash + 1), file))
        reason = QStringLiteral("it is no regular file that can be read: ") + dir.errorString();
    if (why)
        *why = reason;
    return reason.isEmpty();
}

void SafeDir::removeEmptyDirs(const QString &root, const QString &relativeDir, int from)
{
    const QStringList names = safeDirNames(relativeDir);
    for (int i = names.size() - 1; i >= qMax(0, from); --i) {
        SafeDir parent;
        if (parent.open(root, names.mid(0, i).join(QLatin1Char('/'))) != Status::Open
            || !parent.removeDir(names.at(i)))
            return;
    }
}
