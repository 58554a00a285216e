#include "releasetrust.h"

#include "app/updatecheck.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("QObject", text);
}

QString shownTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}
} // namespace

ReleaseRecord readReleaseRecord(const QDir &installRoot)
{
    ReleaseRecord record;
    QFile file(installRoot.absoluteFilePath(releaseRecordName()));
    if (!file.open(QIODevice::ReadOnly))
        return record;
    // "release N" and "issued TIME", one per line
    const QList<QByteArray> lines = file.read(4096).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() != 2)
            continue;
        if (fields.at(0) == "release") {
            bool ok = false;
            const quint64 release = fields.at(1).toULongLong(&ok);
            if (ok)
                record.release = release;
        } else if (fields.at(0) == "issued") {
            const QDateTime issued
                = QDateTime::fromString(QString::fromLatin1(fields.at(1)), Qt::ISODate);
            if (issued.isValid())
                record.newestIssued = issued.toUTC();
        }
    }
    return record;
}

bool writeReleaseRecord(const QDir &installRoot, const ReleaseRecord &record)
{
    QByteArray bytes = "release " + QByteArray::number(record.release) + '\n';
    if (record.newestIssued.isValid())
        bytes += "issued " + shownTime(record.newestIssued).toLatin1() + '\n';
    QSaveFile file(installRoot.absoluteFilePath(releaseRecordName()));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

ReleaseRecord recordAfter(const ReleaseRecord &record, const ReleaseStatement &statement)
{
    ReleaseRecord next = record;
    next.release = qMax(record.release, statement.release);
    if (!record.newestIssued.isValid() || statement.issued > record.newestIssued)
        next.newestIssued = statement.issued;
    return next;
}

QString statementRefusal(const QByteArray &signatureFile, const QList<QByteArray> &trustedKeys,
                         const QByteArray &descriptorBytes, const UpdateDescriptor &descriptor,
                         const ReleaseRecord &record, const QDateTime &now,
                         ReleaseStatement &statement)
{
    switch (readSignedStatement(signatureFile, trustedKeys, statement)) {
    case StatementError::Malformed:
        return tr("升级签名文件格式不对");
    case StatementError::NotSigned:
        return tr("升级签名无效:没有受信任的密钥签名");
    case StatementError::None:
        break;
    }
    if (statement.descriptorSha256 != sha256Hex(descriptorBytes)
        || statement.folder != descriptor.folder || statement.version != descriptor.version)
        return tr("升级签名与升级描述文件不符");
    if (statement.release < record.release)
        return tr("升级版本回退:发布序号%1低于已安装的%2")
                .arg(statement.release)
                .arg(record.release);
    // a clock far behind is taken to be at least at the newest signing time seen: a stale
    // statement is still refused once anything newer has been accepted
    QDateTime clock = now.toUTC();
    if (record.newestIssued.isValid() && record.newestIssued > clock)
        clock = record.newestIssued;
    if (clock > statement.expires.addSecs(AllowedClockSkewSeconds))
        return tr("升级签名已过期:%1过期,当前时间%2")
                .arg(shownTime(statement.expires), shownTime(clock));
    return QString();
}

QString attachSignedHashes(const QByteArray &manifestBytes, const ReleaseStatement &statement,
                           Manifest &manifest)
{
    if (statement.manifestSha256 != sha256Hex(manifestBytes))
        return tr("升级签名与更新列表文件不符");
    for (auto it = manifest.begin(); it != manifest.end(); ++it) {
        const auto signedHash = statement.files.constFind(it.key());
        if (signedHash == statement.files.cend())
            return tr("更新文件%1未经签名").arg(it.key());
        it->sha256 = *signedHash;
    }
    return QString();
}
