#ifndef PUBLICATIONSOURCE_H
#define PUBLICATIONSOURCE_H

#include "proxyaccess.h"
#include "publicationurls.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QString>

#include <functional>

// Where a publication check reads a publication's files from: a server directory, or the
// server itself over HTTP(S). A file beside update.ini has an empty folder; any other lies in a
// release folder, at the path its manifest or the patch index gives.
class PublicationSource
{
public:
    enum class Outcome {
        Read,
        Missing, // not there (a 404 over HTTP)
        NotFile, // a directory or another thing that is no file
        WrongSize, // streamed: not the size expected; size says what it has
        TooLong, // streamed: more bytes than expected arrived
        Failed, // could not be read: the error says why
    };

    virtual ~PublicationSource() = default;

    // the file as problems name it: its path, or the URL a client asks for first
    virtual QString shownName(const QString &folder, const QString &name) const = 0;
    // whether files that clients never ask for (a patch index update.ini does not announce) are
    // looked at too
    virtual bool seesUnannounced() const = 0;
    // whether the release folder itself is there to read from; false with the problem in error
    virtual bool checkFolder(const QString &folder, QString &error) const = 0;
    // a small file whole (update.ini, update.sig, md5.txt, the patch index); error: why not, or
    // empty where the outcome says it all
    virtual Outcome read(
        const QString &folder, const QString &name, QByteArray &bytes, QString &error)
        = 0;
    // a file that should have size bytes, handed to consume in pieces, never held whole
    virtual Outcome stream(const QString &folder, const QString &path, quint64 &size,
        const std::function<void(const char *data, qint64 length)> &consume, QString &error)
        = 0;
};

class DirectorySource : public PublicationSource
{
public:
    explicit DirectorySource(const QString &serverDir);

    QString shownName(const QString &folder, const QString &name) const override;
    bool seesUnannounced() const override { return true; }
    bool checkFolder(const QString &folder, QString &error) const override;
    Outcome read(
        const QString &folder, const QString &name, QByteArray &bytes, QString &error) override;
    Outcome stream(const QString &folder, const QString &path, quint64 &size,
        const std::function<void(const char *, qint64)> &consume, QString &error) override;

private:
    QString filePath(const QString &folder, const QString &name) const;

    QString serverDir;
};

// A live publication at a base URL, fetched as the updater fetches it: the same URLs and the
// retry with a single slash, update.ini, update.sig, md5.txt and the patch index with the same
// request, time limit and size limit, the files streamed with redirections followed and a stall
// limit as the download worker does. Certificate authorities and the proxy are the process's.
class ServerSource : public PublicationSource
{
    Q_DECLARE_TR_FUNCTIONS(ServerSource)

public:
    ServerSource(const QString &baseUrl, const ProxySetting &proxy);

    QString shownName(const QString &folder, const QString &name) const override;
    bool seesUnannounced() const override { return false; }
    bool checkFolder(const QString &, QString &) const override { return true; }
    Outcome read(
        const QString &folder, const QString &name, QByteArray &bytes, QString &error) override;
    Outcome stream(const QString &folder, const QString &path, quint64 &size,
        const std::function<void(const char *, qint64)> &consume, QString &error) override;

private:
    PublicationUrl url(const QString &folder, const QString &name) const;

    QString baseUrl;
    ProxyAccess proxy;
    QNetworkAccessManager manager;
};

#endif // PUBLICATIONSOURCE_H
