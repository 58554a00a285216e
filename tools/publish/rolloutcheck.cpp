// PublicationCheck's reading of a staged rollout: the share update.ini gives the release, and
// the fallback release that the installations outside it update to, checked as a client that
// goes there would check it.
#include "publicationcheck.h"

#include "publishrules.h"

#include "reservednames.h"

void PublicationCheck::checkRollout()
{
    const UpdateDescriptor &descriptor = clientDescriptor;
    if (!descriptor.rolloutValid)
        problemList.append(tr("update.ini's Percent \"%1\" in [Rollout] is not a percentage from 0 "
                              "to 100 with at most four decimals.")
                               .arg(printablePath(descriptor.rolloutPercent)));
    // (looked for in a directory only: clients never ask for it)
    if (!descriptor.hasFallback() && source->seesUnannounced()) {
        QByteArray bytes;
        QString error;
        if (source->read(QString(), fallbackStatementName(), bytes, error)
            == PublicationSource::Outcome::Read)
            warningList.append(tr("%1 is left from an earlier rollout; update.ini names no "
                                  "fallback, so clients do not read it.")
                                   .arg(source->shownName(QString(), fallbackStatementName())));
    }
    if (!descriptor.hasFallback())
        return;
    if (descriptor.release != 0 && descriptor.fallbackRelease >= descriptor.release)
        problemList.append(tr("The fallback's release %1 is not older than release %2 that "
                              "update.ini publishes.")
                               .arg(descriptor.fallbackRelease)
                               .arg(descriptor.release));

    // the same source, the same update.ini: what clients outside the share go on to fetch
    fallback = std::make_shared<PublicationCheck>(std::unique_ptr<PublicationSource>());
    fallback->source = source;
    fallback->trustedKeys = trustedKeys;
    fallback->givenDescriptor = descriptorData;
    fallback->checkingFallback = true;
    fallback->statementRequired = statementRead || !trustedKeys.isEmpty();
    fallback->progress = progress;
    fallback->run();
    const QString shown = printablePath(descriptor.fallbackFolder);
    for (const QString &problem : fallback->problems())
        problemList.append(tr("Fallback %1: %2").arg(shown, problem));
    for (const QString &warning : fallback->warnings())
        warningList.append(tr("Fallback %1: %2").arg(shown, warning));
}
