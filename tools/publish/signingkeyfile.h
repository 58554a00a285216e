#ifndef SIGNINGKEYFILE_H
#define SIGNINGKEYFILE_H

#include <QByteArray>
#include <QList>
#include <QString>

// The vendor's signing key on disk. The secret key file holds a line naming what it is and the
// 64-byte Ed25519 secret key in base64:
//
//   update-publish ed25519 secret key
//   <base64>
//
// The public key goes beside it, in the same path with ".pub" appended, as base64 and a line
// end: the text clients list in PublicKeys= of system.cfg.

// Writes a new key pair to path and path + ".pub"; neither may exist. On Unix the secret key file
// is created with mode 0600, so it is never readable by anyone else, not even for a moment.
bool writeSigningKeyFiles(const QString &path, QByteArray &publicKey, QString &error);

// The 64-byte secret key of a key file written by writeSigningKeyFiles; false with the reason
// when the file cannot be read or holds no valid key.
bool readSigningKeyFile(const QString &path, QByteArray &secretKey, QString &error);

// Public keys given on the command line: base64 text, or the path of a file holding them (a
// ".pub" file). False with the reason when it is neither.
bool readPublicKeyArgument(const QString &argument, QList<QByteArray> &keys, QString &error);

// overwrites the bytes of data with zeros, in every copy that shares them
void wipeBytes(QByteArray &data);

#endif // SIGNINGKEYFILE_H
