#ifndef MANIFEST_H
#define MANIFEST_H

#include "digest.h"

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QIODevice>
#include <QString>
#include <QStringList>

// One line of a manifest: a file of the published version.
struct ManifestEntry
{
    QString path; // relative, "/"-separated, no leading "/"
    quint64 size = 0;
    QByteArray digest; // digest text exactly as listed
    // the hash a signed release states for the file, lower-case hex, and its algorithm; empty
    // and None when unsigned
    QByteArray signedHash = QByteArray();
    SignedHashKind signedHashKind = SignedHashKind::None;
};

// the line of the manifest, the signed hash aside
inline bool operator==(const ManifestEntry &a, const ManifestEntry &b)
{
    return a.path == b.path && a.size == b.size && a.digest == b.digest;
}

// keyed by path, walked in ascending path order
using Manifest = QMap<QString, ManifestEntry>;

Manifest parseManifest(QByteArray bytes);
// the first component of every path parseManifest would list (a file's name, or the folder
// that holds it), read from the device to its end without building the entries or holding the
// whole text; a name may appear more than once
QStringList manifestTopNames(QIODevice &device);

// true for a relative path that stays below the directory it is resolved against and names a
// file in it: no empty, "." or ".." component, no leading "/", no ":" (drives, streams). On
// Windows the path must also be one that isWindowsSafePath accepts.
bool isSafeManifestPath(const QString &path);

// true when Windows stores every "/"-separated component of path under that very name: no
// device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any case and with any extension),
// no name ending in a dot or a space, none of < > : " | ? * \ and no control character
bool isWindowsSafePath(const QString &path);
// true for a name Windows takes for a device, whatever follows its first dot: "nul.txt"
bool isWindowsDeviceName(const QString &name);

// true when absolutePath lies strictly below the directory dirPath, both absolute and compared
// as text once cleaned; a root such as "/" or "D:/" holds everything on it
bool isPathBelow(const QString &dirPath, const QString &absolutePath);

// the size field: low 32 bits first, then high 32 bits, each as eight hex digits
QByteArray manifestSizeField(quint64 size);
// one line of the manifest text, without its line end
QByteArray manifestLine(const ManifestEntry &entry);

Q_DECLARE_METATYPE(ManifestEntry)

#endif // MANIFEST_H
