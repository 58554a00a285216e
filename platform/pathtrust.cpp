#include "pathtrust.h"

#ifdef Q_OS_WIN
#include "winsecurity.h"
#endif

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#ifdef Q_OS_WIN
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#endif

#include <string>
#include <vector>

namespace {
#ifdef Q_OS_WIN
std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// symbolic links and junctions stand for another name; other reparse points (deduplicated or
// cloud files) are the file itself
bool isNameSurrogate(const std::wstring &path, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return true; // cannot tell: a link is the safe guess
    ::FindClose(find);
    return IsReparseTagNameSurrogate(data.dwReserved0);
}

bool removeNative(const std::wstring &path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    const bool directory = attributes & FILE_ATTRIBUTE_DIRECTORY;
    if (isNameSurrogate(path, attributes)) // the link itself, never what it leads to
        return directory ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str());
    if (attributes & FILE_ATTRIBUTE_READONLY)
        ::SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (!directory)
        return ::DeleteFileW(path.c_str());
    bool removed = true;
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
                removed = removeNative(path + L'\\' + name) && removed;
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    return removed && ::RemoveDirectoryW(path.c_str());
}
#else
// Removes name in the directory parent. Directories are entered through descriptors opened with
// O_NOFOLLOW: one swapped for a link meanwhile is not entered either.
bool removeAt(int parent, const char *name)
{
    struct stat status;
    if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(status.st_mode))
        return ::unlinkat(parent, name, 0) == 0 || errno == ENOENT;
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    // the names first: what readdir returns while entries go is not defined
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    bool removed = true;
    for (const std::string &child : names)
        removed = removeAt(::dirfd(dir), child.c_str()) && removed;
    ::closedir(dir);
    if (!removed)
        return false;
    return ::unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}
#endif
} // namespace

PathKind pathKind(const QString &path)
{
#ifdef Q_OS_WIN
    const std::wstring native = nativePath(path);
    const DWORD attributes = ::GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PathKind::Missing;
    if (isNameSurrogate(native, attributes))
        return PathKind::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return PathKind::Directory;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return PathKind::Other;
    return PathKind::File;
#else
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return PathKind::Missing;
    if (S_ISLNK(status.st_mode))
        return PathKind::Link;
    if (S_ISREG(status.st_mode))
        return PathKind::File;
    if (S_ISDIR(status.st_mode))
        return PathKind::Directory;
    return PathKind::Other;
#endif
}

Ownership ownership(const QString &path)
{
#ifdef Q_OS_WIN
    // whoever may change the contents, remove or rename it, or change who may
    constexpr ACCESS_MASK writeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD
        | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    return securityOwnership(nativePath(path), writeRights);
#else
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return Ownership::Unknown;
    if (status.st_uid != ::geteuid())
        return Ownership::OtherOwner;
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return Ownership::OthersMayWrite;
    return Ownership::Private;
#endif
}

bool removeWithoutFollowing(const QString &path)
{
#ifdef Q_OS_WIN
    return removeNative(nativePath(QFileInfo(path).absoluteFilePath()));
#else
    const QFileInfo info(path);
    const int parent = ::open(
        QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return errno == ENOENT;
    const bool removed = removeAt(parent, QFile::encodeName(info.fileName()).constData());
    ::close(parent);
    return removed;
#endif
}

bool createPrivateDirectory(const QString &path)
{
#ifdef Q_OS_WIN
    const QByteArray &user = trustedSids().user;
    wchar_t *userText = nullptr;
    if (user.isEmpty()
        || !::ConvertSidToStringSidW(const_cast<char *>(user.constData()), &userText))
        return false;
    // full control for SYSTEM, Administrators and this user, on the directory and everything
    // created below it; "P": nothing inherited from the parent
    const std::wstring sddl
        = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + std::wstring(userText) + L")";
    ::LocalFree(userText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    const bool created = ::CreateDirectoryW(nativePath(path).c_str(), &attributes);
    ::LocalFree(descriptor);
    return created;
#else
    return ::mkdir(QFile::encodeName(path).constData(), 0700) == 0;
#endif
}

namespace {
// why a folder above the path fails, as the reports say it
QString folderRefusal(const char *text, const QString &folder)
{
    return QCoreApplication::translate("QObject", text).arg(QDir::toNativeSeparators(folder));
}

QString ownershipRefusal(Ownership ownership, const QString &folder)
{
    switch (ownership) {
    case Ownership::OtherOwner:
        return folderRefusal(QT_TRANSLATE_NOOP("QObject", "上级目录%1属于其他用户"), folder);
    case Ownership::OthersMayWrite: // may remove or rename what it holds, or change who may
        return folderRefusal(QT_TRANSLATE_NOOP("QObject", "上级目录%1其他用户可写入"), folder);
    case Ownership::Private:
    case Ownership::Unknown:
        break;
    }
    return folderRefusal(QT_TRANSLATE_NOOP("QObject", "无法读取上级目录%1的所有者和权限"), folder);
}
} // namespace

bool checkFolders(const QString &path, QString &resolved, QString &error)
{
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
#ifdef Q_OS_WIN
    // Links are not followed here: a junction another user made, or one whose target lies in a
    // folder another user controls, could name anything; the cache itself is refused as a link
    // for the same reason. With every folder on the way real and checked, the path names what
    // was checked for as long as only trusted principals change it.
    // rights to remove or rename the folder or what it holds, or to give oneself those rights
    constexpr ACCESS_MASK replaceRights
        = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
    QString current;
    QStringList names;
    if (absolute.startsWith(QLatin1String("//"))) { // a share: //server/share is its root
        names = absolute.mid(2).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        current = QLatin1String("//") + names.mid(0, 2).join(QLatin1Char('/')) + QLatin1Char('/');
        names = names.mid(2);
    } else {
        current = absolute.left(3); // "C:/"
        names = absolute.mid(3).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    }
    resolved = absolute;
    for (int i = -1; i < names.size(); ++i) {
        if (i >= 0)
            current = QDir(current).filePath(names.at(i));
        // A volume's root lies in no folder that it could be renamed in, and the drive letters
        // another user defines (subst, net use) are not this process's; only its access list
        // counts. (Wine shows its drives as links to Unix folders.)
        switch (i < 0 ? PathKind::Directory : pathKind(current)) {
        case PathKind::Missing:
        case PathKind::File:
        case PathKind::Other:
            return true; // nothing to check below: the path fails wherever it is used
        case PathKind::Link:
            error = folderRefusal(
                QT_TRANSLATE_NOOP("QObject", "上级目录%1是指向别处的链接"), current);
            return false;
        case PathKind::Directory:
            break;
        }
        const Ownership owner = securityOwnership(nativePath(current), replaceRights);
        if (owner == Ownership::Private)
            continue;
        error = ownershipRefusal(owner, current);
        return false;
    }
    return true;
#else
    // The path is resolved here as the system resolves it, one name at a time from the root,
    // so that every entry the resolution reads is checked: a link is followed only when its
    // owner is trusted, the folder holding it having passed already. The path without links
    // that results is what the caller uses from then on.
    constexpr int MaxLinks = 40; // as Linux, before ELOOP
    const auto failed = [&error](Ownership problem, const QString &folder) {
        error = ownershipRefusal(problem, folder);
        return false;
    };
    const auto trustedOwner = [](uid_t owner) { return owner == ::geteuid() || owner == 0; };
    QStringList pending = absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current = QStringLiteral("/");
    int links = 0;
    for (bool first = true; first || !pending.isEmpty(); first = false) {
        if (!first) {
            const QString name = pending.takeFirst();
            if (name == QLatin1String("."))
                continue;
            if (name == QLatin1String("..")) { // its parent has passed already
                current = QFileInfo(current).path();
                continue;
            }
            current = QDir(current).filePath(name);
        }
        const QByteArray native = QFile::encodeName(current);
        struct stat status;
        if (::lstat(native.constData(), &status) != 0) {
            if (errno != ENOENT)
                return failed(Ownership::Unknown, current);
            break; // nothing to check below: only the folders checked may create it
        }
        if (S_ISLNK(status.st_mode)) {
            if (!trustedOwner(status.st_uid))
                return failed(Ownership::OtherOwner, current);
            QByteArray target(PATH_MAX, Qt::Uninitialized);
            const ssize_t length = ::readlink(native.constData(), target.data(), target.size());
            if (++links > MaxLinks || length <= 0 || length >= target.size())
                return failed(Ownership::Unknown, current);
            target.resize(int(length));
            const QString text = QFile::decodeName(target);
            pending = text.split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
            current = text.startsWith(QLatin1Char('/')) ? QStringLiteral("/")
                                                        : QFileInfo(current).path();
            continue;
        }
        if (!S_ISDIR(status.st_mode))
            break; // no folder: the path fails wherever it is used
        if (!trustedOwner(status.st_uid))
            return failed(Ownership::OtherOwner, current);
        if ((status.st_mode & (S_IWGRP | S_IWOTH)) && !(status.st_mode & S_ISVTX))
            return failed(Ownership::OthersMayWrite, current);
    }
    pending.prepend(current);
    resolved = QDir::cleanPath(pending.join(QLatin1Char('/')));
    return true;
#endif
}
