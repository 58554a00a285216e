#include "digest.h"

#include <QFile>
#include <QtEndian>

#include <cstdio>

namespace {
// large enough to keep the hash busy between reads, small enough to keep memory flat
constexpr qint64 ReadChunkSize = 1024 * 1024;
} // namespace

void DigestHasher::addData(const char *data, qint64 length)
{
    // QCryptographicHash takes an int length in Qt 5: feed very large blocks in pieces
    while (length > 0) {
        const int piece = int(qMin<qint64>(length, 1 << 30));
        hash.addData(data, piece);
        data += piece;
        length -= piece;
    }
}

bool DigestHasher::addData(QIODevice *device)
{
    QByteArray buffer(int(ReadChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 count = device->read(buffer.data(), buffer.size());
        if (count < 0)
            return false;
        if (count == 0)
            return device->atEnd();
        addData(buffer.constData(), count);
    }
}

QByteArray DigestHasher::digestText() const
{
    return digestTextFromMd5(hash.result());
}

Sha256Hasher::Sha256Hasher()
{
    // once per process; it picks the implementations that suit this processor
    static const bool sodiumReady = sodium_init() >= 0;
    Q_UNUSED(sodiumReady)
    reset();
}

void Sha256Hasher::reset()
{
    crypto_hash_sha256_init(&state);
}

void Sha256Hasher::addData(const char *data, qint64 length)
{
    crypto_hash_sha256_update(&state, reinterpret_cast<const uchar *>(data), quint64(length));
}

QByteArray Sha256Hasher::hexDigest() const
{
    crypto_hash_sha256_state copy = state;
    uchar digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&copy, digest);
    return QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex();
}

SignedHasher::SignedHasher(SignedHashKind kind)
{
    reset(kind);
}

void SignedHasher::reset(SignedHashKind kind)
{
    hashKind = kind;
    if (kind == SignedHashKind::Sha256)
        sha256.reset();
    else if (kind == SignedHashKind::Blake2b)
        crypto_generichash_init(&blake2b, nullptr, 0, crypto_generichash_BYTES);
}

void SignedHasher::addData(const char *data, qint64 length)
{
    if (hashKind == SignedHashKind::Sha256)
        sha256.addData(data, length);
    else if (hashKind == SignedHashKind::Blake2b)
        crypto_generichash_update(&blake2b, reinterpret_cast<const uchar *>(data), quint64(length));
}

QByteArray SignedHasher::hexDigest() const
{
    if (hashKind == SignedHashKind::Sha256)
        return sha256.hexDigest();
    if (hashKind != SignedHashKind::Blake2b)
        return QByteArray();
    crypto_generichash_state copy = blake2b;
    uchar digest[crypto_generichash_BYTES];
    crypto_generichash_final(&copy, digest, sizeof digest);
    return QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex();
}

QByteArray signedHashHex(SignedHashKind kind, const QByteArray &data)
{
    SignedHasher hasher(kind);
    hasher.addData(data);
    return hasher.hexDigest();
}

QByteArray digestTextFromMd5(const QByteArray &md5)
{
    Q_ASSERT(md5.size() == 16);
    const auto *bytes = reinterpret_cast<const uchar *>(md5.constData());
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", qFromLittleEndian<quint32>(bytes),
        qFromLittleEndian<quint32>(bytes + 4), qFromLittleEndian<quint32>(bytes + 8),
        qFromLittleEndian<quint32>(bytes + 12));
    return QByteArray(text, 32);
}

QByteArray digestText(QByteArray data)
{
    DigestHasher hasher;
    hasher.addData(data);
    return hasher.digestText();
}

QByteArray fileDigestText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    DigestHasher hasher;
    if (!hasher.addData(&file))
        return QByteArray();
    return hasher.digestText();
}

bool verifyFileDigest(QString path, QByteArray expectedDigest)
{
    const QByteArray actual = fileDigestText(path);
    return !actual.isEmpty() && actual == expectedDigest;
}

bool verifyFileDigests(const QString &path, const QByteArray &expectedDigest,
    SignedHashKind signedKind, const QByteArray &expectedSignedHash)
{
    if (signedKind == SignedHashKind::None)
        return verifyFileDigest(path, expectedDigest);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    SignedHasher hasher(signedKind);
    QByteArray buffer(int(ReadChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 count = file.read(buffer.data(), buffer.size());
        if (count < 0)
            return false;
        if (count == 0)
            break;
        hasher.addData(buffer.constData(), count);
    }
    return file.atEnd() && !expectedSignedHash.isEmpty()
        && hasher.hexDigest() == expectedSignedHash;
}

bool isLowerHex(const QByteArray &text, int length)
{
    if (text.size() != length)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}
