#ifndef ELEVATEDSTART_H
#define ELEVATEDSTART_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// How a run of a program with administrator rights ended.
struct ElevatedRun
{
    enum class Status {
        Finished, // it ran and ended: exitCode and report are its own
        Refused, // the user refused the prompt
        Failed, // it could not be started or waited for: error says why
    };
    Status status = Status::Failed;
    int exitCode = -1;
    QByteArray report; // what it wrote into the report pipe, at most MaxElevatedReport bytes
    QString error;
};

// more than any run's console reports; what comes beyond is read and dropped
constexpr int MaxElevatedReport = 16 * 1024;

// Starts file with the parameters (one command line) in directory with administrator rights and
// returns the process's handle (Windows), or nullptr with the system's error code in error
// (ERROR_CANCELLED: the prompt was refused).
using ElevatedStarter = std::function<void *(const QString &file, const QString &parameters,
    const QString &directory, unsigned long &error)>;
// the shell's "runas": the UAC prompt
void *shellStartElevated(
    const QString &file, const QString &parameters, const QString &directory, unsigned long &error);

// Runs file with the arguments through starter and waits for it to end. With a report, a named
// pipe of a fresh random name is created first (refused if its name is taken), its name added as
// the last argument, and what the process writes into it is collected meanwhile. Windows only;
// elsewhere a failure.
ElevatedRun runElevated(const QString &file, QStringList arguments, bool withReport,
    const ElevatedStarter &starter = shellStartElevated);

// whether name is one runElevated gives: \\.\pipe\updater-report- and 32 lower-case hex digits
bool isReportPipeName(const QString &name);

// The elevated side of the pipe: opened only under a name isReportPipeName accepts, and so that
// whoever serves it may identify this process but never act as it.
class ReportPipe
{
public:
    ReportPipe() = default;
    ~ReportPipe();
    ReportPipe(const ReportPipe &) = delete;
    ReportPipe &operator=(const ReportPipe &) = delete;

    bool open(const QString &name);
    bool isOpen() const { return handle != nullptr; }
    void write(const QByteArray &bytes);

private:
    void *handle = nullptr;
};

#endif // ELEVATEDSTART_H
