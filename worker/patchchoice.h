#ifndef PATCHCHOICE_H
#define PATCHCHOICE_H

#include "deltaindex.h"
#include "manifest.h"

#include <QDir>
#include <QList>
#include <QMap>

// For each changed file, the patch whose earlier version is the installed copy: its digest as
// the applied manifest records it, or as read from the file. Patches that cannot pay (not
// smaller than the file) or exceed the size limit are left out.
QMap<QString, DeltaPatch> choosePatches(const QList<DeltaPatch> &patches, const Manifest &changes,
    const Manifest &applied, const QDir &installRoot);

#endif // PATCHCHOICE_H
