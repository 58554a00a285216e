#ifndef ROLLBACK_H
#define ROLLBACK_H

#include "updaterecord.h"

#include <QDir>
#include <QString>

class SafeDir;

// Brings the installation back to the version before the last update, from the update's record
// (updaterecord.h): every file it replaced back from its set-aside copy NAME.old, every file it
// added taken away, the applied manifest and the release record as they were.
//
// All or nothing, across a killed process too: nothing is touched before every set-aside copy
// is there with the content the record names. A journal in the cache ("update_undo/journal")
// then says that a rollback is under way; each file changes by renames alone (the new version's
// file to NAME.undo, NAME.old to NAME), so that any moment leaves each file in a state the next
// run recognises, and finishInterrupted() completes what a killed rollback began. A rename that
// fails (a file another process holds past the wait) undoes the files already moved, and the
// new version stays. Once the journal says done, the new version's files are removed and the
// release is marked bad on this machine.
//
// Everything in the installation is reached without a link (SafeDir); a link where a directory
// of the release belongs refuses the rollback.
class Rollback
{
public:
    Rollback(const QDir &cacheDir, const QDir &installRoot, int lockedFileWait);

    // whether the last update can be undone: false with the reason in errorMessage()
    bool check();
    // check(), then the rollback; true when the previous version is whole again. False with the
    // reason in errorMessage(): the installation is then as it was (or, should even the undoing
    // fail, the journal has the next run complete the rollback).
    bool run();
    // completes a rollback that a killed process began; true when there was none or it is
    // complete now
    bool finishInterrupted();

    // the update undone (or to be undone)
    const UpdateRecord &record() const { return undone; }
    QString errorMessage() const { return message; }

private:
    enum class Opened { Open, Missing, Refused };
    Opened openDirOf(const QString &path, SafeDir &dir, QString &name);
    bool verify(const UpdateRecord::File &file);
    bool forward(const UpdateRecord::File &file);
    bool backward(const UpdateRecord::File &file);
    bool restoreRecords();
    bool writeJournal(const QByteArray &phase);
    void complete();
    bool rename(SafeDir &dir, const QString &from, const QString &to);

    QDir cacheDir;
    QDir installRoot;
    const int lockedFileWait;
    UpdateRecord undone;
    QString message;
};

// whether the release (its folder and version in update.ini) was rolled back on this machine
bool releaseMarkedBad(const QDir &cacheDir, const QString &folder, const QString &version);

#endif // ROLLBACK_H
