#ifndef UPDATEAPPLICATION_H
#define UPDATEAPPLICATION_H

#include "app/frontend.h"
#include "app/releasetrust.h"
#include "app/updatecheck.h"
#include "net/deltaindex.h"
#include "net/manifest.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The second half of an attempt, once files differ and the update goes ahead: runs the worker,
// records the applied manifest (and for a signed release signedRecord, what the installation
// keeps against rollback) once everything is installed. patches: by path, fetched in place of
// whole files where they apply.
AttemptResult applyUpdate(const UpdateContext &context, UpdateFrontend &frontend, Manifest changes,
    QByteArray manifestBytes, bool forced, QString folderUrl,
    const std::optional<ReleaseRecord> &signedRecord = std::nullopt,
    const QMap<QString, DeltaPatch> &patches = {});

// What the installation keeps once it holds a release: the applied manifest, and for a signed
// release its record against rollback.
void recordAppliedRelease(const UpdateContext &context, const QByteArray &manifestBytes,
    const std::optional<ReleaseRecord> &signedRecord);

// the changed entries in path order, as the worker takes them
QList<ManifestEntry> changedFileList(Manifest changes);

#endif // UPDATEAPPLICATION_H
