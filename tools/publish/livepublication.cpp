#include "livepublication.h"

#include "publishrules.h"

#include "releasestatement.h"
#include "reservednames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <limits>

namespace {
// Missing: not there; false: there but unreadable
enum class FileRead { Read, Missing, Failed };

FileRead readFile(const QString &path, QByteArray &bytes)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return FileRead::Missing;
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return FileRead::Failed;
    bytes = file.readAll();
    return file.error() == QFileDevice::NoError ? FileRead::Read : FileRead::Failed;
}
} // namespace

bool LivePublicationRules::read(const QString &serverDir, LivePublication &live, QString &error)
{
    live = LivePublication();
    const QDir dir(serverDir);
    const QString descriptorPath = dir.filePath(descriptorName());
    const FileRead descriptor = readFile(descriptorPath, live.descriptorBytes);
    if (descriptor == FileRead::Failed) {
        error = tr("Cannot read %1.").arg(nativePath(descriptorPath));
        return false;
    }
    live.hasDescriptor = descriptor == FileRead::Read;
    if (live.hasDescriptor)
        live.descriptor = parseDescriptor(live.descriptorBytes);

    QByteArray statementBytes;
    const QString statementPath = dir.filePath(statementName());
    const FileRead statement = readFile(statementPath, statementBytes);
    if (statement == FileRead::Failed) {
        error = tr("Cannot read %1.").arg(nativePath(statementPath));
        return false;
    }
    live.hasStatement = statement == FileRead::Read;
    ReleaseStatement stated;
    if (live.hasStatement && readStatementText(statementBytes, stated)) {
        live.statementRelease = stated.release;
        live.statementFolder = stated.folder;
    }
    return true;
}

bool LivePublicationRules::releaseNumber(
    const LivePublication &live, quint64 requested, quint64 &number, QString &error)
{
    const quint64 published = live.publishedRelease();
    if (requested == 0) {
        if (published == std::numeric_limits<quint64>::max()) {
            error = tr("The published release number %1 cannot grow any further.").arg(published);
            return false;
        }
        number = published + 1;
        return true;
    }
    if (requested < published) {
        error = tr("Release number %1 is lower than the published release %2; clients that "
                   "installed release %2 would refuse it as a rollback.")
                    .arg(requested)
                    .arg(published);
        return false;
    }
    number = requested;
    return true;
}

bool LivePublicationRules::fallback(const LivePublication &live, const QString &serverDir,
    const QString &folder, RolloutFallback &fallback, QString &error)
{
    const UpdateDescriptor &descriptor = live.descriptor;
    if (live.hasDescriptor && folder == descriptor.folder) {
        fallback.folder = folder;
        fallback.version = descriptor.version;
        fallback.release = descriptor.release;
        // published signed before update.ini carried its number: the statement's
        if (fallback.release == 0 && live.hasStatement && live.statementFolder == folder)
            fallback.release = live.statementRelease;
    } else if (live.hasDescriptor && descriptor.hasFallback()
        && folder == descriptor.fallbackFolder) {
        fallback.folder = folder;
        fallback.version = descriptor.fallbackVersion;
        fallback.release = descriptor.fallbackRelease;
    } else {
        error = live.hasDescriptor
            ? tr("The fallback \"%1\" is neither the live release (folder \"%2\") nor the live "
                 "fallback%3; installations outside a rollout only ever update to a release "
                 "published earlier on the same server.")
                  .arg(printablePath(folder), printablePath(descriptor.folder),
                      descriptor.hasFallback()
                          ? tr(" (folder \"%1\")").arg(printablePath(descriptor.fallbackFolder))
                          : QString())
            : tr("The fallback \"%1\" is no release published on this server: %2 holds no "
                 "update.ini.")
                  .arg(printablePath(folder), nativePath(serverDir));
        return false;
    }
    if (fallback.release == 0) {
        error = tr("The fallback \"%1\" was published without a release number; clients never "
                   "move an installation to a release whose number they cannot compare. "
                   "Publish it again, or choose no fallback.")
                    .arg(printablePath(folder));
        return false;
    }
    QString folderProblem;
    if (!checkFolderName(folder, folderProblem)) {
        error = tr("The fallback \"%1\" %2.").arg(printablePath(folder), folderProblem);
        return false;
    }
    const QString manifest = QDir(serverDir).filePath(folder) + QLatin1Char('/') + manifestName();
    if (!QFileInfo(manifest).isFile()) {
        error = tr("The fallback's manifest %1 does not exist.").arg(nativePath(manifest));
        return false;
    }
    return true;
}
