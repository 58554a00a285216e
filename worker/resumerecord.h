#ifndef RESUMERECORD_H
#define RESUMERECORD_H

#include "manifest.h"

#include <QByteArray>
#include <QLatin1String>
#include <QString>

class ConcurrentDigestHasher;
class QNetworkReply;

// A large file that ends early (a broken connection, a stall, a cancel, a killed process) leaves
// its partial file behind, with a record of the entry and of the server's validator (ETag or
// Last-Modified). The next transfer of that entry asks only for the rest, guarded by If-Range;
// a server that ignores ranges or whose file changed sends all of it, which then replaces what
// was kept. The digests always cover the whole file: kept bytes are hashed again first, and a
// file that fails its digest after continuing is fetched once more from its first byte.
//
// Both files lie in a private folder of the cache, named after the entry's path.
class ResumeRecord
{
public:
    // A file this large is written to a partial file that a later transfer continues from; a
    // smaller one costs less to fetch again than the bookkeeping would.
    static constexpr quint64 Threshold = 1024 * 1024;

    // partialDir: where large files are kept between transfers; empty: nowhere
    ResumeRecord(const QString &partialDir, const ManifestEntry &entry);

    // the folder, made when missing, replaced when it is not a directory of this user's alone
    bool prepareDir() const;
    // a file of the entry's in the folder, the suffix after its name
    QString path(QLatin1String suffix) const;
    // What an earlier transfer kept: false when the folder cannot be used. Otherwise
    // partialPath() is the file to write, and validator() the one what it holds was fetched
    // under, empty when nothing may be continued (stale files are then removed).
    bool find();
    QString partialPath() const { return partial; }
    QByteArray validator() const { return resumeValidator; }
    // the kept bytes the next request does not ask for
    void setKept(qint64 bytes) { resumeFrom = bytes; }
    qint64 kept() const { return resumeFrom; }
    // the kept bytes hashed again, for the digests to cover the whole file
    bool hashKept(ConcurrentDigestHasher &hasher) const;
    // nothing kept any more: the whole file from its first byte, once
    void restart();
    bool restarted() const { return wasRestarted; }
    // a 206 answer is the rest that was asked for, ending with the file
    bool continuedBy(const QNetworkReply &reply) const;
    // the record of the answer's validator: a partial file can be continued only under it
    void keep(const QNetworkReply &reply);
    // the record removed: what the partial file holds may not be continued
    void drop();
    // the partial file and its record removed, of no more use
    void removeFiles() const;

private:
    const QString dir;
    const ManifestEntry entry;
    // empty for a small file, or when the folder cannot be used
    QString partial;
    QString record;
    qint64 resumeFrom = 0;
    QByteArray resumeValidator;
    bool wasRestarted = false;
};

#endif // RESUMERECORD_H
