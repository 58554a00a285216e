#ifndef ROLLOUTCHANGE_H
#define ROLLOUTCHANGE_H

#include "releasesigner.h"

#include "descriptor.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <functional>

// Changes the share of the live publication in a server directory (0 halts it) without touching
// a file of any release: update.ini is written again with every key kept but the percentage,
// under the next release number, so that clients which accepted the previous update.ini under
// its number take the new one; a signed publication gets a new update.sig and, with a fallback,
// a new update_fallback.sig bound to it, written before update.ini as a publication writes them.
class RolloutChange
{
    Q_DECLARE_TR_FUNCTIONS(RolloutChange)

public:
    RolloutChange(const SigningOptions &signing, int share, const QString &serverDir);

    // the signing keys, before anything is read
    bool checkArguments();
    // reads, checks, signs and writes; checkArguments() first
    bool run(std::function<void(quint64 done, quint64 total)> progress = {});

    QStringList errors() const { return errorList; }
    QStringList warnings() const { return warningList; }
    // update.ini as written
    UpdateDescriptor descriptor() const { return written; }
    const ReleaseSigner &signer() const { return releaseSigner; }

private:
    bool rewrite(const LivePublication &live, quint64 number, QByteArray &bytes);
    bool sign(const QByteArray &bytes, const LivePublication &live,
        std::function<void(quint64, quint64)> progress, QByteArray &statement,
        QByteArray &fallbackStatement);

    ReleaseSigner releaseSigner;
    int share;
    QString serverDir;
    QStringList errorList;
    QStringList warningList;
    UpdateDescriptor written;
};

#endif // ROLLOUTCHANGE_H
