#include "manifest.h"

#include <QDir>
#include <QTextCodec>

#include <cstdio>
#include <cstring>

namespace {
// UTF-8, as update-publish writes paths, when the bytes are UTF-8; anything else is read in the
// system's 8-bit encoding, as a manifest written on a Chinese Windows lists names (GBK). Every
// character is kept: a codec left to itself drops a byte-order mark at the start of what it
// decodes, and a path beginning with one would not read back as written.
QString decodePath(const char *data, int size)
{
    static QTextCodec *const utf8 = QTextCodec::codecForMib(106);
    QTextCodec::ConverterState utf8State(QTextCodec::IgnoreHeader);
    const QString path = utf8->toUnicode(data, size, &utf8State);
    if (utf8State.invalidChars == 0 && utf8State.remainingChars == 0)
        return path;
    QTextCodec::ConverterState localState(QTextCodec::IgnoreHeader);
    return QTextCodec::codecForLocale()->toUnicode(data, size, &localState);
}

// Windows compares device names in ASCII and ignores what follows the first dot, and the
// spaces before that dot
bool isDeviceName(const QStringRef &name)
{
    int end = name.indexOf(QLatin1Char('.'));
    if (end < 0)
        end = name.size();
    while (end > 0 && name.at(end - 1) == QLatin1Char(' '))
        --end;
    const QStringRef base = name.left(end);
    if (end == 3) {
        for (const char *device : {"CON", "PRN", "AUX", "NUL"}) {
            if (base.compare(QLatin1String(device), Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    }
    if (end == 4) {
        const QChar digit = base.at(3);
        const QStringRef prefix = base.left(3);
        return digit >= QLatin1Char('1') && digit <= QLatin1Char('9')
            && (prefix.compare(QLatin1String("COM"), Qt::CaseInsensitive) == 0
                || prefix.compare(QLatin1String("LPT"), Qt::CaseInsensitive) == 0);
    }
    return false;
}

quint64 swapHalves(quint64 value)
{
    return (value << 32) | (value >> 32);
}
} // namespace

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
#ifdef Q_OS_WIN
    // a name Windows cannot hold would be written under another name, or to a device
    if (!isWindowsSafePath(path))
        return false;
#endif
    return true;
}

bool isWindowsDeviceName(const QString &name)
{
    return isDeviceName(QStringRef(&name));
}

bool isWindowsSafePath(const QString &path)
{
    const int length = path.size();
    int componentStart = 0;
    for (int i = 0; i <= length; ++i) {
        const ushort c = i < length ? path.at(i).unicode() : ushort('/');
        switch (c) {
        case '/':
            break;
        case '<':
        case '>':
        case ':':
        case '"':
        case '|':
        case '?':
        case '*':
        case '\\':
            return false;
        default:
            if (c < 0x20)
                return false;
            continue;
        }
        if (i > componentStart) {
            // Windows drops a trailing dot or space: "a." would be stored as "a"
            const QChar last = path.at(i - 1);
            if (last == QLatin1Char('.') || last == QLatin1Char(' '))
                return false;
            if (isDeviceName(path.midRef(componentStart, i - componentStart)))
                return false;
        }
        componentStart = i + 1;
    }
    return true;
}

bool isPathBelow(const QString &dirPath, const QString &absolutePath)
{
    // a root keeps its separator when cleaned ("/", and "D:/" on Windows)
    QString base = QDir::cleanPath(dirPath);
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    const QString path = QDir::cleanPath(absolutePath);
    return path.size() > base.size() && path.startsWith(base);
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

namespace {
// Calls take(line, firstTab, secondTab, end) for every line of bytes made of exactly three
// tab-separated fields (end: where the line's content ends, before "\r\n" or "\n"). A manifest
// may list a hundred thousand files, and the updater reads two of them at every start, so lines
// are taken apart in place: what is read is exactly what splitting at '\n' and '\t' would give.
template<typename Take>
void forEachManifestLine(const QByteArray &bytes, Take take)
{
    const char *data = bytes.constData();
    const char *const end = data + bytes.size();
    while (data < end) {
        const char *lineEnd
            = static_cast<const char *>(std::memchr(data, '\n', size_t(end - data)));
        if (!lineEnd)
            lineEnd = end;
        const char *const lineStart = data;
        data = lineEnd == end ? end : lineEnd + 1;
        const char *contentEnd = lineEnd;
        if (contentEnd > lineStart && contentEnd[-1] == '\r')
            --contentEnd;

        const auto lineLength = size_t(contentEnd - lineStart);
        const char *firstTab = static_cast<const char *>(std::memchr(lineStart, '\t', lineLength));
        if (!firstTab)
            continue;
        const char *secondTab = static_cast<const char *>(
            std::memchr(firstTab + 1, '\t', size_t(contentEnd - firstTab - 1)));
        if (!secondTab
            || std::memchr(secondTab + 1, '\t', size_t(contentEnd - secondTab - 1)) != nullptr)
            continue;
        take(lineStart, firstTab, secondTab, contentEnd);
    }
}

// The path of a line's third field, or an empty one when it is not safe: the manifest arrives
// over the network and the updater runs with administrator rights, so a path that could leave
// the installation root or name a directory is dropped like a malformed line.
QString linePath(const char *field, const char *end)
{
    // read like a C string: up to an embedded NUL
    QString path = decodePath(field, int(qstrnlen(field, uint(end - field))));
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return isSafeManifestPath(path) ? path : QString();
}
} // namespace

Manifest parseManifest(QByteArray bytes)
{
    Manifest manifest;
    forEachManifestLine(bytes,
        [&manifest](
            const char *line, const char *firstTab, const char *secondTab, const char *end) {
            ManifestEntry entry;
            entry.path = linePath(secondTab + 1, end);
            if (entry.path.isEmpty())
                return;
            entry.digest = QByteArray(line, int(firstTab - line));
            entry.size = swapHalves(parseSizeField(firstTab + 1, int(secondTab - firstTab - 1)));
            // publishers list paths in order: the end of the map is then the right place, found
            // without a search (the map checks the hint and searches when it is wrong)
            manifest.insert(manifest.cend(), entry.path, entry);
        });
    return manifest;
}

QStringList manifestTopNames(QIODevice &device)
{
    // The names serve to keep a name free of the release's files, so a line that parseManifest
    // drops may add one; none that it lists is missing. A first component of ASCII bytes reads
    // the same in every encoding a path is decoded from (the separator after it cannot be part
    // of a character), so it is compared as bytes with the last one: the paths of a folder
    // follow each other, and a name is built once for each run of them.
    QStringList names;
    QByteArray last;
    const auto take = [&](const char *, const char *, const char *secondTab, const char *end) {
        const char *top = secondTab + 1;
        if (top < end && (*top == '/' || *top == '\\'))
            ++top;
        const char *topEnd = top;
        while (topEnd < end && *topEnd != '/' && *topEnd != '\\' && uchar(*topEnd) - 1u < 0x7fu)
            ++topEnd;
        if (topEnd == end || *topEnd == '/' || *topEnd == '\\') {
            if (last.size() == topEnd - top
                && std::memcmp(last.constData(), top, size_t(last.size())) == 0)
                return;
            last = QByteArray(top, int(topEnd - top));
            names.append(QString::fromLatin1(last));
            return;
        }
        // any other byte (beyond ASCII, or a NUL) before the first separator: the whole path,
        // decoded as the parser decodes it
        last.clear();
        const QString path = linePath(secondTab + 1, end);
        if (!path.isEmpty())
            names.append(path.section(QLatin1Char('/'), 0, 0));
    };
    // read in pieces, each up to its last line end: the whole file is never held
    QByteArray piece;
    while (true) {
        const QByteArray more = device.read(256 * 1024);
        piece += more;
        const int cut = more.isEmpty() ? piece.size() : piece.lastIndexOf('\n') + 1;
        forEachManifestLine(QByteArray::fromRawData(piece.constData(), cut), take);
        piece.remove(0, cut);
        if (more.isEmpty())
            return names;
    }
}

QByteArray manifestSizeField(quint64 size)
{
    char text[17];
    std::snprintf(
        text, sizeof text, "%08x%08x", unsigned(size & 0xffffffffu), unsigned(size >> 32));
    return QByteArray(text, 16);
}

QByteArray manifestLine(const ManifestEntry &entry)
{
    return entry.digest + '\t' + manifestSizeField(entry.size) + '\t' + entry.path.toUtf8();
}
