#ifndef UPDATEAPPLICATION_H
#define UPDATEAPPLICATION_H

#include "frontend.h"
#include "releasetrust.h"
#include "updatecheck.h"
#include "deltaindex.h"
#include "manifest.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The second half of an attempt, once files differ and the update goes ahead: keeps (for a
// signed release) signedRecord against rollback, runs the worker, and records the applied
// manifest once everything is installed. patches: by path, fetched in place of whole files where
// they apply.
AttemptResult applyUpdate(const UpdateContext &context, UpdateFrontend &frontend, Manifest changes,
    QByteArray manifestBytes, bool forced, QString folderUrl,
    const std::optional<ReleaseRecord> &signedRecord = std::nullopt,
    const QMap<QString, DeltaPatch> &patches = {});

// For a signed release, the record against rollback, written before any of its files is
// installed: a release whose record could not be kept would lower the guard against the older
// ones. False, with the message for the report in error, when it could not be written.
bool keepReleaseRecord(const UpdateContext &context,
    const std::optional<ReleaseRecord> &signedRecord, QString &error);

// The applied manifest, once the installation holds the release. It only spares the next run
// the hashing of files it lists: when it cannot be written, the old one stays and the next run
// fetches the files that changed once more, so the run log says why and the update stands.
void recordAppliedManifest(const UpdateContext &context, const QByteArray &manifestBytes);

// the changed entries in path order, as the worker takes them
QList<ManifestEntry> changedFileList(Manifest changes);

#endif // UPDATEAPPLICATION_H
