#include "releasesigner.h"

#include "publicationcheck.h"
#include "publishrules.h"
#include "signingkeyfile.h"

#include "deltaindex.h"
#include "releasestatement.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <limits>

namespace {
QByteArray readAll(const QString &path, bool *ok = nullptr)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    if (ok)
        *ok = opened;
    return opened ? file.readAll() : QByteArray();
}
} // namespace

ReleaseSigner::ReleaseSigner(const SigningOptions &options)
    : options(options)
{ }

ReleaseSigner::~ReleaseSigner()
{
    for (QByteArray &key : secretKeys)
        wipeBytes(key);
}

QString ReleaseSigner::statementPath(const QString &serverDir)
{
    return QDir(serverDir).filePath(QStringLiteral("update.sig"));
}

bool ReleaseSigner::checkArguments()
{
    errorList.clear();
    for (QByteArray &key : secretKeys)
        wipeBytes(key);
    secretKeys.clear();
    publicKeyList.clear();
    if (options.expiryDays < 1 || options.expiryDays > SigningOptions::MaxExpiryDays)
        errorList.append(tr("The expiry must be a whole number of days from 1 to %1.")
                             .arg(SigningOptions::MaxExpiryDays));
    for (const QString &file : qAsConst(options.keyFiles)) {
        QByteArray secretKey;
        QString error;
        if (!readSigningKeyFile(file, secretKey, error)) {
            errorList.append(error);
            continue;
        }
        const QByteArray publicKey = publicKeyOfSecretKey(secretKey);
        // the same key twice would only sign twice
        if (publicKeyList.contains(publicKey)) {
            wipeBytes(secretKey);
            continue;
        }
        secretKeys.append(secretKey);
        publicKeyList.append(publicKey);
    }
    return errorList.isEmpty();
}

bool ReleaseSigner::prepare(const QString &serverDir)
{
    errorList.clear();
    warningList.clear();
    path = statementPath(serverDir);
    previous.clear();
    hadPrevious = false;
    published = 0;
    publishedDescriptorSha256.clear();
    publishedManifestSha256.clear();

    const QFileInfo info(path);
    if (info.exists() || info.isSymLink()) {
        if (!info.isFile()) {
            errorList.append(tr("%1 is not a file.").arg(nativePath(path)));
            return false;
        }
        bool read = false;
        previous = readAll(path, &read);
        if (!read) {
            errorList.append(tr("Cannot read %1.").arg(nativePath(path)));
            return false;
        }
        hadPrevious = true;
        // only what it states matters here, whoever signed it
        ReleaseStatement statement;
        if (readStatementText(previous, statement)) {
            published = statement.release;
            publishedDescriptorSha256 = statement.descriptorSha256;
            publishedManifestSha256 = statement.manifestSha256;
        } else if (options.releaseNumber == 0) {
            errorList.append(tr("%1 is not a release statement this tool can read, so the "
                                "number of the published release is unknown; give "
                                "--release-number N, at least the number of the last release "
                                "clients installed.")
                                 .arg(nativePath(path)));
        } else {
            warningList.append(tr("%1 is not a release statement this tool can read; it is "
                                  "replaced.")
                                   .arg(nativePath(path)));
        }
    }

    if (options.releaseNumber == 0) {
        if (published == std::numeric_limits<quint64>::max())
            errorList.append(
                tr("The published release number %1 cannot grow any further.").arg(published));
        number = published + 1;
    } else {
        number = options.releaseNumber;
        if (number < published)
            errorList.append(tr("Release number %1 is lower than the published release %2; "
                                "clients that installed release %2 would refuse it as a "
                                "rollback.")
                                 .arg(number)
                                 .arg(published));
    }
    return errorList.isEmpty();
}

QByteArray ReleaseSigner::sign(const QByteArray &descriptor, const QByteArray &manifest,
    const QString &version, const QString &folder, const QMap<QString, QByteArray> &fileHashes)
{
    errorList.clear();
    if (secretKeys.isEmpty()) {
        errorList.append(tr("No signing key was read."));
        return QByteArray();
    }
    // Clients keep what they accepted under their highest number and refuse anything else
    // under it: a number stands for one release, signed again as often as it expires.
    const QByteArray descriptorSha256 = sha256Hex(descriptor);
    const QByteArray manifestSha256 = sha256Hex(manifest);
    if (published > 0 && number == published
        && (descriptorSha256 != publishedDescriptorSha256
            || manifestSha256 != publishedManifestSha256)) {
        errorList.append(tr("Release number %1 is published already, for another release "
                            "(update.ini or md5.txt differ); clients that installed it would "
                            "refuse this one. Give a higher --release-number, or none for the "
                            "next one.")
                             .arg(number));
        return QByteArray();
    }

    ReleaseStatement statement;
    statement.release = number;
    statement.version = version;
    statement.folder = folder;
    // whole seconds: the statement states no more
    statement.issued = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    statement.expires = statement.issued.addDays(options.expiryDays);
    statement.descriptorSha256 = descriptorSha256;
    statement.manifestSha256 = manifestSha256;
    statement.files = fileHashes;

    const QByteArray text = statementText(statement);
    QByteArray bytes = text;
    for (const QByteArray &key : qAsConst(secretKeys))
        bytes += signatureLine(text, key);

    // what a client reads back must be exactly what was meant, signed by every key
    ReleaseStatement readBack;
    QList<QByteArray> keysThatSigned;
    if (readSignedStatement(bytes, publicKeyList, readBack, &keysThatSigned) != StatementError::None
        || keysThatSigned != publicKeyList || statementText(readBack) != text
        || readBack.version != version || readBack.folder != folder
        || readBack.files != fileHashes) {
        errorList.append(tr("The signed statement does not read back as written."));
        return QByteArray();
    }
    expiry = statement.expires;
    signedVersion = version;
    signedFolder = folder;
    // the index of patches is signed like a file, but is none of the release's
    signedFiles = fileHashes.size() - (fileHashes.contains(deltaIndexName()) ? 1 : 0);
    return bytes;
}

bool ReleaseSigner::write(const QByteArray &statement)
{
    errorList.clear();
    QSaveFile file(path);
    // (flushed first: Qt 5.15's commit() misses a failure of the last buffered write)
    if (!file.open(QIODevice::WriteOnly) || file.write(statement) != statement.size()
        || !file.flush() || !file.commit()) {
        errorList.append(tr("Cannot write %1: %2").arg(nativePath(path), file.errorString()));
        return false;
    }
    return true;
}

bool ReleaseSigner::restorePrevious()
{
    if (!hadPrevious)
        return QFile::remove(path) || !QFileInfo::exists(path);
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(previous) == previous.size()
        && file.flush() && file.commit();
}

bool ReleaseSigner::resign(const QString &serverDir, std::function<void(quint64, quint64)> progress)
{
    if (secretKeys.isEmpty()) {
        errorList = QStringList(tr("No signing key was read."));
        return false;
    }
    if (!prepare(serverDir))
        return false;

    // the files as clients would find them: a release that does not match its manifest is not
    // signed
    PublicationCheck check(serverDir);
    check.setCollectingForSigning(true);
    check.setProgressHandler(std::move(progress));
    const bool passed = check.run();
    warningList += check.warnings();
    if (!passed) {
        errorList = check.problems();
        return false;
    }
    const UpdateDescriptor descriptor = check.descriptor();
    if (descriptor.folder != check.folder() || descriptor.version != check.version()) {
        errorList.append(tr("The updater reads update.ini differently from Qt (folder \"%1\", "
                            "version \"%2\"); publish the release again.")
                             .arg(descriptor.folder, descriptor.version));
        return false;
    }
    const QByteArray statement = sign(check.descriptorBytes(), check.manifestBytes(),
        descriptor.version, descriptor.folder, check.fileHashes());
    if (statement.isEmpty())
        return false;

    // a publication replaced meanwhile would get a statement that none of it matches
    const QString manifestPath
        = QDir(serverDir).filePath(descriptor.folder + QLatin1String("/md5.txt"));
    if (readAll(QDir(serverDir).filePath(QStringLiteral("update.ini"))) != check.descriptorBytes()
        || readAll(manifestPath) != check.manifestBytes()) {
        errorList.append(tr("update.ini or md5.txt changed while the release was being signed."));
        return false;
    }
    return write(statement);
}
