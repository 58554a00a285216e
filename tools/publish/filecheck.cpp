// PublicationCheck's reading of md5.txt, line by line as the updater parses it, and of every
// file it lists, streamed and hashed.
#include "publicationcheck.h"

#include "publishrules.h"

#include "deltaindex.h"
#include "digest.h"
#include "manifest.h"

#include <QSet>

namespace {
bool isHex(const QByteArray &text, int length)
{
    return isLowerHex(text.toLower(), length);
}
} // namespace

void PublicationCheck::checkManifestLines(const QByteArray &bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    // the line end of the last line leaves an empty piece, not a line
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();

    // each line on its own through the updater's parser: what it drops, a client never fetches
    QSet<QString> seen;
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const QString shown = printablePath(QString::fromLocal8Bit(line));
        const Manifest parsed = parseManifest(line);
        if (parsed.isEmpty()) {
            problemList.append(
                tr("md5.txt line %1 is dropped by the updater: \"%2\"").arg(i + 1).arg(shown));
            continue;
        }
        const ManifestEntry &entry = parsed.first();
        if (seen.contains(entry.path))
            problemList.append(tr("md5.txt line %1 lists \"%2\" again; the updater keeps only "
                                  "the last line for a path.")
                                   .arg(i + 1)
                                   .arg(printablePath(entry.path)));
        seen.insert(entry.path);
        QString cacheProblem;
        if (!checkOutsideDefaultCache(entry.path, cacheProblem))
            problemList.append(tr("md5.txt line %1: \"%2\" %3.")
                                   .arg(i + 1)
                                   .arg(printablePath(entry.path), cacheProblem));

        const QList<QByteArray> fields = line.split('\t');
        if (!isLowerHex(fields.at(0), 32))
            problemList.append(
                tr("md5.txt line %1 has no valid digest: \"%2\"").arg(i + 1).arg(shown));
        if (!isHex(fields.at(1), 16))
            problemList.append(
                tr("md5.txt line %1 has no valid size: \"%2\"").arg(i + 1).arg(shown));
    }
    if (lines.isEmpty())
        problemList.append(tr("md5.txt lists no files."));
}

void PublicationCheck::checkFiles(const QByteArray &bytes)
{
    const Manifest manifest = parseManifest(bytes);
    quint64 total = 0;
    for (const ManifestEntry &entry : manifest)
        total += entry.size;
    quint64 done = 0;
    if (progress)
        progress(0, total);

    // the signed hash comes from the same read as the digest text
    const bool hashing = collecting() || statementRead;
    const SignedHashKind hashKind = hashing ? fileHashKind() : SignedHashKind::None;
    const QString hashName = hashKind == SignedHashKind::Blake2b ? QStringLiteral("BLAKE2b-256")
                                                                 : QStringLiteral("SHA-256");
    const QMap<QString, QByteArray> &signedHashes = releaseStatement.files;
    for (const ManifestEntry &entry : manifest) {
        ++checkedFiles;
        const QString shown = printablePath(entry.path);
        if (statementRead && !signedHashes.contains(entry.path))
            problemList.append(tr("\"%1\" has no %3 in %2; clients refuse the "
                                  "release.")
                                   .arg(shown, statementFile(), hashName));
        DigestHasher hasher;
        SignedHasher signedHasher(hashKind);
        quint64 read = 0;
        quint64 size = entry.size;
        QString error;
        const PublicationSource::Outcome outcome = source->stream(
            folderName, entry.path, size,
            [&](const char *data, qint64 length) {
                hasher.addData(data, length);
                signedHasher.addData(data, length);
                read += quint64(length);
                if (progress)
                    progress(done + qMin(read, entry.size), total);
            },
            error);
        done += entry.size;
        QString problem;
        if (!checkStreamed(outcome, shown, size, entry.size, error, problem)) {
            problemList.append(problem);
            continue;
        }
        const QByteArray digest = hasher.digestText();
        if (digest != entry.digest)
            problemList.append(
                tr("\"%1\" differs from md5.txt: its digest is %2, md5.txt lists %3.")
                    .arg(shown, QString::fromLatin1(digest), QString::fromLatin1(entry.digest)));
        if (!hashing)
            continue;
        const QByteArray hash = signedHasher.hexDigest();
        hashes.insert(entry.path, hash);
        const auto signedHash = signedHashes.constFind(entry.path);
        if (statementRead && signedHash != signedHashes.cend() && *signedHash != hash)
            problemList.append(tr("\"%1\" differs from %2: its %5 is %3, %2 states %4.")
                                   .arg(shown, statementFile(), QString::fromLatin1(hash),
                                       QString::fromLatin1(*signedHash), hashName));
    }
    if (progress)
        progress(done, total);
    checkPatches(manifest);

    if (statementRead) {
        int unlisted = 0;
        for (auto it = signedHashes.cbegin(); it != signedHashes.cend(); ++it)
            unlisted += manifest.contains(it.key()) || it.key() == deltaIndexName() ? 0 : 1;
        if (unlisted > 0)
            warningList.append(
                tr("%1 states the %2 of %n file(s) md5.txt does not list.", nullptr, unlisted)
                    .arg(statementFile(), hashName));
    }
}

bool PublicationCheck::checkStreamed(PublicationSource::Outcome outcome, const QString &shown,
    quint64 size, quint64 listed, const QString &reason, QString &error) const
{
    switch (outcome) {
    case PublicationSource::Outcome::Read:
        return true;
    case PublicationSource::Outcome::Missing:
        error = reason.isEmpty() ? tr("\"%1\" is missing.").arg(shown)
                                 : tr("\"%1\" is missing: %2.").arg(shown, reason);
        return false;
    case PublicationSource::Outcome::NotFile:
        error = tr("\"%1\" is not a regular file.").arg(shown);
        return false;
    case PublicationSource::Outcome::WrongSize:
        error = tr("\"%1\" has %2 bytes, md5.txt lists %3.").arg(shown).arg(size).arg(listed);
        return false;
    case PublicationSource::Outcome::TooLong:
        error = tr("\"%1\" has more bytes than the %2 md5.txt lists.").arg(shown).arg(listed);
        return false;
    case PublicationSource::Outcome::Failed:
        break;
    }
    error = tr("Cannot read \"%1\": %2").arg(shown, reason);
    return false;
}
