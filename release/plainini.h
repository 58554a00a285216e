#ifndef PLAININI_H
#define PLAININI_H

#include <QSettings>

// An INI format for QSettings that reads values as text only. Qt's own INI reader turns any value
// written as @Variant(...) into an object through QDataStream while it loads the file, so a file
// from the network could make it reserve unbounded memory or recurse until the stack is gone.
// This reader understands what update.ini needs (sections, key=value, comments, quotes and
// backslash escapes as Qt writes them) and never decodes a value into anything but a string.
QSettings::Format plainIniFormat();

// the reading half, exposed for tests: false only when the device cannot be read
bool readPlainIni(QIODevice &device, QSettings::SettingsMap &map);
// a value of what readPlainIni read, its key compared as Qt compares INI keys on this platform
// (without regard to letter case on Windows)
QVariant plainIniValue(const QSettings::SettingsMap &map, const QString &key,
    const QVariant &defaultValue = QVariant());

#endif // PLAININI_H
