#ifndef PUBLISHACTIONS_H
#define PUBLISHACTIONS_H

#include <QByteArray>
#include <QList>
#include <QString>

struct ProxySetting;
struct PublishOptions;
struct SigningOptions;

// What update-publish does once its command line is read: each prints its results and its
// errors and returns the exit code (PublishExitCode).

// publishes RELEASE_DIR into SERVER_DIR
int publishRelease(const PublishOptions &options);
// signs the publication in serverDir again
int signAgain(const SigningOptions &options, const QString &serverDir);
// writes a new signing key pair to path and path.pub
int makeKeyPair(const QString &path);
// checks the publication in a server directory or at a base URL
int checkPublication(
    const QString &location, const QList<QByteArray> &trustedKeys, const ProxySetting &proxy);

#endif // PUBLISHACTIONS_H
