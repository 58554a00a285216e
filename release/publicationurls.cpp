#include "publicationurls.h"

#include "reservednames.h"

#include <QUrl>

namespace {
// prefix + "/" + name, and the same with the slash single where prefix already ends with one;
// not at the top of a server ("http://host/"), where the network layer sends the path's leading
// "//" as "/" anyway: the second request would be the first once more
PublicationUrl joined(const QString &prefix, const QString &name)
{
    PublicationUrl url;
    url.url = prefix + QLatin1Char('/') + name;
    if (prefix.endsWith(QLatin1Char('/'))
        && QUrl(prefix, QUrl::TolerantMode).path() != QLatin1String("/"))
        url.plainUrl = prefix + name;
    return url;
}
} // namespace

PublicationUrl descriptorUrl(const QString &baseUrl)
{
    return joined(baseUrl, descriptorName());
}

PublicationUrl signatureUrl(const QString &baseUrl)
{
    return joined(baseUrl, statementName());
}

PublicationUrl serverRootFileUrl(const QString &baseUrl, const QString &name)
{
    return joined(baseUrl, name);
}

QString folderUrl(const QString &baseUrl, const QString &folder)
{
    return baseUrl + folder + QLatin1Char('/');
}

PublicationUrl manifestUrl(const QString &folderUrl)
{
    return joined(folderUrl, manifestName());
}

PublicationUrl folderFileUrl(const QString &folderUrl, const QString &path)
{
    return {folderUrl + path, QString()};
}

bool getWithPlainFallback(
    const PublicationUrl &url, const std::function<bool(const QString &, int &)> &get)
{
    int status = 0;
    if (get(url.url, status))
        return true;
    if (status != 404 || url.plainUrl.isEmpty())
        return false;
    return get(url.plainUrl, status);
}
