#include "rollout.h"

#include "digest.h"

#include <sodium.h>

#include <QRegularExpression>

bool parseRolloutPercent(const QString &text, int &share)
{
    static const QRegularExpression decimal(QStringLiteral("^([0-9]{1,3})(?:\\.([0-9]{1,4}))?$"));
    const QRegularExpressionMatch match = decimal.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    const int whole = match.captured(1).toInt();
    const int fraction = match.captured(2).leftJustified(4, QLatin1Char('0')).toInt();
    const int value = whole * 10000 + fraction;
    if (value > RolloutBuckets)
        return false;
    share = value;
    return true;
}

QString rolloutPercentText(int share)
{
    QString text = QString::number(share / 10000);
    const int fraction = share % 10000;
    if (fraction != 0) {
        QString digits = QString::number(fraction).rightJustified(4, QLatin1Char('0'));
        while (digits.endsWith(QLatin1Char('0')))
            digits.chop(1);
        text += QLatin1Char('.') + digits;
    }
    return text;
}

int rolloutBucket(const QByteArray &installationId, const QString &folder)
{
    const QByteArray input = installationId + '\n' + folder.toUtf8();
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(input.constData()),
        static_cast<unsigned long long>(input.size()));
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | digest[i];
    return static_cast<int>(value % RolloutBuckets);
}

bool takesPart(const QByteArray &installationId, const QString &folder, int share)
{
    return rolloutBucket(installationId, folder) < share;
}

bool isInstallationId(const QByteArray &text)
{
    return isLowerHex(text, 32);
}

QByteArray newInstallationId()
{
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    return QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes).toHex();
}
