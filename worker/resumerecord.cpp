#include "resumerecord.h"

#include "concurrentdigesthasher.h"
#include "pathtrust.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

namespace {
// the signed hash as the record holds it: a BLAKE2b one named as such, so that a partial file
// kept for a release signed by SHA-256 never resumes under a hash of another algorithm (records
// of unsigned and SHA-256 entries stay as they were)
QByteArray signedHashField(const ManifestEntry &entry)
{
    if (entry.signedHashKind == SignedHashKind::Blake2b)
        return "blake2b-256 " + entry.signedHash;
    return entry.signedHash;
}

// what a partial file belongs to: the entry, exactly; the server's validator follows it
QByteArray recordHeader(const ManifestEntry &entry)
{
    return "updater-partial 1\n" + QUrl::toPercentEncoding(entry.path) + '\n'
        + QByteArray::number(entry.size) + '\n' + entry.digest + '\n' + signedHashField(entry)
        + '\n';
}

// The validator If-Range may carry: a strong entity tag, else the modification time. A weak tag
// would not do (a range request may not be guarded by one).
QByteArray validatorOf(const QNetworkReply &reply)
{
    const QByteArray tag = reply.rawHeader("ETag").trimmed();
    if (!tag.isEmpty() && !tag.startsWith("W/"))
        return tag;
    return reply.rawHeader("Last-Modified").trimmed();
}
} // namespace

ResumeRecord::ResumeRecord(const QString &partialDir, const ManifestEntry &entry)
    : dir(partialDir)
    , entry(entry)
{ }

bool ResumeRecord::prepareDir() const
{
    // partial files lie in a folder of their own in the (private) cache
    if (dir.isEmpty())
        return false;
    if (pathKind(dir) != PathKind::Directory || ownership(dir) != Ownership::Private) {
        if (pathKind(dir) != PathKind::Missing && !removeWithoutFollowing(dir))
            return false;
        if (!QDir().mkdir(dir))
            return false;
    }
    return true;
}

QString ResumeRecord::path(QLatin1String suffix) const
{
    // named after the entry's path
    return dir + QLatin1Char('/')
        + QString::fromLatin1(
            QCryptographicHash::hash(entry.path.toUtf8(), QCryptographicHash::Sha1).toHex())
        + suffix;
}

bool ResumeRecord::find()
{
    if (!prepareDir())
        return false;
    partial = path(QLatin1String(".part"));
    record = path(QLatin1String(".info"));

    // continued only when the partial file is this user's alone and belongs to this very entry
    QByteArray validator;
    QFile file(record);
    const QByteArray header = recordHeader(entry);
    if (pathKind(record) == PathKind::File && ownership(record) == Ownership::Private
        && pathKind(partial) == PathKind::File && ownership(partial) == Ownership::Private
        && file.open(QIODevice::ReadOnly)) {
        const QByteArray content = file.read(64 * 1024);
        if (content.startsWith(header))
            validator = content.mid(header.size()).trimmed();
    }
    file.close();
    const qint64 kept = validator.isEmpty() ? 0 : QFileInfo(partial).size();
    if (kept <= 0 || quint64(kept) >= entry.size) {
        removeWithoutFollowing(record);
        removeWithoutFollowing(partial);
        validator.clear();
    }
    resumeValidator = validator;
    return true;
}

bool ResumeRecord::hashKept(ConcurrentDigestHasher &hasher) const
{
    // the digests cover the whole file: what is kept is hashed again before the rest arrives
    QFile kept(partial);
    if (!kept.open(QIODevice::ReadOnly))
        return false;
    qint64 left = resumeFrom;
    while (left > 0) {
        char *block = hasher.nextBlock();
        const qint64 count = kept.read(block, qMin(left, ConcurrentDigestHasher::BlockSize));
        if (count <= 0)
            return false;
        hasher.commitBlock(count);
        left -= count;
    }
    return true;
}

void ResumeRecord::restart()
{
    wasRestarted = true;
    resumeFrom = 0;
    resumeValidator.clear();
}

bool ResumeRecord::continuedBy(const QNetworkReply &reply) const
{
    // "bytes FIRST-LAST/SIZE": the answer continues at the first byte not kept and ends with the
    // file
    const QByteArray contentRange = reply.rawHeader("Content-Range");
    const QByteArray prefix = "bytes " + QByteArray::number(resumeFrom) + '-';
    if (!contentRange.startsWith(prefix))
        return false;
    const int slash = contentRange.indexOf('/');
    bool ok = false;
    const quint64 last = contentRange.mid(prefix.size(), slash - prefix.size()).toULongLong(&ok);
    return ok && slash > 0 && last + 1 == entry.size
        && (contentRange.mid(slash + 1) == "*"
            || contentRange.mid(slash + 1) == QByteArray::number(entry.size));
}

void ResumeRecord::keep(const QNetworkReply &reply)
{
    // without a validator the partial file is of no use to a later transfer
    if (record.isEmpty())
        return;
    const QByteArray validator = validatorOf(reply);
    if (validator.isEmpty() || validator.contains('\n')) {
        removeWithoutFollowing(record);
        return;
    }
    removeWithoutFollowing(record); // a link there is replaced, never written through
    QFile file(record);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        file.write(recordHeader(entry) + validator + '\n');
}

void ResumeRecord::drop()
{
    if (!record.isEmpty())
        removeWithoutFollowing(record);
}

void ResumeRecord::removeFiles() const
{
    removeWithoutFollowing(path(QLatin1String(".part")));
    removeWithoutFollowing(path(QLatin1String(".info")));
}
