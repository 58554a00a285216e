#ifndef UPDATERECORD_H
#define UPDATERECORD_H

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QString>

#include <optional>

// What the last installation replaced and added, kept in the cache ("update_undo/record") so
// that the installation can be brought back to the version before it: the files it replaced lie
// in the installation as NAME.old, with the SHA-256 recorded here (that folder is the
// installation's user's to write: a set-aside copy is restored only when it still has it), and
// the applied manifest and the release record as they were before. The installer writes it in
// one step before the first file is swapped, and removes it again when it undoes its run.
//
// Text, one item a line, paths percent-encoded:
//   undo 1
//   folder v2                 the release installed (percent-encoded)
//   version 2.0
//   manifest BASE64|-         the applied manifest before it ("-": there was none)
//   release BASE64|-          the release record before it
//   replaced SHA256 PATH      a file it replaced (its previous content's SHA-256)
//   added DEPTH PATH          a file it added, DEPTH the topmost directory made for it or -1
struct UpdateRecord
{
    struct File
    {
        QString path;
        bool replaced = false;
        QByteArray sha256; // lower-case hex, of the previous content
        // an added file in a directory the installation made for it: the depth in its path of
        // the topmost such directory (0: its first name); -1 when none was made
        int createdDepth = -1;
    };

    QString folder;
    QString version;
    std::optional<QByteArray> appliedManifest;
    std::optional<QByteArray> releaseRecord;
    QList<File> files;
};

QByteArray updateRecordText(const UpdateRecord &record);
// false for anything but a record as written above
bool parseUpdateRecord(const QByteArray &text, UpdateRecord &record);

// the folder of the record, the rollback's journal and the mark of a bad release
QString undoFolderPath(const QDir &cacheDir);
// false with the system's reason in error
bool writeUpdateRecord(const QDir &cacheDir, const UpdateRecord &record, QString &error);
// false with the reason in error when there is none or it cannot be read
bool readUpdateRecord(const QDir &cacheDir, UpdateRecord &record, QString &error);
void removeUpdateRecord(const QDir &cacheDir);

// the name an update record's file takes in the folder
QString undoFilePath(const QDir &cacheDir, const char *name);

#endif // UPDATERECORD_H
