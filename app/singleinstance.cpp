#include "singleinstance.h"

SingleInstanceGuard::SingleInstanceGuard(const QString &updaterDir)
    : memory(updaterDir + QLatin1String("update_singleton"))
{ }

bool SingleInstanceGuard::acquire()
{
#ifdef Q_OS_UNIX
    // A System V segment outlives a process that was killed, so one crashed updater would lock
    // out every later one. Attaching and detaching once removes a segment that no live process
    // holds; a live updater stays attached and keeps its lock. (Windows frees the segment with
    // its last handle, so there is nothing to clear there.)
    if (memory.attach(QSharedMemory::ReadWrite))
        memory.detach();
#endif
    if (memory.attach(QSharedMemory::ReadWrite))
        return false;
    if (memory.error() == QSharedMemory::AlreadyExists)
        return false;
    memory.create(1, QSharedMemory::ReadWrite);
    return true;
}
