#include "publishrules.h"

#include "manifest.h"
#include "reservednames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("PublishRules", text);
}

// whether md5.txt, the updater and Windows all take the character in a path; false with why not
bool checkCharacter(QChar c, QString &error)
{
    switch (c.unicode()) {
    case '\t':
        error = tr("contains a tab, which separates the fields of md5.txt");
        return false;
    case '\n':
    case '\r':
        error = tr("contains a line break, which ends a line of md5.txt");
        return false;
    case '\\':
        error = tr("contains a backslash, which the updater reads as a folder separator");
        return false;
    case ':':
        error = tr("contains ':', which the updater refuses in paths");
        return false;
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
        error = tr("contains '%1', which Windows does not allow in file names").arg(c);
        return false;
    default:
        break;
    }
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
        error = tr("contains the control character U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        return false;
    }
    return true;
}
} // namespace

bool checkReleasePath(const QString &path, QString &error)
{
    for (const QChar c : path) {
        if (!checkCharacter(c, error))
            return false;
    }
    if (!isSafeManifestPath(path)) {
        error = tr("has an empty, \".\" or \"..\" component");
        return false;
    }

    // releases are published for Windows clients, wherever they are published from
    const QStringList components = path.split(QLatin1Char('/'));
    for (const QString &component : components) {
        if (isWindowsSafePath(component))
            continue;
        // writing "nul.txt" writes nowhere
        if (isWindowsDeviceName(component))
            error = tr("uses \"%1\", a device name on Windows").arg(component);
        else if (component.endsWith(QLatin1Char('.')) || component.endsWith(QLatin1Char(' ')))
            error = tr("uses \"%1\", which ends in a dot or a space that Windows drops from "
                       "names")
                        .arg(component);
        else
            error = tr("uses \"%1\", a name Windows cannot store").arg(component);
        return false;
    }

    // beside the files on the server lie the manifest md5.txt and the patches of a delta
    // update with their index; in the installation the updater keeps its records and its lock
    const QString onServer = reservedReleaseFolderName(path);
    if (!onServer.isEmpty()) {
        error = tr("would be overwritten by the updater's %1 beside the files on the server")
                    .arg(onServer);
        return false;
    }
    const QString installed = reservedInstallationName(path);
    if (!installed.isEmpty()) {
        error
            = tr("would be overwritten by the updater's own %1 in the installation").arg(installed);
        return false;
    }
    if (!checkOutsideDefaultCache(path, error))
        return false;

    // md5.txt lists paths in UTF-8; only a lone surrogate has no UTF-8 form
    if (QString::fromUtf8(path.toUtf8()) != path) {
        error = tr("is not valid Unicode");
        return false;
    }
    return true;
}

bool checkOutsideDefaultCache(const QString &path, QString &error)
{
    const auto isCacheName = [](const QString &name) {
        return name.compare(QLatin1String("update"), Qt::CaseInsensitive) == 0;
    };
    const QStringList components = path.split(QLatin1Char('/'));
    int depth = 0;
    if (isCacheName(components.constFirst()))
        depth = 1;
    else if (components.size() > 1
        && components.constFirst().compare(QLatin1String("bin"), Qt::CaseInsensitive) == 0
        && isCacheName(components.at(1)))
        depth = 2;
    if (depth == 0)
        return true;
    error = tr("would land in \"%1\", the updater's default cache folder, which it never "
               "installs into")
                .arg(components.mid(0, depth).join(QLatin1Char('/')));
    return false;
}

bool checkFolderName(const QString &folder, QString &error)
{
    if (folder.isEmpty()) {
        error = tr("is empty");
        return false;
    }
    if (folder.contains(QLatin1Char('/')) || folder.contains(QLatin1Char('\\'))) {
        error = tr("must be a single name, without '/' or '\\'");
        return false;
    }
    if (folder.startsWith(QLatin1Char('.'))) {
        error = tr("must not start with '.' (web servers often hide such folders)");
        return false;
    }
    for (const QChar c : folder) {
        const ushort code = c.unicode();
        const bool plain = (code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z')
            || (code >= '0' && code <= '9') || code == '-' || code == '_' || code == '.'
            || code == '~' || code == '+';
        if (!plain) {
            const QString shown = code < 0x20 || code == 0x7f
                ? QStringLiteral("U+%1").arg(code, 4, 16, QLatin1Char('0'))
                : QString(c);
            error = tr("contains '%1'; the updater puts the folder into URLs unescaped, so use "
                       "only ASCII letters, digits and - _ . ~ +")
                        .arg(shown);
            return false;
        }
    }
    if (folder.compare(QLatin1String("update.ini"), Qt::CaseInsensitive) == 0) {
        error = tr("is the name of the descriptor update.ini");
        return false;
    }
    if (isWindowsDeviceName(folder)) {
        error = tr("is a device name on Windows");
        return false;
    }
    return true;
}

QString printablePath(const QString &path)
{
    QString shown;
    shown.reserve(path.size());
    for (const QChar c : path) {
        switch (c.unicode()) {
        case '\t':
            shown += QLatin1String("\\t");
            break;
        case '\n':
            shown += QLatin1String("\\n");
            break;
        case '\r':
            shown += QLatin1String("\\r");
            break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
            else
                shown += c;
        }
    }
    return shown;
}

QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString resolvedPath(const QString &path)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QStringList missing;
    while (!QFileInfo::exists(existing)) {
        const int slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0 || existing.endsWith(QLatin1Char('/')))
            break;
        missing.prepend(existing.mid(slash + 1));
        existing.truncate(slash);
    }
    QString resolved = QFileInfo(existing).canonicalFilePath();
    if (resolved.isEmpty())
        resolved = existing;
    for (const QString &name : qAsConst(missing)) {
        if (!resolved.endsWith(QLatin1Char('/')))
            resolved += QLatin1Char('/');
        resolved += name;
    }
    return resolved;
}

bool isSameOrInside(const QString &path, const QString &directory)
{
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    if (path.compare(directory, cs) == 0)
        return true;
    const QString prefix
        = directory.endsWith(QLatin1Char('/')) ? directory : directory + QLatin1Char('/');
    return path.startsWith(prefix, cs);
}
