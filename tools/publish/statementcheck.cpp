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
