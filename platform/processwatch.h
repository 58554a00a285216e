#ifndef PROCESSWATCH_H
#define PROCESSWATCH_H

#include <QString>

// How a process that this one did not start (the desktop's shell started it) ended.
struct ProgramEnd
{
    enum class Status {
        NotFound, // no process of the program appeared in time (or not Windows)
        Running, // still running when the time was up
        Ended, // exitCode holds its exit code (a crash: the exception's code)
    };
    Status status = Status::NotFound;
    quint32 exitCode = 0;
};

// A point in time to compare processes' creation times with: taken before the program is
// started, so that an instance that ran already is never taken for the new one.
qint64 processTimeNow();

// Windows: looks, for up to findMs, for a process started from program (its image path
// compared without regard to case) at or after since, through a snapshot of the processes, and
// waits for it until watchMs have passed since it was found. Elsewhere: NotFound.
ProgramEnd waitForProgram(const QString &program, qint64 since, int findMs, int watchMs);

#endif // PROCESSWATCH_H
