#ifndef RELAUNCH_H
#define RELAUNCH_H

#include <QString>
#include <QStringList>

// The host's arguments: the updater's own path (in native separators), then "no_check".
QStringList hostArguments();
// Starts the host detached and without the updater's administrator rights where the desktop's
// shell can start it; false when nothing could be started. Callers ignore the result.
bool relaunchHost(QString hostProgram);

#endif // RELAUNCH_H
