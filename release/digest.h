#ifndef DIGEST_H
#define DIGEST_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <sodium.h>

class QIODevice;

// The digest text of content: the MD5 digest read as four little-endian 32-bit words, each
// printed as eight lower-case hex digits. It is not the customary MD5 hex order.
class DigestHasher
{
public:
    void addData(const char *data, qint64 length);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // feeds everything the device yields from its current position; false on a read error
    bool addData(QIODevice *device);
    QByteArray digestText() const;
    void reset() { hash.reset(); }

private:
    QCryptographicHash hash {QCryptographicHash::Md5};
};

// SHA-256 of a stream, as lower-case hex: what a signed release states for every file.
// libsodium's, about twice as fast as Qt's here.
class Sha256Hasher
{
public:
    Sha256Hasher();
    void addData(const char *data, qint64 length);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // the digest of everything added so far; more may be added afterwards
    QByteArray hexDigest() const;
    void reset();

private:
    crypto_hash_sha256_state state;
};

// The hash a signed release states for each of its files: SHA-256 in statements of the first
// format, the unkeyed 32-byte BLAKE2b in the second (as strong, and about three times faster
// here); None for an unsigned release, whose files carry only their digest text.
enum class SignedHashKind { None, Sha256, Blake2b };

// A file's signed hash, as lower-case hex, by the algorithm chosen at reset; libsodium's.
class SignedHasher
{
public:
    explicit SignedHasher(SignedHashKind kind);
    void addData(const char *data, qint64 length);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // the hash of everything added so far; more may be added afterwards. Empty for None.
    QByteArray hexDigest() const;
    void reset(SignedHashKind kind);
    SignedHashKind kind() const { return hashKind; }

private:
    SignedHashKind hashKind = SignedHashKind::None;
    Sha256Hasher sha256;
    crypto_generichash_state blake2b;
};

// the signed hash of data by kind, lower-case hex; empty for None
QByteArray signedHashHex(SignedHashKind kind, const QByteArray &data);

QByteArray digestText(QByteArray data);
// true for exactly length lower-case hex digits (a digest text has 32)
bool isLowerHex(const QByteArray &text, int length);
// the digest text of a raw 16-byte MD5 digest
QByteArray digestTextFromMd5(const QByteArray &md5);
// reads the file in chunks; an empty result means it could not be opened or read
QByteArray fileDigestText(const QString &path);
bool verifyFileDigest(QString path, QByteArray expectedDigest);
// A file as a release lists it: by its signed hash alone when it carries one (the signed hash
// binds the very bytes; the digest text is not computed), else by its digest text.
bool verifyFileDigests(const QString &path, const QByteArray &expectedDigest,
    SignedHashKind signedKind, const QByteArray &expectedSignedHash);

#endif // DIGEST_H
