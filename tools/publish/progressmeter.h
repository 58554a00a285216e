#ifndef PROGRESSMETER_H
#define PROGRESSMETER_H

#include <QElapsedTimer>
#include <QString>

class QIODevice;

// A one-line progress display for a terminal, rewritten in place with '\r'. Redrawn at most
// ten times a second however often it is updated, so hashing does not wait for the terminal.
class ProgressMeter
{
public:
    ProgressMeter(QIODevice *output, const QString &label);

    void update(quint64 done, quint64 total);
    // ends the line, when anything was drawn
    void finish();

    // whether the standard error stream is a terminal, the only place progress belongs
    static bool standardErrorIsTerminal();

private:
    void draw(quint64 done, quint64 total);

    QIODevice *output = nullptr;
    QString label;
    QElapsedTimer sinceDrawn;
    int drawnWidth = 0;
    quint64 lastDone = 0;
    quint64 lastTotal = 0;
    bool lastDrawn = false;
};

#endif // PROGRESSMETER_H
