#include "runlog.h"

#include "pathtrust.h"
#include "reservednames.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex logMutex;
QString logPath; // empty: no log
UrlPasswords hiddenPasswords;
QtMessageHandler previousHandler = nullptr;
bool installed = false;

void logMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Qt's error texts name the URL they fetched, password and all
    UrlPasswords passwords;
    {
        QMutexLocker lock(&logMutex);
        passwords = hiddenPasswords;
    }
    const QString text = passwords.hidden(message);
    if (context.category && qstrncmp(context.category, "updater.", 8) == 0) {
        QMutexLocker lock(&logMutex);
        // opened for each line: the lines are few, and no handle keeps the cache busy
        QFile file(logPath);
        if (!logPath.isEmpty() && file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            file.write(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' '
                + context.category + ": " + text.toUtf8() + '\n');
        }
    }
    if (previousHandler)
        previousHandler(type, context, text);
}

// under logMutex
void installHandler()
{
    if (!installed) {
        installed = true;
        previousHandler = qInstallMessageHandler(logMessage);
    }
}
} // namespace

QString runLogName(const Manifest &release)
{
    return freeCacheName(runLogBaseName(), release.keys());
}

void startRunLog(const QDir &cacheDir, const Manifest &release)
{
    // the file is made by the first line: a run with nothing to tell leaves none
    const QString path = cacheDir.absoluteFilePath(runLogName(release));
    QMutexLocker lock(&logMutex);
    if (path == logPath)
        return;
    logPath.clear();
    // an earlier run's log goes, and a link or anything else in its place is removed, never
    // written through
    if (pathKind(path) != PathKind::Missing && !removeWithoutFollowing(path))
        return;
    logPath = path;
    installHandler();
}

void hideInMessages(const UrlPasswords &passwords)
{
    QMutexLocker lock(&logMutex);
    hiddenPasswords = passwords;
    installHandler();
}
