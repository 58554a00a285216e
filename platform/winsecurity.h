#ifndef WINSECURITY_H
#define WINSECURITY_H

// Owners and access lists on Windows, for the path checks (pathtrust.cpp).

#include "pathtrust.h"

#include <QByteArray>
#include <QList>

#include <windows.h>

#include <string>

// The principals trusted with what the updater installs with administrator rights.
struct TrustedSids
{
    QByteArray user; // the user this process runs as
    // may own the cache and write to it: this user and the principals above every user
    QList<QByteArray> owners;
    // may also appear in its access list: the owner as such ("OWNER RIGHTS", "CREATOR OWNER")
    QList<QByteArray> writers;

    TrustedSids();
    static bool contains(const QList<QByteArray> &list, PSID sid);
};

const TrustedSids &trustedSids();

// who owns the object and whether anyone else is granted one of the rights
Ownership securityOwnership(const std::wstring &native, ACCESS_MASK rights);

#endif // WINSECURITY_H
