#include "consoleoutput.h"

#include <QByteArray>
#include <QLatin1String>

const char PublishProgramName[] = "update-publish";

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void printError(const QString &message)
{
    print(stderr,
        QLatin1String(PublishProgramName) + QLatin1String(": ") + message + QLatin1Char('\n'));
}
