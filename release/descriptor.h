#ifndef DESCRIPTOR_H
#define DESCRIPTOR_H

#include <QByteArray>
#include <QString>

// The values of "update.ini": what kind of update, where its files lie, what to call it.
struct UpdateDescriptor
{
    int updateType = 1; // 0: optional, anything else: forced
    QString folder;
    QString version;
    // the release folder holds an index of patches (update_delta.txt): announced by the key
    // "Delta/Index" naming it, which clients that know nothing of patches ignore
    bool deltaIndex = false;
};
// the values of the descriptor's bytes: read as text, never decoded into objects (they come from
// the network); what is missing or unreadable takes its default
UpdateDescriptor parseDescriptor(const QByteArray &bytes);
// the same, of a file read whole; a file that cannot be read reads as the defaults
UpdateDescriptor readDescriptor(const QString &path);

#endif // DESCRIPTOR_H
