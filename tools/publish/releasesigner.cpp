#include "releasesigner.h"

#include "publicationcheck.h"
#include "publishrules.h"
#include "signingkeyfile.h"

#include "deltaindex.h"
#include "releasestatement.h"
#include "reservednames.h"

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
    if (options.statementFormat < 0 || options.statementFormat > 2)
        errorList.append(tr("The statement format must be 1 or 2."));
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

bool ReleaseSigner::prepare(const QString &serverDir, quint64 descriptorRelease)
{
    errorList.clear();
    warningList.clear();
    path = statementPath(serverDir);
    previous.clear();
    hadPrevious = false;
    published = 0;
    publishedDescriptorSha256.clear();
    publishedManifestSha256.clear();
    SignedHashKind publishedFileHash = SignedHashKind::Blake2b;

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
            publishedFileHash = statement.fileHash;
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

    // a fleet whose updaters read format 1 only stays served until the vendor says otherwise
    if (options.statementFormat == 0)
        fileHashKind = publishedFileHash;
    else
        fileHashKind
            = options.statementFormat == 1 ? SignedHashKind::Sha256 : SignedHashKind::Blake2b;

    QString error;
    if (!fallbackFile.prepare(QDir(serverDir).filePath(fallbackStatementName()), error)) {
        errorList.append(error);
        return false;
    }
    // update.ini names a higher number than its statement: clients know that one, and nothing
    // update.sig states was published under it
    if (descriptorRelease > published) {
        published = descriptorRelease;
        publishedDescriptorSha256.clear();
        publishedManifestSha256.clear();
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
    statement.fileHash = fileHashKind;

    const QByteArray bytes = signedBytes(statement);
    if (bytes.isEmpty())
        return QByteArray();
    expiry = statement.expires;
    signedVersion = version;
    signedFolder = folder;
    // the index of patches is signed like a file, but is none of the release's
    signedFiles = fileHashes.size() - (fileHashes.contains(deltaIndexName()) ? 1 : 0);
    return bytes;
}

QByteArray ReleaseSigner::signFallback(const QByteArray &descriptor,
    const RolloutFallback &fallback, const QByteArray &manifest,
    const QMap<QString, QByteArray> &fileHashes)
{
    errorList.clear();
    if (secretKeys.isEmpty() || !expiry.isValid()) {
        errorList.append(tr("The release itself was not signed."));
        return QByteArray();
    }
    ReleaseStatement statement;
    statement.release = fallback.release;
    statement.version = fallback.version;
    statement.folder = fallback.folder;
    statement.issued = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    // clients need both, so both last as long
    statement.expires = expiry;
    statement.descriptorSha256 = sha256Hex(descriptor);
    statement.manifestSha256 = sha256Hex(manifest);
    statement.files = fileHashes;
    statement.fileHash = fileHashKind;
    return signedBytes(statement);
}

QByteArray ReleaseSigner::signFallbackOf(PublicationCheck &fallbackCheck)
{
    const bool passed = fallbackCheck.run();
    warningList += fallbackCheck.warnings();
    if (!passed) {
        errorList = fallbackCheck.problems();
        return QByteArray();
    }
    const UpdateDescriptor descriptor = fallbackCheck.descriptor();
    const RolloutFallback fallback {
        descriptor.fallbackFolder, descriptor.fallbackVersion, descriptor.fallbackRelease};
    return signFallback(fallbackCheck.descriptorBytes(), fallback, fallbackCheck.manifestBytes(),
        fallbackCheck.fileHashes());
}

QByteArray ReleaseSigner::signedBytes(const ReleaseStatement &statement)
{
    const QByteArray text = statementText(statement);
    QByteArray bytes = text;
    for (const QByteArray &key : qAsConst(secretKeys))
        bytes += signatureLine(text, key);

    // what a client reads back must be exactly what was meant, signed by every key
    ReleaseStatement readBack;
    QList<QByteArray> keysThatSigned;
    if (readSignedStatement(bytes, publicKeyList, readBack, &keysThatSigned) != StatementError::None
        || keysThatSigned != publicKeyList || statementText(readBack) != text
        || readBack.version != statement.version || readBack.folder != statement.folder
        || readBack.files != statement.files || readBack.fileHash != statement.fileHash) {
        errorList.append(tr("The signed statement does not read back as written."));
        return QByteArray();
    }
    return bytes;
}

bool ReleaseSigner::write(const QByteArray &statement, const QByteArray &fallbackStatement)
{
    errorList.clear();
    QString error;
    if (!fallbackFile.replace(fallbackStatement, error)) {
        errorList.append(error);
        return false;
    }
    QSaveFile file(path);
    // (flushed first: Qt 5.15's commit() misses a failure of the last buffered write)
    if (!file.open(QIODevice::WriteOnly) || file.write(statement) != statement.size()
        || !file.flush() || !file.commit()) {
        errorList.append(tr("Cannot write %1: %2").arg(nativePath(path), file.errorString()));
        if (!fallbackFile.restore())
            errorList.append(tr("Cannot restore %1.").arg(nativePath(fallbackFile.path())));
        return false;
    }
    return true;
}

bool ReleaseSigner::restorePrevious()
{
    const bool fallbackRestored = fallbackFile.restore();
    if (!hadPrevious)
        return (QFile::remove(path) || !QFileInfo::exists(path)) && fallbackRestored;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(previous) == previous.size()
        && file.flush() && file.commit() && fallbackRestored;
}

bool ReleaseSigner::resign(const QString &serverDir, std::function<void(quint64, quint64)> progress)
{
    if (secretKeys.isEmpty()) {
        errorList = QStringList(tr("No signing key was read."));
        return false;
    }
    // a publication whose update.ini names its number is signed again under that number:
    // clients compare the two, and another number would need another update.ini
    const quint64 descriptorRelease
        = readDescriptor(QDir(serverDir).filePath(descriptorName())).release;
    if (!prepare(serverDir, descriptorRelease))
        return false;
    if (descriptorRelease != 0) {
        if ((options.releaseNumber != 0 && options.releaseNumber != descriptorRelease)
            || descriptorRelease < published) {
            errorList.append(tr("update.ini names release %1, so the publication is signed "
                                "again under that number only; to give it another one, change "
                                "its rollout with --rollout P SERVER_DIR or publish it again.")
                                 .arg(descriptorRelease));
            return false;
        }
        number = descriptorRelease;
    }

    QByteArray statement;
    QByteArray fallbackStatement;
    return signPublication(serverDir, QByteArray(),
               readAll(QDir(serverDir).filePath(descriptorName())), std::move(progress), statement,
               fallbackStatement, warningList)
        && write(statement, fallbackStatement);
}

bool ReleaseSigner::signPublication(const QString &serverDir, const QByteArray &descriptorBytes,
    const QByteArray &onDisk, std::function<void(quint64, quint64)> progress, QByteArray &statement,
    QByteArray &fallbackStatement, QStringList &warnings)
{
    // the files as clients would find them: a release that does not match its manifest is not
    // signed
    PublicationCheck check(serverDir);
    if (!descriptorBytes.isNull())
        check.setDescriptorBytes(descriptorBytes);
    check.setCollectingForSigning(fileHashKind);
    check.setProgressHandler(std::move(progress));
    const bool passed = check.run();
    warnings += check.warnings();
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
    statement = sign(check.descriptorBytes(), check.manifestBytes(), descriptor.version,
        descriptor.folder, check.fileHashes());
    if (statement.isEmpty())
        return false;
    fallbackStatement.clear();
    if (descriptor.hasFallback()) {
        PublicationCheck fallbackCheck(serverDir);
        fallbackCheck.setDescriptorBytes(check.descriptorBytes());
        fallbackCheck.setCheckingFallback(true);
        fallbackCheck.setCollectingForSigning(fileHashKind);
        fallbackStatement = signFallbackOf(fallbackCheck);
        if (fallbackStatement.isEmpty())
            return false;
    }
    // a publication replaced meanwhile would get statements that none of it matches
    const QString manifestPath
        = QDir(serverDir).filePath(descriptor.folder) + QLatin1Char('/') + manifestName();
    if (readAll(QDir(serverDir).filePath(descriptorName())) != onDisk
        || readAll(manifestPath) != check.manifestBytes()) {
        errorList.append(tr("update.ini or md5.txt changed while the release was being signed."));
        return false;
    }
    return true;
}
