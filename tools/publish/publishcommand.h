#ifndef PUBLISHCOMMAND_H
#define PUBLISHCOMMAND_H

#include <QStringList>

// Exit codes of update-publish.
enum PublishExitCode {
    PublishSucceeded = 0,
    PublishFailed = 1,
    PublishUsageError = 2,
    PublishNotInRollout = 3, // --in-rollout: the installation does not take the live release
};

// The whole command line of update-publish, program name first; returns the exit code.
int runPublishCommand(const QStringList &arguments);

#endif // PUBLISHCOMMAND_H
