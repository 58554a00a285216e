#ifndef INSTALLATIONID_H
#define INSTALLATIONID_H

#include <QByteArray>
#include <QDir>
#include <QString>

// The installation's identifier, which places it in a staged rollout: "update_id.info" in the
// installation root, one line of 32 lower-case hex digits, kept across updates and never sent
// anywhere. A missing or malformed file (or one that is no regular file) is replaced by a new
// identifier; false, with the system's reason in error, when that cannot be written: an
// identifier that changed on every run would draw the installation into any share in the end.
bool installationId(const QDir &installRoot, QByteArray &id, QString &error);

#endif // INSTALLATIONID_H
