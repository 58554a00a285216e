#ifndef RELAUNCH_H
#define RELAUNCH_H

#include <QString>
#include <QStringList>

// The host's arguments: the updater's own path, then "no_check".
QStringList hostArguments();
// Starts the host detached; false when nothing could be started. Callers ignore the result.
bool relaunchHost(QString hostProgram);

#endif // RELAUNCH_H
