#ifndef UPDATECHECK_H
#define UPDATECHECK_H

#include "app/frontend.h"
#include "net/manifest.h"
#include "net/publicationurls.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QString>

class ProxyAccess;
class QNetworkAccessManager;

// What every update attempt of a run shares.
struct UpdateContext
{
    QNetworkAccessManager *manager = nullptr; // set up by proxy, when there is one
    // the proxy of every manager of the run and the credentials given for it; none: Qt's default
    ProxyAccess *proxy = nullptr;
    QString baseUrl;
    QDir installRoot;
    QDir cacheDir;
    QString hostProgram;
    int stallTimeout = 0; // milliseconds without a byte before a file download fails
    int transfers = 0; // files downloaded at once; 0: the worker's default
    qint64 minimumRate = -1; // bytes a second over rateWindow milliseconds; -1: the default
    int rateWindow = 0;
    // Ed25519 public keys; when there are any, a release is installed only when its signed
    // statement verifies
    QList<QByteArray> publicKeys;
};

// The values of "update.ini": what kind of update, where its files lie, what to call it.
struct UpdateDescriptor
{
    int updateType = 1; // 0: optional, anything else: forced
    QString folder;
    QString version;
    // the release folder holds an index of patches (update_delta.txt): announced by the key
    // "Delta/Index" naming it, which clients that know nothing of patches ignore
    bool deltaIndex = false;
};
UpdateDescriptor readDescriptor(const QString &path);

// Runs update attempts until one finishes the run; returns the exit code: 0 only after a
// successful download and installation.
int runUpdateCheck(const UpdateContext &context, UpdateFrontend &frontend);

// Replaces the file with the bytes in one step (a link there is replaced, never written
// through): a reader finds the old content or the new, never a part. False, with the system's
// reason in error when given, when it could not be written; the old content then stays.
bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error = nullptr);

#endif // UPDATECHECK_H
