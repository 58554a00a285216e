#include "progressmeter.h"

#include <QIODevice>
#include <QLocale>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
constexpr qint64 RedrawIntervalMs = 100;

QString dataSize(quint64 bytes)
{
    return QLocale::c().formattedDataSize(qint64(bytes), 1);
}
} // namespace

ProgressMeter::ProgressMeter(QIODevice *output, const QString &label)
    : output(output)
    , label(label)
{ }

void ProgressMeter::update(quint64 done, quint64 total)
{
    lastDone = done;
    lastTotal = total;
    lastDrawn = false;
    if (sinceDrawn.isValid() && !sinceDrawn.hasExpired(RedrawIntervalMs))
        return;
    draw(done, total);
}

void ProgressMeter::finish()
{
    if (!sinceDrawn.isValid())
        return;
    if (!lastDrawn)
        draw(lastDone, lastTotal);
    output->write("\n");
    sinceDrawn.invalidate();
    drawnWidth = 0;
}

bool ProgressMeter::standardErrorIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

void ProgressMeter::draw(quint64 done, quint64 total)
{
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    QString text = QStringLiteral("%1: %2 of %3 (%4%)")
                       .arg(label, dataSize(done), dataSize(total))
                       .arg(percent);
    const int width = text.size();
    // blank out what is left of a longer previous line
    if (width < drawnWidth)
        text += QString(drawnWidth - width, QLatin1Char(' '));
    drawnWidth = width;
    output->write(QByteArray(1, '\r') + text.toLocal8Bit());
    sinceDrawn.start();
    lastDrawn = true;
}
