#ifndef MANIFEST_H
#define MANIFEST_H

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QString>

// One line of a manifest: a file of the published version.
struct ManifestEntry
{
    QString path; // relative, "/"-separated, no leading "/"
    quint64 size = 0;
    QByteArray digest; // digest text exactly as listed
};

inline bool operator==(const ManifestEntry &a, const ManifestEntry &b)
{
    return a.path == b.path && a.size == b.size && a.digest == b.digest;
}

// keyed by path, walked in ascending path order
using Manifest = QMap<QString, ManifestEntry>;

Manifest parseManifest(QByteArray bytes);

// true for a relative path that stays below the directory it is resolved against and names a
// file in it: no empty, "." or ".." component, no leading "/", no ":" (drives, streams)
bool isSafeManifestPath(const QString &path);

// the size field: low 32 bits first, then high 32 bits, each as eight hex digits
QByteArray manifestSizeField(quint64 size);
// one line of the manifest text, without its line end
QByteArray manifestLine(const ManifestEntry &entry);

Q_DECLARE_METATYPE(ManifestEntry)

#endif // MANIFEST_H
