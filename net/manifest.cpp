#include "manifest.h"

#include <QTextCodec>

#include <cstdio>
#include <cstring>

namespace {
// the system's 8-bit encoding, every character kept: the UTF-8 codec would drop a byte-order mark
// at the start of what it decodes, and a path beginning with one would not read back as written
QString decodeLocal8Bit(const char *data, int size)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return QTextCodec::codecForLocale()->toUnicode(data, size, &state);
}

quint64 swapHalves(quint64 value)
{
    return (value << 32) | (value >> 32);
}
}

bool isSafeManifestPath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char(':')))
        return false;
    // every "/"-separated component must be a name: not empty, not "." and not ".."
    const QChar *characters = path.constData();
    const int length = path.size();
    int componentStart = 0;
    for (int i = 0; i <= length; ++i) {
        if (i < length && characters[i] != QLatin1Char('/'))
            continue;
        const int componentLength = i - componentStart;
        const QChar *component = characters + componentStart;
        if (componentLength == 0)
            return false;
        if (component[0] == QLatin1Char('.')
            && (componentLength == 1 || (componentLength == 2 && component[1] == QLatin1Char('.'))))
            return false;
        componentStart = i + 1;
    }
    return true;
}

namespace {
// the size field as QByteArray::toULongLong(nullptr, 16) reads it; plain hex digits, the only
// thing a publisher writes, are read here without a copy of the field
quint64 parseSizeField(const char *field, int length)
{
    if (length > 0 && length <= 16) {
        quint64 value = 0;
        int i = 0;
        for (; i < length; ++i) {
            const char c = field[i];
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                break;
            value = (value << 4) | quint64(digit);
        }
        if (i == length)
            return value;
    }
    // blanks, a sign, a "0x" prefix, an embedded NUL or too many digits: Qt's reading decides
    return QByteArray(field, length).toULongLong(nullptr, 16);
}
} // namespace

Manifest parseManifest(QByteArray bytes)
{
    // A manifest may list a hundred thousand files, and the updater reads two of them at every
    // start, so lines are taken apart in place, and an entry costs its digest, its path and its
    // map node. What is read is exactly what splitting at '\n' and '\t' would give.
    Manifest manifest;
    const char *data = bytes.constData();
    const char *const end = data + bytes.size();
    while (data < end) {
        const char *lineEnd = static_cast<const char *>(std::memchr(data, '\n', size_t(end - data)));
        if (!lineEnd)
            lineEnd = end;
        const char *const lineStart = data;
        data = lineEnd == end ? end : lineEnd + 1;
        const char *contentEnd = lineEnd;
        if (contentEnd > lineStart && contentEnd[-1] == '\r')
            --contentEnd;

        // exactly three tab-separated fields
        const auto lineLength = size_t(contentEnd - lineStart);
        const char *firstTab = static_cast<const char *>(std::memchr(lineStart, '\t', lineLength));
        if (!firstTab)
            continue;
        const char *secondTab = static_cast<const char *>(
                std::memchr(firstTab + 1, '\t', size_t(contentEnd - firstTab - 1)));
        if (!secondTab
            || std::memchr(secondTab + 1, '\t', size_t(contentEnd - secondTab - 1)) != nullptr)
            continue;

        ManifestEntry entry;
        entry.digest = QByteArray(lineStart, int(firstTab - lineStart));
        entry.size = swapHalves(parseSizeField(firstTab + 1, int(secondTab - firstTab - 1)));
        // as QString::fromLocal8Bit(QByteArray) reads a field: up to an embedded NUL
        const char *pathField = secondTab + 1;
        entry.path = decodeLocal8Bit(pathField, int(qstrnlen(pathField, uint(contentEnd - pathField))));
        entry.path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (entry.path.startsWith(QLatin1Char('/')))
            entry.path.remove(0, 1);
        // the manifest arrives over the network and the updater runs with administrator
        // rights: a path that could leave the installation root or name a directory is dropped
        // like a malformed line
        if (!isSafeManifestPath(entry.path))
            continue;
        // publishers list paths in order: the end of the map is then the right place, found
        // without a search (the map checks the hint and searches when it is wrong)
        manifest.insert(manifest.cend(), entry.path, entry);
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
