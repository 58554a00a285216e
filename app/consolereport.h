#ifndef CONSOLEREPORT_H
#define CONSOLEREPORT_H

#include <QByteArray>
#include <QString>

// One report as compact JSON: {"errormsg":"...","success":...,"update":...}, raw UTF-8.
QByteArray consoleResultJson(bool success, bool update, const QString &errormsg);
// Writes one report to the console output, with no line break, and flushes it.
void printConsoleResult(bool success, bool update, QString errormsg);
// Writes the bytes to the console output as they are: standard output, or where
// setConsoleOutput sends it.
void writeConsoleOutput(const QByteArray &bytes);
// Sends the console output to output in place of standard output (an updater started elevated
// writes its reports into the pipe of the one that started it); null: standard output again.
void setConsoleOutput(void (*output)(const QByteArray &bytes));

#endif // CONSOLEREPORT_H
