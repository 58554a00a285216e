// The host stand-in of the Windows build, where a shell script cannot be started: it records the
// arguments it was started with, one per line in UTF-8, in one rename, so that a waiting test
// never reads half of it. The record's path is read from "host-args.txt.where" beside the
// stand-in, else from the environment variable UPDATER_TEST_HOST_RECORD: on Windows an updater
// with administrator rights starts the host through the desktop's shell, whose environment is its
// own (under Wine, which has no UAC, it starts the host itself).
//
// With "host-behaviour.txt" beside it, it also appends a line to "host-starts.txt" there and then
// does what the file says: "exit N", "crash" (it ends with the code of an access violation, as a
// crash does, without the debugger Wine would start) or "run" (8 s, then 0).
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <QThread>

#include <windows.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QFile where(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("host-args.txt.where")));
    const QString record = where.open(QIODevice::ReadOnly)
        ? QString::fromUtf8(where.readAll())
        : qEnvironmentVariable("UPDATER_TEST_HOST_RECORD");
    if (record.isEmpty())
        return 2;
    QSaveFile file(record);
    if (!file.open(QIODevice::WriteOnly))
        return 3;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (const QString &argument : arguments)
        file.write(argument.toUtf8() + '\n');
    if (!file.commit())
        return 3;
    const QDir here(QCoreApplication::applicationDirPath());
    QFile behaviour(here.filePath(QStringLiteral("host-behaviour.txt")));
    if (!behaviour.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray act = behaviour.readAll().trimmed();
    QFile starts(here.filePath(QStringLiteral("host-starts.txt")));
    if (starts.open(QIODevice::WriteOnly | QIODevice::Append))
        starts.write("started\n");
    starts.close();
    if (act == "crash")
        TerminateProcess(GetCurrentProcess(), 0xC0000005);
    if (act == "run")
        QThread::sleep(8);
    return act.startsWith("exit ") ? act.mid(5).toInt() : 0;
}
