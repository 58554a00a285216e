#include "descriptor.h"

#include "deltaindex.h"
#include "plainini.h"
#include "rollout.h"

#include <QBuffer>
#include <QFile>

UpdateDescriptor parseDescriptor(const QByteArray &bytes)
{
    QSettings::SettingsMap values;
    QBuffer buffer;
    buffer.setData(bytes);
    if (buffer.open(QIODevice::ReadOnly))
        readPlainIni(buffer, values);
    UpdateDescriptor descriptor;
    // a value that is not a whole number reads as 0, an optional update
    descriptor.updateType = plainIniValue(values, QStringLiteral("Summary/UpdateType"), 1).toInt();
    descriptor.folder
        = plainIniValue(values, QStringLiteral("Version/Folder"), QStringLiteral("Base"))
              .toString();
    descriptor.version = plainIniValue(values, QStringLiteral("Version/Version")).toString();
    descriptor.deltaIndex = plainIniValue(values, deltaIndexKey()).toString() == deltaIndexName();
    descriptor.release = parseReleaseNumber(plainIniValue(values, releaseNumberKey()).toString());
    // a key that is there but empty, or a list ("12,5" with a decimal comma), is no percentage:
    // it is never read as no key at all, which means everyone
    const QVariant percent = plainIniValue(values, rolloutPercentKey());
    if (percent.isValid()) {
        descriptor.rolloutPercent = percent.type() == QVariant::StringList
            ? percent.toStringList().join(QLatin1Char(','))
            : percent.toString();
        descriptor.rolloutValid
            = parseRolloutPercent(descriptor.rolloutPercent, descriptor.rolloutShare);
    }
    descriptor.fallbackFolder = plainIniValue(values, fallbackFolderKey()).toString();
    descriptor.fallbackVersion = plainIniValue(values, fallbackVersionKey()).toString();
    descriptor.fallbackRelease
        = parseReleaseNumber(plainIniValue(values, fallbackReleaseKey()).toString());
    return descriptor;
}

QString releaseNumberKey()
{
    return QStringLiteral("Version/Release");
}

QString rolloutPercentKey()
{
    return QStringLiteral("Rollout/Percent");
}

QString fallbackFolderKey()
{
    return QStringLiteral("Rollout/Fallback");
}

QString fallbackVersionKey()
{
    return QStringLiteral("Rollout/FallbackVersion");
}

QString fallbackReleaseKey()
{
    return QStringLiteral("Rollout/FallbackRelease");
}

quint64 parseReleaseNumber(const QString &text)
{
    bool ok = false;
    const quint64 number = text.toULongLong(&ok);
    return ok && QString::number(number) == text ? number : 0;
}

UpdateDescriptor readDescriptor(const QString &path)
{
    // read from the file each time: QSettings would keep what it read of a path and could hand a
    // retry the values of a descriptor of the same size saved within the same millisecond
    QFile file(path);
    return parseDescriptor(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
}
