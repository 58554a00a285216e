#include "writeaccess.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
// a name no file of a release has and no two probes share
QString probeName()
{
    const quint64 value = QRandomGenerator::system()->generate64();
    return QStringLiteral(".updater-probe-%1").arg(value, 16, 16, QLatin1Char('0'));
}
} // namespace

#ifdef Q_OS_WIN

bool mayCreateFilesIn(const QString &dir)
{
    const std::wstring path
        = QDir::toNativeSeparators(QDir(dir).filePath(probeName())).toStdWString();
    // CREATE_NEW never opens what is there, a link included; the system removes the file when
    // the handle closes, however the process ends
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool holdsAdministratorRights()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool elevated
        = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)
        && elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

#else

bool mayCreateFilesIn(const QString &dir)
{
#ifdef O_TMPFILE
    const QByteArray path = QFile::encodeName(dir);
    const int unnamed = ::open(path.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        ::close(unnamed);
        return true;
    }
    // a file system without unnamed files: a named one, never through a link in its place
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return false;
#endif
    const QByteArray probe = QFile::encodeName(QDir(dir).filePath(probeName()));
    const int fd
        = ::open(probe.constData(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.constData());
    return true;
}

bool holdsAdministratorRights()
{
    return ::geteuid() == 0;
}

#endif
