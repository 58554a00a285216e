#include "release.h"

#include "digest.h"
#include "manifest.h"
#include "support/testserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QByteArray manifestText(const Files &files)
{
    QByteArray text;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        text += manifestLine({it.key(), quint64(it.value().size()), digestText(it.value())}) + '\n';
    return text;
}

QByteArray descriptorText(const QString &updateType, const QString &folder, const QString &version)
{
    QByteArray text;
    if (!updateType.isNull())
        text += "[Summary]\nUpdateType=" + updateType.toUtf8() + '\n';
    text += "[Version]\n";
    if (!folder.isNull())
        text += "Folder=" + folder.toUtf8() + '\n';
    text += "Version=" + version.toUtf8() + '\n';
    return text;
}

void serveRelease(TestServer &server, const QByteArray &folderPath, const Files &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        server.setFile(folderPath + it.key().toUtf8(), it.value());
    server.setFile(folderPath + "/md5.txt", manifestText(files));
}

bool writeTree(const QString &root, const Files &files)
{
    const QDir dir(root);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = dir.filePath(it.key());
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(it.value()) != it.value().size())
            return false;
    }
    return true;
}
