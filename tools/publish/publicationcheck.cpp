#include "publicationcheck.h"

#include "publishrules.h"

#include "deltaindex.h"
#include "digest.h"
#include "manifest.h"
#include "releasestatement.h"

#include <QDateTime>
#include <QDir>
#include <QSet>
#include <QSettings>
#include <QTemporaryFile>

namespace {
QString shownTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
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

// update.ini or md5.txt not read
QString readProblem(PublicationSource::Outcome outcome, const QString &shown, const QString &error)
{
    if (outcome != PublicationSource::Outcome::Missing
        && outcome != PublicationSource::Outcome::NotFile)
        return PublicationCheck::tr("Cannot read %1: %2").arg(shown, error);
    return error.isEmpty() ? PublicationCheck::tr("%1 does not exist.").arg(shown)
                           : PublicationCheck::tr("%1 does not exist: %2.").arg(shown, error);
}
} // namespace

PublicationCheck::PublicationCheck(const QString &serverDir)
    : source(new DirectorySource(serverDir))
{ }

PublicationCheck::PublicationCheck(std::unique_ptr<PublicationSource> source)
    : source(std::move(source))
{ }

bool PublicationCheck::isServerUrl(const QString &location)
{
    return location.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
        || location.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

void PublicationCheck::setProgressHandler(std::function<void(quint64, quint64)> handler)
{
    progress = std::move(handler);
}

bool PublicationCheck::run()
{
    problemList.clear();
    warningList.clear();
    checkedFiles = 0;
    clientDescriptor = UpdateDescriptor();
    descriptorData.clear();
    manifestData.clear();
    hashes.clear();
    statementRead = false;
    releaseStatement = ReleaseStatement();
    signers.clear();

    const QString descriptorShown = source->shownName(QString(), descriptorName());
    QString error;
    const PublicationSource::Outcome descriptorRead
        = source->read(QString(), descriptorName(), descriptorData, error);
    if (descriptorRead != PublicationSource::Outcome::Read) {
        problemList.append(readProblem(descriptorRead, descriptorShown, error));
        return false;
    }
    // read back from a file, as the updater reads the copy it saves
    QTemporaryFile descriptorPath;
    if (!descriptorPath.open() || descriptorPath.write(descriptorData) != descriptorData.size()
        || !descriptorPath.flush()) {
        problemList.append(tr("Cannot write a copy of %1: %2")
                               .arg(descriptorShown, descriptorPath.errorString()));
        return false;
    }
    descriptorPath.close();
    // the same keys and defaults the updater uses
    QSettings descriptor(descriptorPath.fileName(), QSettings::IniFormat);
    if (descriptor.status() != QSettings::NoError) {
        problemList.append(tr("%1 is not a readable INI file.").arg(descriptorShown));
        return false;
    }
    updateType = descriptor.value(QStringLiteral("Summary/UpdateType"), 1).toInt();
    folderName
        = descriptor.value(QStringLiteral("Version/Folder"), QStringLiteral("Base")).toString();
    versionText = descriptor.value(QStringLiteral("Version/Version")).toString();
    if (versionText.trimmed().isEmpty())
        warningList.append(tr("update.ini names no version text; users see an empty version."));
    // what a signed statement is compared with: the values exactly as the updater reads them
    clientDescriptor = readDescriptor(descriptorPath.fileName());

    const QString folderProblem = folderNameProblem(folderName);
    if (!folderProblem.isEmpty()) {
        problemList.append(tr("The folder \"%1\" named in update.ini %2.")
                               .arg(printablePath(folderName), folderProblem));
        return false;
    }
    const QString missingFolder = source->folderProblem(folderName);
    if (!missingFolder.isEmpty()) {
        problemList.append(missingFolder);
        return false;
    }

    // asked for in the order the updater asks: update.sig before md5.txt
    QByteArray statementBytes;
    QString statementError;
    PublicationSource::Outcome statementOutcome = PublicationSource::Outcome::Missing;
    if (!collecting)
        statementOutcome
            = source->read(QString(), statementName(), statementBytes, statementError);

    const QString manifestShown = source->shownName(folderName, manifestName());
    const PublicationSource::Outcome manifestRead
        = source->read(folderName, manifestName(), manifestData, error);
    if (manifestRead != PublicationSource::Outcome::Read) {
        problemList.append(readProblem(manifestRead, manifestShown, error));
        return false;
    }

    if (!collecting
        && (!trustedKeys.isEmpty() || statementOutcome != PublicationSource::Outcome::Missing))
        checkStatement(statementOutcome, statementBytes, statementError);
    checkManifestLines(manifestData);
    checkFiles(manifestData);
    return problemList.isEmpty();
}

void PublicationCheck::checkStatement(
    PublicationSource::Outcome outcome, const QByteArray &bytes, const QString &error)
{
    const QString path = source->shownName(QString(), statementName());
    switch (outcome) {
    case PublicationSource::Outcome::Read:
        break;
    case PublicationSource::Outcome::NotFile:
        problemList.append(tr("%1 is not a file.").arg(path));
        return;
    case PublicationSource::Outcome::Missing:
        problemList.append(tr("%1 does not exist; clients with PublicKeys in system.cfg "
                              "refuse an unsigned release.")
                               .arg(path));
        return;
    default:
        problemList.append(tr("Cannot read %1: %2").arg(path, error));
        return;
    }

    ReleaseStatement &statement = releaseStatement;
    // (a statement by no trusted key is read all the same, to say what else is wrong with it)
    const StatementError verdict = readSignedStatement(bytes, trustedKeys, statement, &signers);
    if (verdict == StatementError::Malformed
        || (verdict == StatementError::NotSigned && !readStatementText(bytes, statement))) {
        problemList.append(
            tr("%1 is not a release statement the updater can read.").arg(nativePath(path)));
        return;
    }
    switch (verdict) {
    case StatementError::Malformed:
        break;
    case StatementError::NotSigned: {
        QStringList signedBy;
        for (const QByteArray &key : qAsConst(signers))
            signedBy.append(keyText(key));
        if (!trustedKeys.isEmpty())
            problemList.append(
                tr("update.sig carries no valid signature by the keys given with --public-key "
                   "(valid signatures by: %1).")
                    .arg(signedBy.isEmpty() ? tr("none") : signedBy.join(QLatin1String(", "))));
        else if (bytes.contains("\nsignature "))
            problemList.append(tr("A signature in update.sig does not verify."));
        else
            problemList.append(tr("update.sig carries no signature."));
        break;
    }
    case StatementError::None:
        break;
    }
    statementRead = true;

    if (statement.descriptorSha256 != sha256Hex(descriptorData))
        problemList.append(
            tr("update.ini is not the one update.sig was signed for (its SHA-256 differs)."));
    if (statement.manifestSha256 != sha256Hex(manifestData))
        problemList.append(tr("md5.txt of folder %1 is not the one update.sig was signed for (its "
                              "SHA-256 differs).")
                               .arg(printablePath(clientDescriptor.folder)));
    if (statement.folder != clientDescriptor.folder)
        problemList.append(
            tr("update.sig names the folder \"%1\", update.ini \"%2\".")
                .arg(printablePath(statement.folder), printablePath(clientDescriptor.folder)));
    if (statement.version != clientDescriptor.version)
        problemList.append(
            tr("update.sig names the version \"%1\", update.ini \"%2\".")
                .arg(printablePath(statement.version), printablePath(clientDescriptor.version)));

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString resign = tr("re-sign it with update-publish --sign KEYFILE SERVER_DIR");
    if (statement.expires <= now)
        problemList.append(
            tr("update.sig expired at %1; %2.").arg(shownTime(statement.expires), resign));
    else if (statement.expires <= now.addDays(ExpiryWarningDays))
        warningList.append(tr("update.sig expires at %1, in less than %2 days; %3.")
                               .arg(shownTime(statement.expires))
                               .arg(ExpiryWarningDays)
                               .arg(resign));
    // clients take the newest signing time they have seen as the earliest possible "now"
    if (statement.issued > now.addSecs(60 * 60))
        warningList.append(tr("update.sig was issued at %1, later than this computer's clock; "
                              "clients that install it count every statement that expires "
                              "before then as expired.")
                               .arg(shownTime(statement.issued)));
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

void PublicationCheck::checkFiles(const QByteArray &bytes)
{
    const Manifest manifest = parseManifest(bytes);
    quint64 total = 0;
    for (const ManifestEntry &entry : manifest)
        total += entry.size;
    quint64 done = 0;
    if (progress)
        progress(0, total);

    // the SHA-256 comes from the same read as the digest text
    const bool hashing = collecting || statementRead;
    const QMap<QString, QByteArray> &signedHashes = releaseStatement.files;
    for (const ManifestEntry &entry : manifest) {
        ++checkedFiles;
        const QString shown = printablePath(entry.path);
        if (statementRead && !signedHashes.contains(entry.path))
            problemList.append(tr("\"%1\" has no SHA-256 in update.sig; clients refuse the "
                                  "release.")
                                   .arg(shown));
        DigestHasher hasher;
        Sha256Hasher sha256;
        quint64 read = 0;
        quint64 size = entry.size;
        QString error;
        const PublicationSource::Outcome outcome = source->stream(folderName, entry.path, size,
            [&](const char *data, qint64 length) {
                hasher.addData(data, length);
                if (hashing)
                    sha256.addData(data, length);
                read += quint64(length);
                if (progress)
                    progress(done + qMin(read, entry.size), total);
            },
            error);
        done += entry.size;
        const QString problem = streamProblem(outcome, shown, size, entry.size, error);
        if (!problem.isEmpty()) {
            problemList.append(problem);
            continue;
        }
        const QByteArray digest = hasher.digestText();
        if (digest != entry.digest)
            problemList.append(
                tr("\"%1\" differs from md5.txt: its digest is %2, md5.txt lists %3.")
                    .arg(shown, QString::fromLatin1(digest), QString::fromLatin1(entry.digest)));
        if (!hashing)
            continue;
        const QByteArray hash = sha256.hexDigest();
        hashes.insert(entry.path, hash);
        const auto signedHash = signedHashes.constFind(entry.path);
        if (statementRead && signedHash != signedHashes.cend() && *signedHash != hash)
            problemList.append(
                tr("\"%1\" differs from update.sig: its SHA-256 is %2, update.sig states %3.")
                    .arg(shown, QString::fromLatin1(hash), QString::fromLatin1(*signedHash)));
    }
    if (progress)
        progress(done, total);
    checkPatches(manifest);

    if (statementRead) {
        int unlisted = 0;
        for (auto it = signedHashes.cbegin(); it != signedHashes.cend(); ++it)
            unlisted += manifest.contains(it.key()) || it.key() == deltaIndexName() ? 0 : 1;
        if (unlisted > 0)
            warningList.append(
                tr("update.sig states the SHA-256 of %n file(s) md5.txt does not list.", nullptr,
                    unlisted));
    }
}

void PublicationCheck::checkPatches(const Manifest &manifest)
{
    // patches are optional: clients fetch whole files for any that is missing or wrong, so each
    // problem here costs bandwidth, never an installation
    // clients ask for the index only where update.ini announces it
    if (!clientDescriptor.deltaIndex && !source->seesUnannounced())
        return;
    QByteArray bytes;
    QString error;
    const PublicationSource::Outcome read
        = source->read(folderName, deltaIndexName(), bytes, error);
    if (read == PublicationSource::Outcome::Missing) {
        if (clientDescriptor.deltaIndex)
            problemList.append(error.isEmpty()
                    ? tr("update.ini announces patches, but %1 is missing.").arg(deltaIndexName())
                    : tr("update.ini announces patches, but %1 is missing: %2.")
                          .arg(deltaIndexName(), error));
        return;
    }
    if (!clientDescriptor.deltaIndex)
        warningList.append(tr("update.ini does not announce %1: clients use none of its patches. "
                              "Publish the release again with --delta-from.")
                               .arg(deltaIndexName()));
    if (read == PublicationSource::Outcome::Failed && !error.isEmpty()) {
        problemList.append(tr("Cannot read %1: %2")
                               .arg(source->shownName(folderName, deltaIndexName()), error));
        return;
    }
    QList<DeltaPatch> patches;
    if (!parseDeltaIndex(bytes, patches)) {
        problemList.append(tr("%1 is not an index of patches the updater can read.")
                               .arg(deltaIndexName()));
        return;
    }
    if (collecting || statementRead)
        hashes.insert(deltaIndexName(), sha256Hex(bytes));
    const QByteArray signedHash = releaseStatement.files.value(deltaIndexName());
    if (statementRead && signedHash != sha256Hex(bytes))
        problemList.append(tr("%1 is not the index update.sig signs; clients use none of its "
                              "patches. Sign the publication again.")
                               .arg(deltaIndexName()));
    for (const DeltaPatch &patch : qAsConst(patches)) {
        const QString shown = deltaPatchPath(patch);
        if (!manifest.contains(patch.path))
            problemList.append(tr("%1 lists a patch for \"%2\", which md5.txt does not list.")
                                   .arg(deltaIndexName(), printablePath(patch.path)));
        DigestHasher hasher;
        quint64 size = patch.size;
        const PublicationSource::Outcome outcome = source->stream(folderName, shown, size,
            [&hasher](const char *data, qint64 length) { hasher.addData(data, length); }, error);
        if (outcome == PublicationSource::Outcome::Read) {
            if (hasher.digestText() != patch.digest)
                problemList.append(
                    tr("The patch %1 differs from %2.").arg(shown, deltaIndexName()));
        } else if (outcome == PublicationSource::Outcome::Failed) {
            problemList.append(tr("Cannot read the patch %1: %2").arg(shown, error));
        } else {
            problemList.append(tr("The patch %1 is missing or has not the size %2 lists.")
                                   .arg(shown, deltaIndexName()));
        }
    }
}

QString PublicationCheck::streamProblem(PublicationSource::Outcome outcome, const QString &shown,
    quint64 size, quint64 listed, const QString &error) const
{
    switch (outcome) {
    case PublicationSource::Outcome::Read:
        return QString();
    case PublicationSource::Outcome::Missing:
        return error.isEmpty() ? tr("\"%1\" is missing.").arg(shown)
                               : tr("\"%1\" is missing: %2.").arg(shown, error);
    case PublicationSource::Outcome::NotFile:
        return tr("\"%1\" is not a regular file.").arg(shown);
    case PublicationSource::Outcome::WrongSize:
        return tr("\"%1\" has %2 bytes, md5.txt lists %3.").arg(shown).arg(size).arg(listed);
    case PublicationSource::Outcome::TooLong:
        return tr("\"%1\" has more bytes than the %2 md5.txt lists.").arg(shown).arg(listed);
    case PublicationSource::Outcome::Failed:
        break;
    }
    return tr("Cannot read \"%1\": %2").arg(shown, error);
}
