#include "publicationcheck.h"

#include "publishrules.h"

#include "net/digest.h"
#include "net/manifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>

namespace {
constexpr qint64 ReadChunkSize = 1024 * 1024;

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool isLowerHex(const QByteArray &text, int length)
{
    if (text.size() != length)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool isHex(const QByteArray &text, int length)
{
    return isLowerHex(text.toLower(), length);
}
} // namespace

PublicationCheck::PublicationCheck(const QString &serverDir)
    : serverDir(serverDir)
{ }

void PublicationCheck::setProgressHandler(std::function<void(quint64, quint64)> handler)
{
    progress = std::move(handler);
}

bool PublicationCheck::run()
{
    problemList.clear();
    warningList.clear();
    checkedFiles = 0;

    const QString descriptorPath = QDir(serverDir).filePath(QStringLiteral("update.ini"));
    if (!QFileInfo(descriptorPath).isFile()) {
        problemList.append(tr("%1 does not exist.").arg(native(descriptorPath)));
        return false;
    }
    {
        QFile readable(descriptorPath);
        if (!readable.open(QIODevice::ReadOnly)) {
            problemList.append(
                tr("Cannot read %1: %2").arg(native(descriptorPath), readable.errorString()));
            return false;
        }
    }
    // the same keys and defaults the updater uses
    QSettings descriptor(descriptorPath, QSettings::IniFormat);
    if (descriptor.status() != QSettings::NoError) {
        problemList.append(tr("%1 is not a readable INI file.").arg(native(descriptorPath)));
        return false;
    }
    updateType = descriptor.value(QStringLiteral("Summary/UpdateType"), 1).toInt();
    folderName
        = descriptor.value(QStringLiteral("Version/Folder"), QStringLiteral("Base")).toString();
    versionText = descriptor.value(QStringLiteral("Version/Version")).toString();
    if (versionText.trimmed().isEmpty())
        warningList.append(tr("update.ini names no version text; users see an empty version."));

    const QString folderProblem = folderNameProblem(folderName);
    if (!folderProblem.isEmpty()) {
        problemList.append(tr("The folder \"%1\" named in update.ini %2.")
                               .arg(printablePath(folderName), folderProblem));
        return false;
    }
    const QString folderPath = QDir(serverDir).filePath(folderName);
    if (!QFileInfo(folderPath).isDir()) {
        problemList.append(
            tr("The folder %1 named in update.ini does not exist.").arg(native(folderPath)));
        return false;
    }

    const QString manifestPath = folderPath + QLatin1String("/md5.txt");
    QFile manifestFile(manifestPath);
    if (!manifestFile.open(QIODevice::ReadOnly)) {
        problemList.append(
            tr("Cannot read %1: %2").arg(native(manifestPath), manifestFile.errorString()));
        return false;
    }
    const QByteArray bytes = manifestFile.readAll();
    manifestFile.close();

    checkManifestLines(bytes);
    checkFiles(folderPath, bytes);
    return problemList.isEmpty();
}

void PublicationCheck::checkManifestLines(const QByteArray &bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    // the line end of the last line leaves an empty piece, not a line
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();

    // each line on its own through the updater's parser: what it drops, a client never fetches
    QSet<QString> seen;
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const QString shown = printablePath(QString::fromLocal8Bit(line));
        const Manifest parsed = parseManifest(line);
        if (parsed.isEmpty()) {
            problemList.append(
                tr("md5.txt line %1 is dropped by the updater: \"%2\"").arg(i + 1).arg(shown));
            continue;
        }
        const ManifestEntry &entry = parsed.first();
        if (seen.contains(entry.path))
            problemList.append(tr("md5.txt line %1 lists \"%2\" again; the updater keeps only "
                                  "the last line for a path.")
                                   .arg(i + 1)
                                   .arg(printablePath(entry.path)));
        seen.insert(entry.path);
        const QString cacheProblem = defaultCacheProblem(entry.path);
        if (!cacheProblem.isEmpty())
            problemList.append(tr("md5.txt line %1: \"%2\" %3.")
                                   .arg(i + 1)
                                   .arg(printablePath(entry.path), cacheProblem));

        const QList<QByteArray> fields = line.split('\t');
        if (!isLowerHex(fields.at(0), 32))
            problemList.append(
                tr("md5.txt line %1 has no valid digest: \"%2\"").arg(i + 1).arg(shown));
        if (!isHex(fields.at(1), 16))
            problemList.append(
                tr("md5.txt line %1 has no valid size: \"%2\"").arg(i + 1).arg(shown));
    }
    if (lines.isEmpty())
        problemList.append(tr("md5.txt lists no files."));
}

void PublicationCheck::checkFiles(const QString &folderPath, const QByteArray &bytes)
{
    const Manifest manifest = parseManifest(bytes);
    quint64 total = 0;
    for (const ManifestEntry &entry : manifest)
        total += entry.size;
    quint64 done = 0;
    if (progress)
        progress(0, total);

    QByteArray buffer(int(ReadChunkSize), Qt::Uninitialized);
    for (const ManifestEntry &entry : manifest) {
        ++checkedFiles;
        const QString shown = printablePath(entry.path);
        const QString path = folderPath + QLatin1Char('/') + entry.path;
        const QFileInfo info(path);
        if (!info.exists()) {
            problemList.append(tr("\"%1\" is missing.").arg(shown));
            done += entry.size;
            continue;
        }
        if (!info.isFile()) {
            problemList.append(tr("\"%1\" is not a regular file.").arg(shown));
            done += entry.size;
            continue;
        }
        if (quint64(info.size()) != entry.size) {
            // the digest cannot match either; hashing it would only take time
            problemList.append(tr("\"%1\" has %2 bytes, md5.txt lists %3.")
                                   .arg(shown)
                                   .arg(info.size())
                                   .arg(entry.size));
            done += entry.size;
            continue;
        }

        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            problemList.append(tr("Cannot read \"%1\": %2").arg(shown, file.errorString()));
            done += entry.size;
            continue;
        }
        DigestHasher hasher;
        quint64 read = 0;
        bool failed = false;
        for (;;) {
            const qint64 count = file.read(buffer.data(), buffer.size());
            if (count < 0) {
                problemList.append(tr("Cannot read \"%1\": %2").arg(shown, file.errorString()));
                failed = true;
                break;
            }
            if (count == 0)
                break;
            hasher.addData(buffer.constData(), count);
            read += quint64(count);
            if (progress)
                progress(done + qMin(read, entry.size), total);
        }
        done += entry.size;
        if (failed)
            continue;
        const QByteArray digest = hasher.digestText();
        if (digest != entry.digest)
            problemList.append(
                tr("\"%1\" differs from md5.txt: its digest is %2, md5.txt lists %3.")
                    .arg(shown, QString::fromLatin1(digest), QString::fromLatin1(entry.digest)));
    }
    if (progress)
        progress(done, total);
}
