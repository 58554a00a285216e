#ifndef CHANGEDETECTION_H
#define CHANGEDETECTION_H

#include "manifest.h"
#include "reservednames.h"

#include <QDir>
#include <QFile>

// The manifest the installation recorded when it applied a release last; none when it is
// missing, unreadable or a link.
Manifest readAppliedManifest(const QDir &installRoot);
// the applied manifest opened for reading; false when there is none
bool openAppliedManifest(const QDir &installRoot, QFile &file);
// Whether the applied manifest holds exactly these bytes, read in pieces. The same bytes parse
// into the same entries, each listed as applied with its digest: nothing is to update.
bool appliedManifestIs(const QDir &installRoot, const QByteArray &bytes);

// The entries of the remote manifest whose files must be downloaded. The applied manifest is
// trusted first; only files it does not list are read and hashed.
Manifest detectChanges(const Manifest &remote, const Manifest &applied, const QDir &installRoot);

#endif // CHANGEDETECTION_H
