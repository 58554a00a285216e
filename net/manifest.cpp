#include "manifest.h"

#include <QStringList>

#include <cstdio>

namespace {
quint64 swapHalves(quint64 value)
{
    return (value << 32) | (value >> 32);
}
}

bool isSafeManifestPath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char(':')))
        return false;
    const QStringList components = path.split(QLatin1Char('/'));
    for (const QString &component : components) {
        if (component.isEmpty() || component == QLatin1String(".")
            || component == QLatin1String(".."))
            return false;
    }
    return true;
}

Manifest parseManifest(QByteArray bytes)
{
    Manifest manifest;
    const QList<QByteArray> lines = bytes.split('\n');
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3)
            continue;
        ManifestEntry entry;
        entry.digest = fields.at(0);
        entry.size = swapHalves(fields.at(1).toULongLong(nullptr, 16));
        entry.path = QString::fromLocal8Bit(fields.at(2));
        entry.path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (entry.path.startsWith(QLatin1Char('/')))
            entry.path.remove(0, 1);
        // the manifest arrives over the network and the updater runs with administrator
        // rights: a path that could leave the installation root or name a directory is dropped
        // like a malformed line
        if (!isSafeManifestPath(entry.path))
            continue;
        manifest.insert(entry.path, entry);
    }
    return manifest;
}

QByteArray manifestSizeField(quint64 size)
{
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", unsigned(size & 0xffffffffu),
                  unsigned(size >> 32));
    return QByteArray(text, 16);
}

QByteArray manifestLine(const ManifestEntry &entry)
{
    return entry.digest + '\t' + manifestSizeField(entry.size) + '\t' + entry.path.toLocal8Bit();
}
