#include "installation.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <string>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

Installation::Installation(const QString &updaterSubdir)
    : environment(QProcessEnvironment::systemEnvironment())
    , subdir(updaterSubdir)
{
    if (!dir.isValid()) {
        error = dir.errorString();
        return;
    }
    if (!QDir().mkpath(updaterDir())) {
        error = QStringLiteral("cannot create %1").arg(updaterDir());
        return;
    }
    // a copy, not a link: the updater finds its directory through the resolved executable
    if (!QFile::copy(QStringLiteral(UPDATER_EXE), updaterPath())) {
        error = QStringLiteral("cannot copy the updater to %1").arg(updaterPath());
        return;
    }
#ifndef Q_OS_WIN
    // (the Windows build links its own platform plugin only; console runs need no display there)
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
#endif
    valid = true;
}

Installation::~Installation()
{
#ifndef Q_OS_WIN
    for (const int fd : lifelines)
        ::close(fd);
#endif
}

QString Installation::updaterDir() const
{
    return subdir.isEmpty() ? dir.path() : dir.filePath(subdir);
}

QString Installation::updaterPath() const
{
#ifdef Q_OS_WIN
    return QDir(updaterDir()).filePath(QStringLiteral("updater.exe"));
#else
    return QDir(updaterDir()).filePath(QStringLiteral("updater"));
#endif
}

QString Installation::path(const QString &relative) const
{
    return dir.filePath(relative);
}

void Installation::writeConfig(const QMap<QString, QString> &updateKeys)
{
    const QString file = QDir(updaterDir()).filePath(QStringLiteral("system.cfg"));
    QFile::remove(file);
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Update"));
    for (auto it = updateKeys.cbegin(); it != updateKeys.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.endGroup();
    settings.sync();
}

QString Installation::hostRecord() const
{
    return dir.filePath(QStringLiteral("host-args.txt"));
}

QString Installation::installHost(const QString &relativePath)
{
    const QString script = dir.filePath(relativePath);
    QDir().mkpath(QFileInfo(script).absolutePath());
#ifdef Q_OS_WIN
    // a program that records its arguments where the file beside it says (see hoststandin.cpp),
    // for an updater started by the test and for a host started by the test process itself
    QFile::remove(script);
    QFile::copy(QStringLiteral(HOST_STANDIN_EXE), script);
    const QString record = QDir::toNativeSeparators(hostRecord());
    QFile where(QFileInfo(script).dir().filePath(QStringLiteral("host-args.txt.where")));
    if (where.open(QIODevice::WriteOnly | QIODevice::Truncate))
        where.write(record.toUtf8());
    environment.insert(QStringLiteral("UPDATER_TEST_HOST_RECORD"), record);
    qputenv("UPDATER_TEST_HOST_RECORD", record.toLocal8Bit());
#else
    // written to a side file and renamed, so that a waiting test never reads half a record
    const QByteArray record = QFile::encodeName(hostRecord());
    writeFile(relativePath,
              "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + ".part' && mv '" + record
                      + ".part' '" + record + "'\n");
    QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                  | QFileDevice::ExeOwner);
#endif
    return script;
}

bool Installation::hostStarted() const
{
    return QFile::exists(hostRecord());
}

bool Installation::waitForStartedProcesses(int timeoutMs) const
{
#ifdef Q_OS_WIN
    // the host's script, or program, needs a moment after the updater has ended
    Q_UNUSED(timeoutMs)
    QTest::qWait(300);
    return true;
#else
    // nothing is ever written: the read ends at the end of the file once every holder has ended
    QElapsedTimer timer;
    timer.start();
    for (const int fd : lifelines) {
        if (fd < 0)
            return false;
        for (;;) {
            pollfd ready {fd, POLLIN, 0};
            char byte;
            if (::poll(&ready, 1, 0) > 0 && ::read(fd, &byte, 1) == 0)
                break;
            if (timer.elapsed() > timeoutMs)
                return false;
            QTest::qWait(10);
        }
    }
    return true;
#endif
}

QStringList Installation::waitForHost(int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    // a record that exists may not open yet (under Wine the moment after its rename), and a
    // host always records at least its own path: an empty read is tried again
    QByteArray record;
    for (;;) {
        if (hostStarted())
            record = readFile(QStringLiteral("host-args.txt"));
        if (!record.isEmpty() || timer.elapsed() >= timeoutMs)
            break;
        QTest::qWait(20);
    }
    if (record.isEmpty())
        return {};
    QStringList arguments = QString::fromUtf8(record).split(QLatin1Char('\n'));
    arguments.removeLast(); // after the last line end
    return arguments;
}

void Installation::writeFile(const QString &relative, const QByteArray &bytes) const
{
    const QString file = dir.filePath(relative);
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile out(file);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        out.write(bytes);
}

QByteArray Installation::readFile(const QString &relative) const
{
    QFile in(dir.filePath(relative));
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

bool Installation::exists(const QString &relative) const
{
    return QFileInfo::exists(dir.filePath(relative));
}

QProcess *Installation::start(const QStringList &arguments) const
{
    auto *process = new QProcess;
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(dir.path());
#ifdef Q_OS_WIN
    process->start(updaterPath(), arguments);
#else
    // the write end alone is inherited, by the updater and by what it starts (QProcess closes no
    // descriptor in either); it is open in this process only while the updater starts
    int ends[2];
    const bool piped = ::pipe(ends) == 0;
    if (piped)
        ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    process->start(updaterPath(), arguments);
    if (piped)
        ::close(ends[1]);
    lifelines.push_back(piped ? ends[0] : -1); // (-1 fails the wait)
#endif
    return process;
}

Installation::Result Installation::wait(QProcess *process, int timeoutMs)
{
    Result result;
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    if (process->state() != QProcess::NotRunning) {
        QSignalSpy finished(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        finished.wait(timeoutMs);
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
            result.standardOutput = process->readAllStandardOutput();
            result.standardError = process->readAllStandardError();
            return result;
        }
    }
    if (process->error() == QProcess::FailedToStart) {
        // not an exit code 0: QProcess reports one for a program it never started
        result.standardError = "not started: " + process->errorString().toUtf8();
        return result;
    }
    result.finished = process->exitStatus() == QProcess::NormalExit;
    result.exitCode = process->exitCode();
    result.standardOutput = process->readAllStandardOutput();
    result.standardError = process->readAllStandardError();
    return result;
}

Installation::Result Installation::run(const QStringList &arguments, int timeoutMs) const
{
    QScopedPointer<QProcess> process(start(arguments));
    return wait(process.data(), timeoutMs);
}

QMap<QString, QByteArray> snapshotTree(const QString &root)
{
    QMap<QString, QByteArray> tree;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            tree.insert(relative + QLatin1Char('/'), QByteArray());
            continue;
        }
        QFile file(path);
        tree.insert(relative, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArrayLiteral("<unreadable>"));
    }
    return tree;
}

#ifdef Q_OS_WIN
namespace {
const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

// the Unix name of a Windows path under Wine; empty elsewhere
QString unixNameOf(const QString &path)
{
    using UnixName = char *(CDECL *)(const wchar_t *);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void *>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char *name = unixName ? unixName(wide(QDir::toNativeSeparators(path))) : nullptr;
    if (!name)
        return QString();
    const QString text = QString::fromLocal8Bit(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
}

// Runs a program of the Unix system under Wine, started directly: QProcess::execute did not
// return under Wine for a Unix program. Its handle may be signalled before it has run: done
// tells when it has.
bool runUnixProgram(const QString &program, const QStringList &arguments,
                    const std::function<bool()> &done)
{
    QString command = program;
    for (const QString &argument : arguments)
        command += QLatin1String(" \"") + argument + QLatin1Char('"');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring line = command.toStdWString();
    if (!::CreateProcessW(wide(program), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process))
        return false;
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 10000)
        ::Sleep(50);
    return done();
}

bool isReparsePoint(const QString &path)
{
    const DWORD attributes = ::GetFileAttributesW(wide(QDir::toNativeSeparators(path)));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
} // namespace
#endif

bool makeDirectoryLink(const QString &target, const QString &link)
{
#ifdef Q_OS_WIN
    constexpr DWORD Unprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (::CreateSymbolicLinkW(wide(QDir::toNativeSeparators(link)),
                              wide(QDir::toNativeSeparators(target)),
                              SYMBOLIC_LINK_FLAG_DIRECTORY | Unprivileged)
        && isReparsePoint(link))
        return true;
    const QString unixTarget = unixNameOf(target);
    const QString unixLink = unixNameOf(link);
    return !unixTarget.isEmpty() && !unixLink.isEmpty()
            && runUnixProgram(QStringLiteral("Z:\\bin\\ln"),
                              {QStringLiteral("-s"), unixTarget, unixLink},
                              [&link] { return isReparsePoint(link); });
#else
    return QFile::link(target, link);
#endif
}

bool removeDirectoryLink(const QString &link)
{
#ifdef Q_OS_WIN
    if (::RemoveDirectoryW(wide(QDir::toNativeSeparators(link))))
        return true;
    const QString unixLink = unixNameOf(link);
    return !unixLink.isEmpty()
            && runUnixProgram(QStringLiteral("Z:\\bin\\rm"), {unixLink},
                              [&link] { return !QFileInfo::exists(link) && !isReparsePoint(link); });
#else
    return QFile::remove(link);
#endif
}
