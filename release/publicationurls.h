#ifndef PUBLICATIONURLS_H
#define PUBLICATIONURLS_H

#include <QString>

#include <functional>

// The URLs of a publication's files, formed from the base URL as clients have always formed
// them: update.ini and update.sig at U + "/" + name, the release folder at U + F + "/", its
// md5.txt at the folder URL + "/md5.txt", every other file of the folder at the folder URL
// followed by its path. The updater and update-publish --check both form them here.
//
// The joining "/" doubles the one a base URL (or the folder URL, always) ends with:
// "base//update.ini", "v2//md5.txt". Web servers take the two for one; object stores keep a
// key's slashes as they are, and have nothing there. Such a name is asked for once more with
// the slash single, and only after a 404: a server that has the file at the doubled path sees
// the very requests it always saw.
struct PublicationUrl
{
    QString url; // asked for first
    QString plainUrl; // asked for when url answers 404; empty where url holds no doubled slash
};

PublicationUrl descriptorUrl(const QString &baseUrl); // update.ini
PublicationUrl signatureUrl(const QString &baseUrl); // update.sig
// a file beside update.ini
PublicationUrl serverRootFileUrl(const QString &baseUrl, const QString &name);
// U + F + "/": the folder name follows the base URL without a separator, as it always has
QString folderUrl(const QString &baseUrl, const QString &folder);
PublicationUrl manifestUrl(const QString &folderUrl); // md5.txt
// any other file of the release folder (a release file, the patch index, a patch)
PublicationUrl folderFileUrl(const QString &folderUrl, const QString &path);

// Asks for url.url with get, and once more for url.plainUrl when that answered 404: the second
// answer is the one that counts. get returns true for a file received and sets the HTTP status
// it got (0 for none).
bool getWithPlainFallback(
    const PublicationUrl &url, const std::function<bool(const QString &url, int &status)> &get);

#endif // PUBLICATIONURLS_H
