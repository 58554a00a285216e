#ifndef CHANGEDETECTION_H
#define CHANGEDETECTION_H

#include "manifest.h"
#include "reservednames.h"

#include <QDir>

// The entries of the remote manifest whose files must be downloaded. The applied manifest is
// trusted first; only files it does not list are read and hashed.
Manifest detectChanges(Manifest remote, QDir installRoot);

#endif // CHANGEDETECTION_H
