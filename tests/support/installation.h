#ifndef INSTALLATION_H
#define INSTALLATION_H

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <vector>

// A throw-away installation for black-box runs: a temporary directory holding a copy of the
// built updater (its own directory decides where it reads system.cfg and which lock it takes),
// its configuration and a host stand-in that records how it was started.
class Installation
{
public:
    // updaterSubdir: where the updater lies below the root, e.g. "bin"; empty for the root
    explicit Installation(const QString &updaterSubdir = QString());
    ~Installation();

    bool isValid() const { return valid; }
    QString errorString() const { return error; }
    QString root() const { return dir.path(); }
    QString updaterDir() const;
    QString updaterPath() const;
    QString path(const QString &relative) const;

    void writeConfig(const QMap<QString, QString> &updateKeys);
    // an executable script that records its arguments, one per line, in host-args.txt
    QString installHost(const QString &relativePath = QStringLiteral("host.sh"));
    QString hostRecord() const;
    // waits for the host stand-in to have run; its arguments, or an empty list after timeoutMs
    // (generous: under Wine on a busy machine starting the stand-in took more than 10 s)
    QStringList waitForHost(int timeoutMs = 60000) const;
    bool hostStarted() const;
    // Waits until a host that the updaters started here may have started has run: the updater
    // starts the host before it ends. On Unix every updater started here holds the write end of
    // a pipe, and so does every process it starts, until it ends; false when one still runs after
    // timeoutMs. On Windows the desktop's shell starts the host, which inherits nothing of the
    // updater's: a fixed pause stands in there.
    bool waitForStartedProcesses(int timeoutMs = 30000) const;

    void writeFile(const QString &relative, const QByteArray &bytes) const;
    QByteArray readFile(const QString &relative) const;
    bool exists(const QString &relative) const;

    struct Result
    {
        bool finished = false;
        int exitCode = -1;
        QByteArray standardOutput;
        QByteArray standardError;
    };
    // runs the updater with the arguments and waits (spinning the event loop, so in-process
    // servers keep answering)
    Result run(const QStringList &arguments, int timeoutMs = 60000) const;
    // starts the updater and returns the running process (owned by the caller)
    QProcess *start(const QStringList &arguments) const;
    static Result wait(QProcess *process, int timeoutMs = 60000);

    QProcessEnvironment environment;

private:
    QTemporaryDir dir;
    QString subdir;
    bool valid = false;
    QString error;
    // the read ends of the pipes the updaters started here hold (Unix)
    mutable std::vector<int> lifelines;
};

// every regular file below root with its content, by relative path: a snapshot of a tree
QMap<QString, QByteArray> snapshotTree(const QString &root);

// Makes link a symbolic link to the directory target; false when none that the system reports as
// a link can be made here. Wine 8 makes no Windows link (CreateSymbolicLinkW reports success and
// makes nothing, "mklink /J" fails), but shows a Unix symbolic link as a reparse point: under
// Wine the link is made by the system's ln, which Wine starts like a Windows program.
bool makeDirectoryLink(const QString &target, const QString &link);
// removes such a link, never what it leads to
bool removeDirectoryLink(const QString &link);

#endif // INSTALLATION_H
