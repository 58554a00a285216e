#ifndef RELEASE_H
#define RELEASE_H

#include <QByteArray>
#include <QMap>
#include <QString>

class TestServer;

using Files = QMap<QString, QByteArray>; // relative path -> content

// the manifest text listing the files with their digest text and size, LF line ends
QByteArray manifestText(const Files &files);
// an update.ini; a null updateType or folder leaves the key out
QByteArray descriptorText(const QString &updateType, const QString &folder, const QString &version);
// serves every file below folderPath ("/v2/") and the manifest at folderPath + "/md5.txt", the way
// the updater joins it; names are sent as they are, so keep them URL-safe here
void serveRelease(TestServer &server, const QByteArray &folderPath, const Files &files);
// writes the files below root
bool writeTree(const QString &root, const Files &files);

#endif // RELEASE_H
