#include "rolloutchoice.h"

#include "installationid.h"
#include "publicationurls.h"
#include "releasefetch.h"
#include "reservednames.h"
#include "rollout.h"
#include "updateattempt.h"

#include <QCoreApplication>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcRollout, "updater.rollout")

namespace {
// the messages' translation context, in which the catalogs (translations/) hold them
struct Message
{
    Q_DECLARE_TR_FUNCTIONS(QObject)
};

// The publisher numbers its publications; an installation records the number of the release it
// took (signed: its statement's; unsigned: update.ini's). A fallback without a number, or one
// not above the installed release, would be a step back or a guess: it is not taken.
bool fallbackIsNewer(const UpdateAttempt &attempt)
{
    const quint64 fallback = attempt.descriptor.fallbackRelease;
    return fallback != 0 && fallback > attempt.installed.release;
}
} // namespace

bool chooseRolloutRelease(const UpdateAttempt &attempt, RolloutChoice &choice, QString &error)
{
    const UpdateDescriptor &descriptor = attempt.descriptor;
    if (!descriptor.rolloutValid) {
        error = Message::tr("升级描述文件中的发布比例不合法:%1").arg(descriptor.rolloutPercent);
        return false;
    }
    choice = RolloutChoice::Release;
    if (descriptor.rolloutShare >= RolloutBuckets)
        return true;
    if (descriptor.rolloutShare > 0) {
        QByteArray id;
        if (!installationId(attempt.context.installRoot, id, error)) {
            if (attempt.mayInstall)
                return false;
            // a check without the rights to make one leaves the share to the run that has them
            qCInfo(lcRollout, "no identifier yet (%s): the share is decided with the rights",
                qUtf8Printable(error));
            error.clear();
            return true;
        }
        const int bucket = rolloutBucket(id, descriptor.folder);
        qCInfo(lcRollout, "bucket %d of %d for %s, share %d", bucket, RolloutBuckets,
            qUtf8Printable(descriptor.folder), descriptor.rolloutShare);
        if (bucket < descriptor.rolloutShare)
            return true;
    }
    if (descriptor.hasFallback() && fallbackIsNewer(attempt)) {
        qCInfo(lcRollout, "left out of the rollout of %s: the fallback %s instead",
            qUtf8Printable(descriptor.folder), qUtf8Printable(descriptor.fallbackFolder));
        choice = RolloutChoice::Fallback;
    } else {
        qCInfo(lcRollout, "left out of the rollout of %s: nothing to update",
            qUtf8Printable(descriptor.folder));
        choice = RolloutChoice::Nothing;
    }
    return true;
}

bool takeFallback(UpdateAttempt &attempt, UpdateFrontend &frontend, QString &error)
{
    UpdateDescriptor fallback = attempt.descriptor;
    fallback.folder = attempt.descriptor.fallbackFolder;
    fallback.version = attempt.descriptor.fallbackVersion;
    fallback.release = attempt.descriptor.fallbackRelease;
    fallback.rolloutShare = RolloutBuckets;
    // its patches are not offered: the index of its folder was signed with it, long ago
    fallback.deltaIndex = false;
    if (attempt.signedRecord) {
        const UpdateContext &context = attempt.context;
        QByteArray statementBytes;
        QString reason;
        if (!fetchReleaseFile(context, frontend,
                serverRootFileUrl(context.baseUrl, fallbackStatementName()), statementBytes, reason,
                nullptr, MaxStatementSize)) {
            error = Message::tr("下载回退版本的签名文件失败:%1").arg(reason);
            return false;
        }
        ReleaseStatement statement;
        if (!verifyStatement(statementBytes, context.publicKeys, attempt.descriptorBytes, fallback,
                attempt.installed, QDateTime::currentDateTimeUtc(), statement, error))
            return false;
        attempt.statement = statement;
        attempt.signedRecord = recordAfter(attempt.installed, statement);
    }
    attempt.descriptor = fallback;
    attempt.fallback = true;
    return true;
}
