// PublicationCheck's reading of update.sig: its signatures, and what it states compared with
// update.ini, md5.txt and the clock, as a client that checks signatures compares them.
#include "publicationcheck.h"

#include "publishrules.h"

#include "digest.h"
#include "releasestatement.h"
#include "reservednames.h"

#include <QDateTime>

namespace {
QString shownTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}
} // namespace

void PublicationCheck::checkStatement(
    PublicationSource::Outcome outcome, const QByteArray &bytes, const QString &error)
{
    const QString file = statementFile();
    const QString path = source->shownName(QString(), file);
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
                tr("%1 carries no valid signature by the keys given with --public-key "
                   "(valid signatures by: %2).")
                    .arg(file,
                        signedBy.isEmpty() ? tr("none") : signedBy.join(QLatin1String(", "))));
        else if (bytes.contains("\nsignature "))
            problemList.append(tr("A signature in %1 does not verify.").arg(file));
        else
            problemList.append(tr("%1 carries no signature.").arg(file));
        break;
    }
    case StatementError::None:
        break;
    }
    statementRead = true;

    // the fallback's statement names the fallback release, bound to the same update.ini
    const QString folder
        = checkingFallback ? clientDescriptor.fallbackFolder : clientDescriptor.folder;
    const QString version
        = checkingFallback ? clientDescriptor.fallbackVersion : clientDescriptor.version;
    const quint64 release
        = checkingFallback ? clientDescriptor.fallbackRelease : clientDescriptor.release;
    if (statement.descriptorSha256 != sha256Hex(descriptorData))
        problemList.append(
            tr("update.ini is not the one %1 was signed for (its SHA-256 differs).").arg(file));
    if (statement.manifestSha256 != sha256Hex(manifestData))
        problemList.append(tr("md5.txt of folder %1 is not the one %2 was signed for (its "
                              "SHA-256 differs).")
                               .arg(printablePath(folder), file));
    if (statement.folder != folder)
        problemList.append(tr("%1 names the folder \"%2\", update.ini \"%3\".")
                               .arg(file, printablePath(statement.folder), printablePath(folder)));
    if (statement.version != version)
        problemList.append(
            tr("%1 names the version \"%2\", update.ini \"%3\".")
                .arg(file, printablePath(statement.version), printablePath(version)));
    // update.ini written before it named its number names none
    if (release != 0 && statement.release != release)
        problemList.append(tr("%1 names the release %2, update.ini %3.")
                               .arg(file)
                               .arg(statement.release)
                               .arg(release));

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString resign = tr("re-sign it with update-publish --sign KEYFILE SERVER_DIR");
    if (statement.expires <= now)
        problemList.append(
            tr("%1 expired at %2; %3.").arg(file, shownTime(statement.expires), resign));
    else if (statement.expires <= now.addDays(ExpiryWarningDays))
        warningList.append(tr("%1 expires at %2, in less than %3 days; %4.")
                               .arg(file, shownTime(statement.expires))
                               .arg(ExpiryWarningDays)
                               .arg(resign));
    // clients take the newest signing time they have seen as the earliest possible "now"
    if (statement.issued > now.addSecs(60 * 60))
        warningList.append(tr("%1 was issued at %2, later than this computer's clock; "
                              "clients that install it count every statement that expires "
                              "before then as expired.")
                               .arg(file, shownTime(statement.issued)));
}
