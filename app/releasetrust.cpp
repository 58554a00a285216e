#include "releasetrust.h"

#include "descriptor.h"
#include "filewrite.h"
#include "safedir.h"

#include <QCoreApplication>
#include <QFile>

namespace {
// the messages' translation context, in which the catalogs (translations/) hold them
struct Message
{
    Q_DECLARE_TR_FUNCTIONS(QObject)
};

QString shownTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}
} // namespace

ReleaseRecord readReleaseRecord(const QDir &installRoot)
{
    ReleaseRecord record;
    QFile file; // a link in its place, or a fifo, reads as none
    if (!SafeDir::openBelow(installRoot.absolutePath(), releaseRecordName(), file))
        return record;
    const QList<QByteArray> lines = file.read(4096).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() != 2)
            continue;
        const QByteArray &key = fields.at(0);
        const QByteArray &value = fields.at(1);
        if (key == "release") {
            bool ok = false;
            const quint64 release = value.toULongLong(&ok);
            if (ok)
                record.release = release;
        } else if (key == "issued") {
            const QDateTime issued = QDateTime::fromString(QString::fromLatin1(value), Qt::ISODate);
            if (issued.isValid())
                record.newestIssued = issued.toUTC();
        } else if (key == "update.ini" && isSha256Hex(value)) {
            record.descriptorSha256 = value;
        } else if (key == "md5.txt" && isSha256Hex(value)) {
            record.manifestSha256 = value;
        } else if (key == "folder") {
            decodedFieldText(value, record.folder);
        } else if (key == "version") {
            decodedFieldText(value, record.version);
        }
    }
    return record;
}

bool writeReleaseRecord(const QDir &installRoot, const ReleaseRecord &record, QString &error)
{
    QByteArray bytes = "release " + QByteArray::number(record.release) + '\n';
    if (record.newestIssued.isValid())
        bytes += "issued " + shownTime(record.newestIssued).toLatin1() + '\n';
    if (!record.descriptorSha256.isEmpty())
        bytes += "update.ini " + record.descriptorSha256 + '\n';
    if (!record.manifestSha256.isEmpty())
        bytes += "md5.txt " + record.manifestSha256 + '\n';
    if (!record.folder.isEmpty())
        bytes += "folder " + encodedFieldText(record.folder) + '\n';
    if (!record.version.isEmpty())
        bytes += "version " + encodedFieldText(record.version) + '\n';
    return writeFileBytes(installRoot.absoluteFilePath(releaseRecordName()), bytes, &error);
}

ReleaseRecord recordAfter(const ReleaseRecord &record, const ReleaseStatement &statement)
{
    ReleaseRecord next = record;
    if (statement.release >= record.release) {
        next.release = statement.release;
        next.descriptorSha256 = statement.descriptorSha256;
        next.manifestSha256 = statement.manifestSha256;
        next.folder = statement.folder;
        next.version = statement.version;
    }
    if (!record.newestIssued.isValid() || statement.issued > record.newestIssued)
        next.newestIssued = statement.issued;
    return next;
}

bool verifyStatement(const QByteArray &signatureFile, const QList<QByteArray> &trustedKeys,
    const QByteArray &descriptorBytes, const UpdateDescriptor &descriptor,
    const ReleaseRecord &record, const QDateTime &now, ReleaseStatement &statement, QString &error)
{
    const auto refused = [&error](const QString &reason) {
        error = reason;
        return false;
    };
    switch (readSignedStatement(signatureFile, trustedKeys, statement)) {
    case StatementError::Malformed:
        return refused(Message::tr("升级签名文件格式不对"));
    case StatementError::NotSigned:
        return refused(Message::tr("升级签名无效:没有受信任的密钥签名"));
    case StatementError::None:
        break;
    }
    if (statement.descriptorSha256 != sha256Hex(descriptorBytes)
        || statement.folder != descriptor.folder || statement.version != descriptor.version
        || (descriptor.release != 0 && statement.release != descriptor.release))
        return refused(Message::tr("升级签名与升级描述文件不符"));
    if (statement.release < record.release)
        return refused(Message::tr("升级版本回退:发布序号%1低于已安装的%2")
                           .arg(statement.release)
                           .arg(record.release));
    // a replay of another release under the same number (a record without hashes, written
    // before they were kept, takes the first release it sees under its number)
    if (statement.release == record.release
        && ((!record.descriptorSha256.isEmpty()
                && statement.descriptorSha256 != record.descriptorSha256)
            || (!record.manifestSha256.isEmpty()
                && statement.manifestSha256 != record.manifestSha256)))
        return refused(
            Message::tr("升级版本冲突:发布序号%1已用于另一个发布").arg(statement.release));
    // a clock far behind is taken to be at least at the newest signing time seen: a stale
    // statement is still refused once anything newer has been accepted
    QDateTime clock = now.toUTC();
    if (record.newestIssued.isValid() && record.newestIssued > clock)
        clock = record.newestIssued;
    if (clock > statement.expires.addSecs(AllowedClockSkewSeconds))
        return refused(Message::tr("升级签名已过期:%1过期,当前时间%2")
                           .arg(shownTime(statement.expires), shownTime(clock)));
    return true;
}

bool verifyManifest(
    const QByteArray &manifestBytes, const ReleaseStatement &statement, QString &error)
{
    if (statement.manifestSha256 == sha256Hex(manifestBytes))
        return true;
    error = Message::tr("升级签名与更新列表文件不符");
    return false;
}

bool attachSignedHashes(const ReleaseStatement &statement, Manifest &manifest, QString &error)
{
    for (auto it = manifest.begin(); it != manifest.end(); ++it) {
        const auto signedHash = statement.files.constFind(it.key());
        if (signedHash == statement.files.cend()) {
            error = Message::tr("更新文件%1未经签名").arg(it.key());
            return false;
        }
        it->signedHash = *signedHash;
        it->signedHashKind = statement.fileHash;
    }
    return true;
}
