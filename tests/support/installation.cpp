#include "installation.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#ifdef Q_OS_WIN
#include <windows.h>
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
    // a program that records its arguments where the environment says (see hoststandin.cpp),
    // for an updater started by the test and for a host started by the test process itself
    QFile::remove(script);
    QFile::copy(QStringLiteral(HOST_STANDIN_EXE), script);
    const QString record = QDir::toNativeSeparators(hostRecord());
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

QStringList Installation::waitForHost(int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    while (!hostStarted() && timer.elapsed() < timeoutMs)
        QTest::qWait(20);
    const QByteArray record = readFile(QStringLiteral("host-args.txt"));
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
    process->start(updaterPath(), arguments);
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

bool makeDirectoryLink(const QString &target, const QString &link)
{
#ifdef Q_OS_WIN
    const QString nativeLink = QDir::toNativeSeparators(link);
    const QString nativeTarget = QDir::toNativeSeparators(target);
    const auto wide = [](const QString &text) {
        return reinterpret_cast<const wchar_t *>(text.utf16());
    };
    const auto isReparsePoint = [&] {
        const DWORD attributes = ::GetFileAttributesW(wide(nativeLink));
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    };
    constexpr DWORD Unprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (::CreateSymbolicLinkW(wide(nativeLink), wide(nativeTarget),
                              SYMBOLIC_LINK_FLAG_DIRECTORY | Unprivileged)
        && isReparsePoint())
        return true;
    using UnixName = char *(CDECL *)(const wchar_t *);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void *>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!unixName)
        return false;
    QStringList arguments{QStringLiteral("-s")};
    for (const QString &path : {nativeTarget, nativeLink}) {
        char *name = unixName(wide(path));
        if (!name)
            return false;
        arguments << QString::fromLocal8Bit(name);
        ::HeapFree(::GetProcessHeap(), 0, name);
    }
    return QProcess::execute(QStringLiteral("Z:\\bin\\ln"), arguments) == 0 && isReparsePoint();
#else
    return QFile::link(target, link);
#endif
}
