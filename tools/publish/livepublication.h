#ifndef LIVEPUBLICATION_H
#define LIVEPUBLICATION_H

#include "descriptor.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

// What a server directory publishes now, as the publisher finds it before it writes anything:
// update.ini, and what update.sig states, whoever signed it. Clients compare the numbers of the
// publications (update.ini's Release, a signed one's statement), so every new one is numbered
// above the published one.
struct LivePublication
{
    bool hasDescriptor = false;
    QByteArray descriptorBytes;
    UpdateDescriptor descriptor; // as the updater reads it
    bool hasStatement = false; // update.sig exists
    quint64 statementRelease = 0; // its number; 0 when it cannot be read
    QString statementFolder;

    // the larger of update.ini's Release and update.sig's number; 0 for none
    quint64 publishedRelease() const { return qMax(descriptor.release, statementRelease); }
};

// The release an installation outside a rollout's share updates to instead.
struct RolloutFallback
{
    QString folder;
    QString version;
    quint64 release = 0;
};

class LivePublicationRules
{
    Q_DECLARE_TR_FUNCTIONS(LivePublicationRules)

public:
    // reads update.ini and update.sig of serverDir; false with the reason in error when one of
    // them is there but cannot be read
    static bool read(const QString &serverDir, LivePublication &live, QString &error);

    // The number of a new publication: requested (0: one more than the published one), never
    // below the published one. False with the reason in error.
    static bool releaseNumber(
        const LivePublication &live, quint64 requested, quint64 &number, QString &error);

    // The fallback named folder: only the live release or the live fallback, published earlier
    // on this server with a number clients can compare, its folder there with its md5.txt.
    // False with the reason in error.
    static bool fallback(const LivePublication &live, const QString &serverDir,
        const QString &folder, RolloutFallback &fallback, QString &error);
};

#endif // LIVEPUBLICATION_H
