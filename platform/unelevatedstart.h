#ifndef UNELEVATEDSTART_H
#define UNELEVATEDSTART_H

#include <QString>
#include <QStringList>

// One argument of a Windows command line, quoted (only where needed) so that CommandLineToArgvW
// and the Microsoft C runtime read it back unchanged. Not for the program name, which Windows
// splits by other rules.
QString quoteWindowsArgument(const QString &argument);
// the arguments, each quoted as above, separated by single spaces
QString windowsCommandLine(const QStringList &arguments);

// Has the desktop's shell (explorer) start file (a program or a URL) with the parameters in
// directory, so that it runs with the desktop user's ordinary rights instead of inheriting the
// administrator rights of this process. False when that is not needed (this process is not
// elevated, or the shell is elevated as well) or not possible (no desktop shell, a COM failure,
// not Windows): the caller then starts it itself. True means the shell accepted the request; the
// shell reports its own failures to the user.
bool startAsDesktopUser(const QString &file, const QString &parameters, const QString &directory,
    const QString &operation);

#endif // UNELEVATEDSTART_H
