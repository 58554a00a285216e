#include "publicationsource.h"

#include "publishrules.h"

#include "httprequest.h"
#include "reservednames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace {
constexpr qint64 ReadChunkSize = 1024 * 1024;
// what the updater allows for update.ini, update.sig, md5.txt and the patch index, and its time
// limit for each of them
constexpr qint64 MaxSmallFile = 64 * 1024 * 1024;
constexpr int SmallFileTimeoutSeconds = 5;
// the download worker's defaults
constexpr int StallSeconds = 60;
} // namespace

DirectorySource::DirectorySource(const QString &serverDir)
    : serverDir(serverDir)
{ }

QString DirectorySource::filePath(const QString &folder, const QString &name) const
{
    const QDir dir(serverDir);
    return folder.isEmpty() ? dir.filePath(name) : dir.filePath(folder) + QLatin1Char('/') + name;
}

QString DirectorySource::shownName(const QString &folder, const QString &name) const
{
    return nativePath(filePath(folder, name));
}

bool DirectorySource::checkFolder(const QString &folder, QString &error) const
{
    const QString path = QDir(serverDir).filePath(folder);
    if (QFileInfo(path).isDir())
        return true;
    error = QCoreApplication::translate(
        "PublicationCheck", "The folder %1 named in update.ini does not exist.")
                .arg(nativePath(path));
    return false;
}

PublicationSource::Outcome DirectorySource::read(
    const QString &folder, const QString &name, QByteArray &bytes, QString &error)
{
    const QString path = filePath(folder, name);
    const QFileInfo info(path);
    // a dangling link is there, as a file that cannot be read
    if (!info.isFile())
        return info.exists() || info.isSymLink() ? Outcome::NotFile : Outcome::Missing;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return Outcome::Failed;
    }
    bytes = file.readAll();
    return Outcome::Read;
}

PublicationSource::Outcome DirectorySource::stream(const QString &folder, const QString &path,
    quint64 &size, const std::function<void(const char *, qint64)> &consume, QString &error)
{
    const QString filePath = this->filePath(folder, path);
    const QFileInfo info(filePath);
    if (!info.exists())
        return Outcome::Missing;
    if (!info.isFile())
        return Outcome::NotFile;
    if (quint64(info.size()) != size) {
        // the digest cannot match either; hashing it would only take time
        size = quint64(info.size());
        return Outcome::WrongSize;
    }
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return Outcome::Failed;
    }
    QByteArray buffer(int(ReadChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 count = file.read(buffer.data(), buffer.size());
        if (count < 0) {
            error = file.errorString();
            return Outcome::Failed;
        }
        if (count == 0)
            return Outcome::Read;
        consume(buffer.constData(), count);
    }
}

ServerSource::ServerSource(const QString &baseUrl, const ProxySetting &proxySetting)
    : baseUrl(baseUrl)
    , proxy(proxySetting)
{
    proxy.setUp(manager);
}

PublicationUrl ServerSource::url(const QString &folder, const QString &name) const
{
    if (folder.isEmpty())
        return serverRootFileUrl(baseUrl, name);
    const QString folderAddress = folderUrl(baseUrl, folder);
    return name == manifestName() ? manifestUrl(folderAddress) : folderFileUrl(folderAddress, name);
}

QString ServerSource::shownName(const QString &folder, const QString &name) const
{
    return url(folder, name).url;
}

namespace {
// a 404 names every URL asked
QString notFoundText(const PublicationUrl &url)
{
    const QString asked = url.plainUrl.isEmpty()
        ? url.url
        : QCoreApplication::translate("ServerSource", "%1 and at %2").arg(url.url, url.plainUrl);
    return QCoreApplication::translate("ServerSource", "the server answered 404 Not Found at %1")
        .arg(asked);
}
} // namespace

PublicationSource::Outcome ServerSource::read(
    const QString &folder, const QString &name, QByteArray &bytes, QString &error)
{
    const PublicationUrl address = url(folder, name);
    int status = 0;
    const bool received = getWithPlainFallback(address, [&](const QString &text, int &got) {
        const bool done = httpRequest(&manager, QUrl(text, QUrl::TolerantMode), bytes, error,
            SmallFileTimeoutSeconds, MaxSmallFile, &got);
        status = got;
        return done;
    });
    if (received)
        return Outcome::Read;
    if (status == 404) {
        error = notFoundText(address);
        return Outcome::Missing;
    }
    return Outcome::Failed;
}

PublicationSource::Outcome ServerSource::stream(const QString &folder, const QString &path,
    quint64 &size, const std::function<void(const char *, qint64)> &consume, QString &error)
{
    const PublicationUrl address = url(folder, path);
    const quint64 expected = size;
    quint64 received = 0;
    bool tooLong = false;
    int status = 0;
    const bool fetched = getWithPlainFallback(address, [&](const QString &text, int &got) {
        received = 0;
        const bool done = httpStream(
            &manager, QUrl(text, QUrl::TolerantMode),
            [&](const char *data, qint64 length) {
                received += quint64(length);
                if (received > expected) {
                    tooLong = true;
                    return false;
                }
                consume(data, length);
                return true;
            },
            error, StallSeconds, &downloadRedirectAllowed, MaxDownloadRedirects, &got);
        status = got;
        return done;
    });
    if (tooLong)
        return Outcome::TooLong;
    if (!fetched) {
        if (status != 404)
            return Outcome::Failed;
        error = notFoundText(address);
        return Outcome::Missing;
    }
    size = received;
    return received == expected ? Outcome::Read : Outcome::WrongSize;
}
