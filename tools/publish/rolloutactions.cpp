// update-publish --in-rollout, and the lines on a rollout the other actions print.
#include "publishactions.h"

#include "consoleoutput.h"
#include "publicationcheck.h"
#include "publicationsource.h"
#include "publishcommand.h"
#include "publishrules.h"

#include "descriptor.h"
#include "reservednames.h"
#include "rollout.h"

#include <QCoreApplication>
#include <QDir>

#include <memory>

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("PublishCommand", text);
}

QString fallbackText(const UpdateDescriptor &descriptor)
{
    return tr("the fallback version \"%1\" in folder %2 (release %3)")
        .arg(printablePath(descriptor.fallbackVersion), printablePath(descriptor.fallbackFolder))
        .arg(descriptor.fallbackRelease);
}
} // namespace

QString rolloutSummary(const UpdateDescriptor &descriptor)
{
    if (descriptor.rolloutPercent.isEmpty() && !descriptor.hasFallback())
        return QString();
    if (!descriptor.rolloutValid)
        return tr("Rollout: Percent \"%1\" is no percentage.\n")
            .arg(printablePath(descriptor.rolloutPercent));
    const QString share = descriptor.rolloutShare == 0
        ? tr("halted: no installation starts this release")
        : tr("%1% of the installations take this release")
              .arg(rolloutPercentText(descriptor.rolloutShare));
    const QString others = descriptor.hasFallback()
        ? tr("the others update to %1").arg(fallbackText(descriptor))
        : tr("the others have nothing to update");
    return tr("Rollout: %1;\n  %2.\n").arg(share, others);
}

int showInRollout(
    const QByteArray &installationId, const QString &location, const ProxySetting &proxy)
{
    const bool remote = PublicationCheck::isServerUrl(location);
    std::unique_ptr<PublicationSource> source;
    if (remote)
        source = std::make_unique<ServerSource>(location, proxy);
    else
        source = std::make_unique<DirectorySource>(location);
    QByteArray bytes;
    QString error;
    const PublicationSource::Outcome read = source->read(QString(), descriptorName(), bytes, error);
    if (read != PublicationSource::Outcome::Read) {
        const QString shown = source->shownName(QString(), descriptorName());
        printError(error.isEmpty() ? tr("Cannot read %1.").arg(shown)
                                   : tr("Cannot read %1: %2").arg(shown, error));
        return PublishFailed;
    }
    const UpdateDescriptor descriptor = parseDescriptor(bytes);
    if (!descriptor.rolloutValid) {
        printError(tr("update.ini's Percent \"%1\" in [Rollout] is no percentage; run --check.")
                       .arg(printablePath(descriptor.rolloutPercent)));
        return PublishFailed;
    }

    // the rule every client applies, with the live release's folder
    const int bucket = rolloutBucket(installationId, descriptor.folder);
    const bool in = takesPart(installationId, descriptor.folder, descriptor.rolloutShare);
    const QString release
        = tr("version \"%1\" in folder %2")
              .arg(printablePath(descriptor.version), printablePath(descriptor.folder));
    const QString where = tr("(bucket %1 of %2, share %3, that is %4%)")
                              .arg(bucket)
                              .arg(RolloutBuckets)
                              .arg(descriptor.rolloutShare)
                              .arg(rolloutPercentText(descriptor.rolloutShare));
    const QString id = QString::fromLatin1(installationId);
    if (in) {
        print(stdout, tr("%1 is in the rollout of %2 %3.\n").arg(id, release, where));
        return PublishSucceeded;
    }
    const QString instead = descriptor.hasFallback()
        ? tr("it updates to %1, unless it has that release or a newer one")
              .arg(fallbackText(descriptor))
        : tr("nothing to update");
    print(stdout,
        tr("%1 is not in the rollout of %2 %3; %4. An installation that has %2 already keeps "
           "it.\n")
            .arg(id, release, where, instead));
    return PublishNotInRollout;
}
