#ifndef CHANGEDETECTION_H
#define CHANGEDETECTION_H

#include "manifest.h"
#include "reservednames.h"

#include <QDir>

// The manifest the installation recorded when it applied a release last; none when it is
// missing, unreadable or a link.
Manifest readAppliedManifest(const QDir &installRoot);

// The entries of the remote manifest whose files must be downloaded. The applied manifest is
// trusted first; only files it does not list are read and hashed.
Manifest detectChanges(const Manifest &remote, const Manifest &applied, const QDir &installRoot);

#endif // CHANGEDETECTION_H
