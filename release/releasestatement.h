#ifndef RELEASESTATEMENT_H
#define RELEASESTATEMENT_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include "digest.h"

// The vendor's signed statement about one release, published as "update.sig" beside
// "update.ini". It binds the exact bytes of update.ini and of the folder's md5.txt, the version
// text, a release number that only grows, an expiry time and the hash of every file, and
// carries one or more Ed25519 signatures over its text:
//
//   updater-release-statement 2
//   release 7
//   version 2.1
//   folder v2.1
//   issued 2026-12-08T14:00:00Z
//   expires 2027-01-07T14:00:00Z
//   update.ini <SHA-256 of update.ini, hex>
//   md5.txt <SHA-256 of the folder's md5.txt, hex>
//   file <BLAKE2b of the file, hex> <path>    one line per file of md5.txt
//   signature ed25519 <public key, base64> <signature, base64>
//
// The file hash of format 2 is the unkeyed BLAKE2b with a 32-byte output. Format 1 is the same
// but for its header ("updater-release-statement 1") and its file hashes, which are SHA-256;
// both formats are read, for publications made before format 2. update.ini and md5.txt are
// hashed by SHA-256 in both, so that what the installation records of them keeps its meaning.
//
// Lines end with LF. Texts (version, folder, paths) are percent-encoded UTF-8, so that no space,
// line break or control character can change the meaning of a line. Each signature signs every
// byte before the first "signature" line.
struct ReleaseStatement
{
    quint64 release = 0; // 1 or more
    QString version;
    QString folder;
    QDateTime issued; // UTC
    QDateTime expires; // UTC
    QByteArray descriptorSha256; // lower-case hex
    QByteArray manifestSha256;
    // path -> the file's hash by fileHash, lower-case hex
    QMap<QString, QByteArray> files;
    // Sha256 in format 1, Blake2b in format 2: what the text says, or is written as
    SignedHashKind fileHash = SignedHashKind::Blake2b;
};

// the format a statement with these file hashes is written in: 1 or 2
int statementFormat(SignedHashKind fileHash);

// the text that is signed
QByteArray statementText(const ReleaseStatement &statement);

enum class StatementError { None, Malformed, NotSigned };

// Reads a statement file: each signature that counts is checked over the signed bytes, and only
// a text signed by a trusted key is parsed into statement. Malformed: not a statement of this
// format (the signature lines, or the text once it verified; a key that signs twice); NotSigned:
// no signature by any of the trusted keys verifies (with no trusted keys given, every signature
// must verify and one must exist), and statement stays empty. Signatures by keys that are not
// trusted are verified only when keysThatSigned is given: it receives the keys whose signature
// verified.
StatementError readSignedStatement(const QByteArray &bytes, const QList<QByteArray> &trustedKeys,
    ReleaseStatement &statement, QList<QByteArray> *keysThatSigned = nullptr);

// The text of a statement file parsed into statement whoever signed it, for the publisher's
// look at its own files; false (statement empty) when it is not of this format.
bool readStatementText(const QByteArray &bytes, ReleaseStatement &statement);

// a signature line for text, by the 64-byte secret key; empty when the key is not one
QByteArray signatureLine(const QByteArray &text, const QByteArray &secretKey);

// Ed25519 keys as the configuration and the key files hold them: standard base64.
struct SigningKeyPair
{
    QByteArray publicKey; // 32 bytes
    QByteArray secretKey; // 64 bytes: libsodium's seed followed by the public key
};
SigningKeyPair generateSigningKeyPair();
QString keyText(const QByteArray &key);
// Keys separated by white space (a comma-separated list, as the configuration reader hands
// commas over, is taken too). False, with the first text that is no 32-byte key in bad, when
// any of them is not a key: a configuration meant to restrict trust must never restrict less.
bool parsePublicKeys(const QString &text, QList<QByteArray> &keys, QString *bad = nullptr);
// the public key of a 64-byte secret key, or an empty array when it is not one
QByteArray publicKeyOfSecretKey(const QByteArray &secretKey);

// A text (a version, a folder, a path) as one field of a line: percent-encoded UTF-8 in which no
// space, line break or other control character remains; decoding refuses anything else.
QByteArray encodedFieldText(const QString &text);
bool decodedFieldText(const QByteArray &field, QString &text);

// the SHA-256 of data as lower-case hex
QByteArray sha256Hex(const QByteArray &data);
// true for 64 lower-case hex digits
bool isSha256Hex(const QByteArray &text);

#endif // RELEASESTATEMENT_H
