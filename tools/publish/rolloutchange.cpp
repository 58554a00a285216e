#include "rolloutchange.h"

#include "publicationcheck.h"
#include "publishrules.h"
#include "replacedfile.h"

#include "reservednames.h"
#include "rollout.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {
QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

RolloutChange::RolloutChange(const SigningOptions &signing, int share, const QString &serverDir)
    : releaseSigner(signing)
    , share(share)
    , serverDir(serverDir)
{ }

bool RolloutChange::checkArguments()
{
    errorList.clear();
    if (releaseSigner.isEnabled() && !releaseSigner.checkArguments())
        errorList = releaseSigner.errors();
    return errorList.isEmpty();
}

bool RolloutChange::run(std::function<void(quint64, quint64)> progress)
{
    errorList.clear();
    warningList.clear();
    LivePublication live;
    QString error;
    if (!LivePublicationRules::read(serverDir, live, error)) {
        errorList.append(error);
        return false;
    }
    if (!live.hasDescriptor) {
        errorList.append(tr("%1 holds no update.ini: there is no publication to change.")
                             .arg(nativePath(serverDir)));
        return false;
    }
    const bool signing = releaseSigner.isEnabled();
    if (live.hasStatement && !signing) {
        errorList.append(tr("%1 exists: the publication is signed, and clients that check "
                            "signatures would refuse an update.ini changed without a new "
                            "statement. Give --sign KEYFILE.")
                             .arg(nativePath(ReleaseSigner::statementPath(serverDir))));
        return false;
    }

    // a new update.ini under the published number would be another release under it
    quint64 number = 0;
    ReplacedFile staleFallbackStatement;
    if (signing) {
        if (!releaseSigner.prepare(serverDir, live.descriptor.release)) {
            errorList = releaseSigner.errors();
            return false;
        }
        warningList += releaseSigner.warnings();
        number = releaseSigner.releaseNumber();
    } else if (!LivePublicationRules::releaseNumber(live, 0, number, error)
        || !staleFallbackStatement.prepare(
            QDir(serverDir).filePath(fallbackStatementName()), error)) {
        errorList.append(error);
        return false;
    }

    QByteArray bytes;
    if (!rewrite(live, number, bytes))
        return false;
    QByteArray statement;
    QByteArray fallbackStatement;
    if (signing) {
        if (!sign(bytes, live, std::move(progress), statement, fallbackStatement)
            || !releaseSigner.write(statement, fallbackStatement)) {
            errorList += releaseSigner.errors();
            return false;
        }
    } else if (!staleFallbackStatement.replace(QByteArray(), error)) {
        errorList.append(error);
        return false;
    }

    const QString path = QDir(serverDir).filePath(descriptorName());
    QSaveFile file(path);
    // (flushed first: Qt 5.15's commit() misses a failure of the last buffered write)
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()
        || !file.commit()) {
        errorList.append(tr("Cannot write %1: %2").arg(nativePath(path), file.errorString()));
        // the old update.ini stays, and so must the statements that match it
        const bool restored
            = signing ? releaseSigner.restorePrevious() : staleFallbackStatement.restore();
        if (!restored)
            errorList.append(tr("Cannot restore the statements beside it; publish again."));
        return false;
    }
    return true;
}

bool RolloutChange::rewrite(const LivePublication &live, quint64 number, QByteArray &bytes)
{
    // QSettings writes it again, as the publisher wrote it, every other key kept
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        errorList.append(tr("Cannot create a temporary directory: %1").arg(scratch.errorString()));
        return false;
    }
    const QString scratchPath = scratch.filePath(descriptorName());
    QFile copy(scratchPath);
    if (!copy.open(QIODevice::WriteOnly)
        || copy.write(live.descriptorBytes) != live.descriptorBytes.size() || !copy.flush()) {
        errorList.append(
            tr("Cannot write %1: %2").arg(nativePath(scratchPath), copy.errorString()));
        return false;
    }
    copy.close();
    {
        QSettings settings(scratchPath, QSettings::IniFormat);
        settings.setValue(rolloutPercentKey(), rolloutPercentText(share));
        settings.setValue(releaseNumberKey(), QString::number(number));
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            errorList.append(tr("%1 is not an INI file that can be written again; publish the "
                                "release again.")
                                 .arg(nativePath(QDir(serverDir).filePath(descriptorName()))));
            return false;
        }
    }
    bytes = readAll(scratchPath);

    // the updater must read everything but the share and the number as before
    written = parseDescriptor(bytes);
    const UpdateDescriptor &before = live.descriptor;
    if (written.updateType != before.updateType || written.folder != before.folder
        || written.version != before.version || written.deltaIndex != before.deltaIndex
        || written.fallbackFolder != before.fallbackFolder
        || written.fallbackVersion != before.fallbackVersion
        || written.fallbackRelease != before.fallbackRelease || written.release != number
        || written.rolloutShare != share) {
        errorList.append(tr("The updater reads update.ini differently once Qt writes it again; "
                            "publish the release again."));
        return false;
    }
    return true;
}

bool RolloutChange::sign(const QByteArray &bytes, const LivePublication &live,
    std::function<void(quint64, quint64)> progress, QByteArray &statement,
    QByteArray &fallbackStatement)
{
    // (its errors are the signer's)
    return releaseSigner.signPublication(serverDir, bytes, live.descriptorBytes,
        std::move(progress), statement, fallbackStatement, warningList);
}
