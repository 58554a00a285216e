// The host stand-in of the Windows build, where a shell script cannot be started: it records the
// arguments it was started with, one per line in UTF-8, in the file that the environment variable
// UPDATER_TEST_HOST_RECORD names, in one rename, so that a waiting test never reads half of it.
#include <QCoreApplication>
#include <QSaveFile>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString record = qEnvironmentVariable("UPDATER_TEST_HOST_RECORD");
    if (record.isEmpty())
        return 2;
    QSaveFile file(record);
    if (!file.open(QIODevice::WriteOnly))
        return 3;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (const QString &argument : arguments)
        file.write(argument.toUtf8() + '\n');
    return file.commit() ? 0 : 3;
}
