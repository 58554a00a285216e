#include "updaterecord.h"

#include "filewrite.h"
#include "pathtrust.h"
#include "reservednames.h"

#include <QFile>
#include <QUrl>

namespace {
// no record is near this: a manifest of the largest release, twice, in base64
constexpr qint64 MaxRecordSize = 256 * 1024 * 1024;

QByteArray encoded(const QString &text)
{
    return QUrl::toPercentEncoding(text);
}

QString decoded(const QByteArray &text)
{
    return QUrl::fromPercentEncoding(text);
}

QByteArray optionalBytes(const std::optional<QByteArray> &bytes)
{
    return bytes ? bytes->toBase64() : QByteArray("-");
}

bool readOptionalBytes(const QByteArray &text, std::optional<QByteArray> &bytes)
{
    if (text == "-") {
        bytes.reset();
        return true;
    }
    const auto result
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    bytes = *result;
    return true;
}

bool isSha256Hex(const QByteArray &text)
{
    if (text.size() != 64)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}
} // namespace

QByteArray updateRecordText(const UpdateRecord &record)
{
    QByteArray text = "undo 1\n";
    text += "folder " + encoded(record.folder) + '\n';
    text += "version " + encoded(record.version) + '\n';
    text += "manifest " + optionalBytes(record.appliedManifest) + '\n';
    text += "release " + optionalBytes(record.releaseRecord) + '\n';
    for (const UpdateRecord::File &file : record.files) {
        if (file.replaced)
            text += "replaced " + file.sha256 + ' ' + encoded(file.path) + '\n';
        else
            text += "added " + QByteArray::number(file.createdDepth) + ' ' + encoded(file.path)
                + '\n';
    }
    return text;
}

bool parseUpdateRecord(const QByteArray &text, UpdateRecord &record)
{
    record = UpdateRecord();
    const QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 6 || lines.first() != "undo 1" || !lines.last().isEmpty())
        return false;
    bool manifest = false;
    bool release = false;
    for (int i = 1; i < lines.size() - 1; ++i) {
        const QByteArray &line = lines.at(i);
        const int space = line.indexOf(' ');
        const QByteArray key = line.left(space);
        const QByteArray value = space < 0 ? QByteArray() : line.mid(space + 1);
        if (key == "folder") {
            record.folder = decoded(value);
        } else if (key == "version") {
            record.version = decoded(value);
        } else if (key == "manifest") {
            manifest = readOptionalBytes(value, record.appliedManifest);
            if (!manifest)
                return false;
        } else if (key == "release") {
            release = readOptionalBytes(value, record.releaseRecord);
            if (!release)
                return false;
        } else if (key == "replaced" || key == "added") {
            UpdateRecord::File file;
            file.replaced = key == "replaced";
            const int gap = value.indexOf(' ');
            if (gap <= 0)
                return false;
            const QByteArray path = value.mid(gap + 1);
            if (file.replaced) {
                file.sha256 = value.left(gap);
                if (!isSha256Hex(file.sha256))
                    return false;
            } else {
                bool number = false;
                file.createdDepth = value.left(gap).toInt(&number);
                if (!number || file.createdDepth < -1)
                    return false;
            }
            file.path = decoded(path);
            // a path as the manifest holds it: relative, no step up, no empty name
            const QStringList names = file.path.split(QLatin1Char('/'));
            for (const QString &name : names) {
                if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
                    return false;
            }
            if (file.path.contains(QLatin1Char('\\')))
                return false;
            record.files.append(file);
        } else {
            return false;
        }
    }
    return manifest && release;
}

QString undoFolderPath(const QDir &cacheDir)
{
    return cacheDir.absoluteFilePath(undoFolderName());
}

QString undoFilePath(const QDir &cacheDir, const char *name)
{
    return QDir(undoFolderPath(cacheDir)).absoluteFilePath(QLatin1String(name));
}

bool writeUpdateRecord(const QDir &cacheDir, const UpdateRecord &record, QString &error)
{
    // the cache is private: what lies in it is the updater's, a link in the folder's place is
    // not followed
    const QString folder = undoFolderPath(cacheDir);
    if (pathKind(folder) != PathKind::Directory) {
        if (pathKind(folder) != PathKind::Missing && !removeWithoutFollowing(folder)) {
            error = QStringLiteral("%1 cannot be removed").arg(folder);
            return false;
        }
        if (!QDir().mkdir(folder)) {
            error = QStringLiteral("%1 cannot be created").arg(folder);
            return false;
        }
    }
    return writeFileBytes(undoFilePath(cacheDir, "record"), updateRecordText(record), &error);
}

bool readUpdateRecord(const QDir &cacheDir, UpdateRecord &record, QString &error)
{
    const QString path = undoFilePath(cacheDir, "record");
    if (pathKind(undoFolderPath(cacheDir)) != PathKind::Directory
        || pathKind(path) != PathKind::File) {
        error = QStringLiteral("no update is recorded");
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxRecordSize) {
        error = file.errorString();
        return false;
    }
    if (!parseUpdateRecord(file.readAll(), record)) {
        error = QStringLiteral("the record of the last update is malformed");
        return false;
    }
    return true;
}

void removeUpdateRecord(const QDir &cacheDir)
{
    removeWithoutFollowing(undoFilePath(cacheDir, "record"));
}
