#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QSharedMemory>
#include <QString>

// Lets one updater per directory run at a time. The lock is held until the object is destroyed.
class SingleInstanceGuard
{
public:
    explicit SingleInstanceGuard(const QString &updaterDir);
    Q_DISABLE_COPY(SingleInstanceGuard)

    // false when another updater from the same directory holds the lock
    bool acquire();
    QString key() const { return memory.key(); }

private:
    QSharedMemory memory;
};

#endif // SINGLEINSTANCE_H
