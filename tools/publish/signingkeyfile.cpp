#include "signingkeyfile.h"

#include "publishrules.h"

#include "releasestatement.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sodium.h>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
const char Header[] = "update-publish ed25519 secret key";

QString tr(const char *text)
{
    return QCoreApplication::translate("SigningKeyFile", text);
}

// creates path, which must not exist, readable and writable by its owner only
bool writePrivateFile(const QString &path, const QByteArray &bytes, QString &error)
{
#ifdef Q_OS_UNIX
    // created with its final mode: no moment in which another user could open it
    const QByteArray name = QFile::encodeName(path);
    const int fd
        = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = tr("Cannot create %1: %2").arg(nativePath(path), qt_error_string(errno));
        return false;
    }
    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t count
            = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        written += count;
    }
    // a signing key that is lost on a power cut cannot be made again
    const bool saved = written == bytes.size() && ::fsync(fd) == 0;
    const int savedErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (!saved || !closed) {
        error = tr("Cannot write %1: %2").arg(nativePath(path), qt_error_string(savedErrno));
        ::unlink(name.constData());
        return false;
    }
    return true;
#else
    // Windows: the file takes the access rights its folder hands down
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        error = tr("Cannot create %1: %2").arg(nativePath(path), file.errorString());
        return false;
    }
    const bool saved = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    if (!saved || file.error() != QFileDevice::NoError) {
        error = tr("Cannot write %1: %2").arg(nativePath(path), file.errorString());
        file.remove();
        return false;
    }
    return true;
#endif
}
} // namespace

bool writeSigningKeyFiles(const QString &path, QByteArray &publicKey, QString &error)
{
    const QString publicPath = path + QLatin1String(".pub");
    for (const QString &existing : {path, publicPath}) {
        if (QFileInfo::exists(existing) || QFileInfo(existing).isSymLink()) {
            error = tr("%1 already exists; update-publish never overwrites a key file.")
                        .arg(nativePath(existing));
            return false;
        }
    }

    SigningKeyPair pair = generateSigningKeyPair();
    if (publicKeyOfSecretKey(pair.secretKey).isEmpty()) {
        wipeBytes(pair.secretKey);
        error = tr("Cannot make a key pair: libsodium could not be initialised.");
        return false;
    }
    QByteArray encoded = pair.secretKey.toBase64();
    wipeBytes(pair.secretKey);
    // reserved up front, so that no reallocation leaves a copy of the key behind
    QByteArray content;
    content.reserve(int(sizeof Header) + encoded.size() + 2);
    content.append(Header).append('\n').append(encoded).append('\n');
    wipeBytes(encoded);
    const bool secretWritten = writePrivateFile(path, content, error);
    wipeBytes(content);
    if (!secretWritten)
        return false;

    QFile publicFile(publicPath);
    const QByteArray publicText = pair.publicKey.toBase64() + '\n';
    if (!publicFile.open(QIODevice::WriteOnly | QIODevice::NewOnly)
        || publicFile.write(publicText) != publicText.size() || !publicFile.flush()) {
        error = tr("Cannot write %1: %2").arg(nativePath(publicPath), publicFile.errorString());
        publicFile.close();
        publicFile.remove();
        // half a pair is no use; leave nothing behind
        QFile::remove(path);
        return false;
    }
    publicKey = pair.publicKey;
    return true;
}

bool readSigningKeyFile(const QString &path, QByteArray &secretKey, QString &error)
{
    secretKey.clear();
    QFile file(path);
    // unbuffered: no copy of the key stays in a buffer of QFile's
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        error = tr("Cannot read the key file %1: %2").arg(nativePath(path), file.errorString());
        return false;
    }
    // a key file is about a hundred bytes; anything much larger is not one
    QByteArray content = file.read(4096);
    file.close();

    const int end = content.indexOf('\n');
    const bool headed = end > 0 && content.left(end).trimmed() == Header;
    QByteArray encoded = headed ? content.mid(end + 1).trimmed() : QByteArray();
    QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    const bool isPublicKey = !headed && [&content] {
        QList<QByteArray> keys;
        return parsePublicKeys(QString::fromLatin1(content), keys) && keys.size() == 1;
    }();
    wipeBytes(content);
    wipeBytes(encoded);
    if (headed && decoded && !publicKeyOfSecretKey(decoded.decoded).isEmpty()) {
        secretKey = decoded.decoded;
        return true;
    }
    wipeBytes(decoded.decoded);
    if (isPublicKey)
        error = tr("%1 holds a public key; --sign takes the secret key file written by --keygen.")
                    .arg(nativePath(path));
    else
        error = tr("%1 is not a secret key file written by update-publish --keygen.")
                    .arg(nativePath(path));
    return false;
}

bool readPublicKeyArgument(const QString &argument, QList<QByteArray> &keys, QString &error)
{
    if (parsePublicKeys(argument, keys) && !keys.isEmpty())
        return true;
    QFile file(argument);
    if (!QFileInfo(argument).isFile()) {
        error = tr("\"%1\" is neither a public key (base64) nor a file holding one.").arg(argument);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        error = tr("Cannot read %1: %2").arg(nativePath(argument), file.errorString());
        return false;
    }
    QString bad;
    if (!parsePublicKeys(QString::fromLatin1(file.read(64 * 1024)), keys, &bad) || keys.isEmpty()) {
        error = tr("%1 holds no public key in base64.").arg(nativePath(argument));
        return false;
    }
    return true;
}

void wipeBytes(QByteArray &data)
{
    // through constData(): data() would first copy bytes that are shared and wipe only the copy
    if (!data.isEmpty())
        sodium_memzero(const_cast<char *>(data.constData()), size_t(data.size()));
}
