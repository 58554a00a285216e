#ifndef CONSOLEREPORT_H
#define CONSOLEREPORT_H

#include <QByteArray>
#include <QString>

// One report as compact JSON: {"errormsg":"...","success":...,"update":...}, raw UTF-8.
QByteArray consoleResultJson(bool success, bool update, const QString &errormsg);
// Writes one report to standard output, with no line break, and flushes it.
void printConsoleResult(bool success, bool update, QString errormsg);

#endif // CONSOLEREPORT_H
