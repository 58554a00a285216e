#include "runlog.h"

#include "filewrite.h"
#include "pathtrust.h"
#include "reservednames.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex logMutex;
QString logPath; // empty: no log
qint64 written = 0; // by this run
bool full = false;
UrlPasswords hiddenPasswords;
QtMessageHandler previousHandler = nullptr;
bool installed = false;

QByteArray lineOf(const char *category, const QString &text)
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' ' + category
        + ": " + text.toUtf8() + '\n';
}

// under logMutex; one write of the whole line, the file closed again: no handle keeps the cache
// busy, and nothing waits in a buffer for a crash to lose
void appendLine(const QByteArray &line)
{
    if (logPath.isEmpty() || full)
        return;
    QByteArray bytes = line;
    if (written + line.size() > MaxRunLogBytes) {
        full = true;
        bytes = lineOf(
            "updater.run", QStringLiteral("the log of this run is full: the rest is left out"));
    }
    QFile file(logPath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        written += file.write(bytes);
}

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
        appendLine(lineOf(context.category, text));
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

// the newest runs within MaxKeptLogBytes: the log cut at the start of a run's first line, or
// (one run larger than that) at a line's
void keepNewestRuns(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() <= MaxKeptLogBytes)
        return;
    file.seek(file.size() - MaxKeptLogBytes);
    const QByteArray tail = file.read(MaxKeptLogBytes);
    file.close();
    const QByteArray mark = ": " + runLogRunMark();
    int cut = -1;
    for (int at = tail.indexOf(mark); at >= 0 && cut < 0; at = tail.indexOf(mark, at + 1)) {
        // a whole line's: the tail's first one may be cut
        const int lineStart = tail.lastIndexOf('\n', at) + 1;
        if (lineStart > 0)
            cut = lineStart;
    }
    if (cut < 0)
        cut = tail.indexOf('\n') + 1;
    writeFileBytes(path, tail.mid(cut));
}
} // namespace

QByteArray runLogRunMark()
{
    return "==== ";
}

QString runLogName(const QStringList &releasePaths)
{
    return freeCacheName(runLogBaseName(), releasePaths);
}

void startRunLog(const QDir &cacheDir, const QStringList &releasePaths, bool trim)
{
    const QString path = cacheDir.absoluteFilePath(runLogName(releasePaths));
    QMutexLocker lock(&logMutex);
    if (path == logPath)
        return;
    logPath.clear();
    // a link or anything else in its place is removed, never written through
    const PathKind kind = pathKind(path);
    if (kind != PathKind::Missing && kind != PathKind::File && !removeWithoutFollowing(path))
        return;
    if (trim && kind == PathKind::File)
        keepNewestRuns(path);
    logPath = path;
    installHandler();
}

void hideInMessages(const UrlPasswords &passwords)
{
    QMutexLocker lock(&logMutex);
    hiddenPasswords = passwords;
    installHandler();
}
