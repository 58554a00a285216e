#ifndef UPDATEATTEMPT_H
#define UPDATEATTEMPT_H

#include "deltaindex.h"
#include "descriptor.h"
#include "manifest.h"
#include "outcomereport.h"
#include "releasestatement.h"
#include "releasetrust.h"
#include "updatefrontend.h"
#include "updaterecord.h"
#include "updaterun.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <optional>

// What one attempt has learnt so far: each step of runAttempt adds its part, in this order.
struct UpdateAttempt
{
    explicit UpdateAttempt(const UpdateContext &context)
        : context(context)
    { }

    bool forced() const { return descriptor.updateType != 0; }
    void noteOutcome(const QString &event, const QString &error = QString())
    {
        outcome.event = event;
        outcome.error = error;
    }

    UpdateContext context; // its cache resolved once checked
    // this process may install into the installation (it writes there, or holds every right
    // there is): otherwise the check goes on without writing there, and the cache is used only
    // where it is safe and takes the descriptor
    bool mayInstall = true;
    bool withoutCache = false; // the check keeps no copy of update.ini and no run log
    // the exit code of the elevated run that did the installing, passed on as this run's
    std::optional<int> elevatedExitCode;
    ReleaseRecord installed; // what the installation recorded of the release it has
    QByteArray descriptorBytes; // update.ini as fetched
    UpdateDescriptor descriptor;
    // a signed release: the statement that verified, and the record against rollback once the
    // release is accepted
    ReleaseStatement statement;
    std::optional<ReleaseRecord> signedRecord;
    QString folderUrl; // where the release's files lie
    QByteArray manifestBytes; // md5.txt as fetched, recorded as it is once installed
    // the installation recorded this very md5.txt when it applied a release last: nothing is
    // to update, and neither manifest is parsed
    bool holdsManifest = false;
    bool http2 = false; // md5.txt came over HTTP/2: the files will come the same way
    Manifest remote; // with its signed hashes, for a signed release
    Manifest applied; // the manifest the installation recorded last
    Manifest changes; // the entries whose files differ from the installed ones
    // by path, fetched in place of whole files where they apply
    QMap<QString, DeltaPatch> patches;
    // the applied manifest and release record before the installation, for its rollback
    UpdateRecord undoBase;

    // left out of a rollout, the attempt took its fallback: descriptor and statement are the
    // fallback's since
    bool fallback = false;
    bool foundChanges = false; // the installation lacked the release: the outcome is reported
    OutcomeReport outcome;
};

// One update attempt, step by step: the descriptor (its URL, the fetch, the cache it is saved
// to), the signed statement, the manifest, change detection, the rollout's share (and its
// fallback), the question, the patches, the download and installation by the worker, the record
// of the applied manifest; then the outcome report, when the configuration asks for one. The run
// (runUpdates) starts the host again afterwards.
// After an elevated run of the updater, exitCode holds its exit code.
AttemptResult runAttempt(
    const UpdateContext &context, UpdateFrontend &frontend, std::optional<int> &exitCode);

#endif // UPDATEATTEMPT_H
