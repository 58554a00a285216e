#include "publicationcheck.h"

#include "publishrules.h"

#include "deltaindex.h"
#include "digest.h"
#include "manifest.h"
#include "releasestatement.h"
#include "reservednames.h"

#include <QSettings>
#include <QTemporaryFile>

namespace {
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

QString PublicationCheck::statementFile() const
{
    return checkingFallback ? fallbackStatementName() : statementName();
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
    fallback.reset();

    if (!loadDescriptor())
        return false;
    if (checkingFallback) {
        folderName = clientDescriptor.fallbackFolder;
        versionText = clientDescriptor.fallbackVersion;
        if (folderName.isEmpty()) {
            problemList.append(tr("update.ini names no fallback release."));
            return false;
        }
        if (clientDescriptor.fallbackRelease == 0)
            problemList.append(tr("update.ini names the fallback \"%1\" without its release "
                                  "number (FallbackRelease); clients never move an installation "
                                  "to a release whose number they cannot compare.")
                                   .arg(printablePath(folderName)));
    }

    QString folderProblem;
    if (!checkFolderName(folderName, folderProblem)) {
        problemList.append(tr("The folder \"%1\" named in update.ini %2.")
                               .arg(printablePath(folderName), folderProblem));
        return false;
    }
    QString missingFolder;
    if (!source->checkFolder(folderName, missingFolder)) {
        problemList.append(missingFolder);
        return false;
    }

    // asked for in the order the updater asks: update.sig before md5.txt
    QByteArray statementBytes;
    QString statementError;
    QString error;
    PublicationSource::Outcome statementOutcome = PublicationSource::Outcome::Missing;
    if (!collecting())
        statementOutcome = source->read(QString(), statementFile(), statementBytes, statementError);

    const QString manifestShown = source->shownName(folderName, manifestName());
    const PublicationSource::Outcome manifestRead
        = source->read(folderName, manifestName(), manifestData, error);
    if (manifestRead != PublicationSource::Outcome::Read) {
        problemList.append(readProblem(manifestRead, manifestShown, error));
        return false;
    }

    if (!collecting()
        && (!trustedKeys.isEmpty() || statementRequired
            || statementOutcome != PublicationSource::Outcome::Missing))
        checkStatement(statementOutcome, statementBytes, statementError);
    checkManifestLines(manifestData);
    checkFiles(manifestData);
    if (!collecting() && !checkingFallback)
        checkRollout();
    return problemList.isEmpty();
}

bool PublicationCheck::loadDescriptor()
{
    const QString descriptorShown = source->shownName(QString(), descriptorName());
    if (!givenDescriptor.isNull()) {
        descriptorData = givenDescriptor;
    } else {
        QString error;
        const PublicationSource::Outcome descriptorRead
            = source->read(QString(), descriptorName(), descriptorData, error);
        if (descriptorRead != PublicationSource::Outcome::Read) {
            problemList.append(readProblem(descriptorRead, descriptorShown, error));
            return false;
        }
    }
    // read back from a file, as the updater reads the copy it saves
    QTemporaryFile descriptorPath;
    if (!descriptorPath.open() || descriptorPath.write(descriptorData) != descriptorData.size()
        || !descriptorPath.flush()) {
        problemList.append(
            tr("Cannot write a copy of %1: %2").arg(descriptorShown, descriptorPath.errorString()));
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
    if (versionText.trimmed().isEmpty() && !checkingFallback)
        warningList.append(tr("update.ini names no version text; users see an empty version."));
    // what a signed statement is compared with: the values exactly as the updater reads them
    clientDescriptor = readDescriptor(descriptorPath.fileName());
    return true;
}
