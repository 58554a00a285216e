#include "descriptor.h"

#include "deltaindex.h"
#include "plainini.h"

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
    return descriptor;
}

UpdateDescriptor readDescriptor(const QString &path)
{
    // read from the file each time: QSettings would keep what it read of a path and could hand a
    // retry the values of a descriptor of the same size saved within the same millisecond
    QFile file(path);
    return parseDescriptor(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
}
