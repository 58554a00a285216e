#ifndef CONSOLEOUTPUT_H
#define CONSOLEOUTPUT_H

#include <QString>

#include <cstdio>

// update-publish's name, as it opens every line of an error or a warning
extern const char PublishProgramName[];

// the text in the local 8-bit encoding, written and flushed at once
void print(FILE *stream, const QString &text);
// "update-publish: MESSAGE" on standard error
void printError(const QString &message);

#endif // CONSOLEOUTPUT_H
