#ifndef PUBLISHACTIONS_H
#define PUBLISHACTIONS_H

#include <QByteArray>
#include <QList>
#include <QString>

struct ProxySetting;
struct PublishOptions;
struct SigningOptions;
struct UpdateDescriptor;

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

// changes the share of the live publication in serverDir; share of RolloutBuckets
int changeRollout(const SigningOptions &options, int share, const QString &serverDir);
// tells whether the installation with that identifier takes part in the live release of a
// server directory or base URL: PublishSucceeded when it does, PublishNotInRollout when not
int showInRollout(
    const QByteArray &installationId, const QString &location, const ProxySetting &proxy);

// a line on the rollout update.ini describes, for the output; empty without one
QString rolloutSummary(const UpdateDescriptor &descriptor);

#endif // PUBLISHACTIONS_H
