#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QString>

// Lets one updater per directory run at a time, through a lock file in that directory. Only
// those who may change the updater's directory can create the file there, no one else can open
// it while it is held, and the system lets go of it when the process ends, however it ends.
// The lock is held until the object is destroyed.
class SingleInstanceGuard
{
public:
    explicit SingleInstanceGuard(const QString &updaterDir);
    // another lock of the directory, under the reserved name lockName (the watch of a host)
    SingleInstanceGuard(const QString &updaterDir, const QString &lockName);
    ~SingleInstanceGuard();
    Q_DISABLE_COPY(SingleInstanceGuard)

    // false when another updater from the same directory holds the lock
    bool acquire();
    // lets go of the lock before the object is destroyed (an updater that hands its run over to
    // another one)
    void release();
    bool isHeld() const;

private:
    QString path;
#ifdef Q_OS_WIN
    void *handle = nullptr; // the lock file, opened without sharing
#else
    int descriptor = -1; // the lock file, under flock()
#endif
};

#endif // SINGLEINSTANCE_H
