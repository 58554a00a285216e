#include "releasestatement.h"

#include "digest.h"

#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <sodium.h>

namespace {
const char HeaderPrefix[] = "updater-release-statement ";

QByteArray header(SignedHashKind fileHash)
{
    return HeaderPrefix + QByteArray::number(statementFormat(fileHash));
}

// the file hashes a header names; false for no header of a known format
bool parseHeader(const QByteArray &line, SignedHashKind &fileHash)
{
    for (const SignedHashKind kind : {SignedHashKind::Sha256, SignedHashKind::Blake2b}) {
        if (line == header(kind)) {
            fileHash = kind;
            return true;
        }
    }
    return false;
}
const char SignaturePrefix[] = "signature ed25519 ";

// libsodium is ready before any of its functions runs; later calls return at once
bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QByteArray timeText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate).toLatin1();
}

bool parseTime(const QByteArray &field, QDateTime &time)
{
    static const QRegularExpression form(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z$"));
    const QString text = QString::fromLatin1(field);
    if (!form.match(text).hasMatch())
        return false;
    time = QDateTime::fromString(text, Qt::ISODate);
    return time.isValid() && time.timeSpec() == Qt::UTC;
}

QByteArray strictBase64(const QByteArray &text, int size)
{
    const auto decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != text)
        return QByteArray();
    return decoded.decoded;
}

// the signed text into statement; false when any line is not what the format allows. The lines
// are taken apart in place: a statement lists every file of a release.
bool parseText(const QByteArray &text, ReleaseStatement &statement)
{
    if (!text.endsWith('\n'))
        return false;
    const int headerEnd = text.indexOf('\n');
    if (!parseHeader(QByteArray::fromRawData(text.constData(), headerEnd), statement.fileHash))
        return false;
    QSet<QByteArray> seen;
    bool ok = true;
    for (int start = headerEnd + 1; start < text.size();) {
        const int end = text.indexOf('\n', start);
        const QByteArray line = QByteArray::fromRawData(text.constData() + start, end - start);
        start = end + 1;
        const int space = line.indexOf(' ');
        if (space <= 0)
            return false;
        // (copies: nothing kept may point into the file's bytes)
        const QByteArray keyword = line.left(space);
        const QByteArray value = line.mid(space + 1);
        if (keyword == "file") {
            const int split = value.indexOf(' ');
            QString path;
            const QByteArray hash = value.left(split);
            // both algorithms' hashes are 32 bytes
            if (split < 0 || !isSha256Hex(hash) || !decodedFieldText(value.mid(split + 1), path)
                || path.isEmpty() || statement.files.contains(path))
                return false;
            statement.files.insert(path, hash);
            continue;
        }
        if (seen.contains(keyword))
            return false;
        seen.insert(keyword);
        if (keyword == "release") {
            statement.release = value.toULongLong(&ok);
            ok = ok && statement.release > 0 && QByteArray::number(statement.release) == value;
        } else if (keyword == "version") {
            ok = decodedFieldText(value, statement.version);
        } else if (keyword == "folder") {
            ok = decodedFieldText(value, statement.folder);
        } else if (keyword == "issued") {
            ok = parseTime(value, statement.issued);
        } else if (keyword == "expires") {
            ok = parseTime(value, statement.expires);
        } else if (keyword == "update.ini") {
            statement.descriptorSha256 = value;
            ok = isSha256Hex(value);
        } else if (keyword == "md5.txt") {
            statement.manifestSha256 = value;
            ok = isSha256Hex(value);
        } else {
            return false;
        }
        if (!ok)
            return false;
    }
    // "version" may be empty, but must be there like every other field
    return seen.size() == 7;
}

// where the signed text of a statement file ends: at the first signature line, or the whole
// file when it has none
int signedTextSize(const QByteArray &bytes)
{
    const int end = bytes.indexOf(QByteArray("\n") + SignaturePrefix);
    return end < 0 ? bytes.size() : end + 1;
}
} // namespace

int statementFormat(SignedHashKind fileHash)
{
    return fileHash == SignedHashKind::Sha256 ? 1 : 2;
}

QByteArray encodedFieldText(const QString &text)
{
    // everything but letters, digits and a few plain marks is escaped: a space, a line break or
    // a "%" can never end or change a field
    return QUrl::toPercentEncoding(text, "/!$&'()*+,;=@:");
}

bool decodedFieldText(const QByteArray &field, QString &text)
{
    for (const char c : field) {
        if (uchar(c) <= ' ' || uchar(c) >= 0x7f)
            return false;
    }
    const QByteArray bytes = QByteArray::fromPercentEncoding(field);
    text = QString::fromUtf8(bytes);
    return text.toUtf8() == bytes; // no invalid UTF-8 turned into replacement characters
}

QByteArray statementText(const ReleaseStatement &statement)
{
    QByteArray text = header(statement.fileHash) + '\n';
    text += "release " + QByteArray::number(statement.release) + '\n';
    text += "version " + encodedFieldText(statement.version) + '\n';
    text += "folder " + encodedFieldText(statement.folder) + '\n';
    text += "issued " + timeText(statement.issued) + '\n';
    text += "expires " + timeText(statement.expires) + '\n';
    text += "update.ini " + statement.descriptorSha256 + '\n';
    text += "md5.txt " + statement.manifestSha256 + '\n';
    for (auto it = statement.files.cbegin(); it != statement.files.cend(); ++it)
        text += "file " + it.value() + ' ' + encodedFieldText(it.key()) + '\n';
    return text;
}

StatementError readSignedStatement(const QByteArray &bytes, const QList<QByteArray> &trustedKeys,
    ReleaseStatement &statement, QList<QByteArray> *keysThatSigned)
{
    // The file comes over plain HTTP: its text is parsed only once a signature that counts
    // verifies over it, and nothing of it is copied before that. A file of megabytes by no
    // trusted key costs one search and a look at each signature line.
    statement = ReleaseStatement();
    if (keysThatSigned)
        keysThatSigned->clear();
    const int textSize = signedTextSize(bytes);
    if (textSize == bytes.size()) { // no signature: what the first line says it is decides
        SignedHashKind fileHash;
        return parseHeader(bytes.left(bytes.indexOf('\n')), fileHash) && bytes.contains('\n')
            ? StatementError::NotSigned
            : StatementError::Malformed;
    }
    if (!bytes.endsWith('\n'))
        return StatementError::Malformed;
    const QByteArray text = QByteArray::fromRawData(bytes.constData(), textSize);

    // with trusted keys, only their signatures are worth the time to verify (unless the caller
    // asks who signed); each key signs once, so that a repeated line cannot multiply the work
    const bool verifyAll = trustedKeys.isEmpty() || keysThatSigned;
    const int prefixSize = int(sizeof SignaturePrefix) - 1;
    QList<QByteArray> signers;
    bool trusted = false;
    bool allVerify = true;
    for (int start = textSize; start < bytes.size();) {
        const int end = bytes.indexOf('\n', start);
        const QByteArray line = QByteArray::fromRawData(bytes.constData() + start, end - start);
        start = end + 1;
        if (!line.startsWith(SignaturePrefix))
            return StatementError::Malformed;
        const int split = line.indexOf(' ', prefixSize);
        if (split < 0 || line.indexOf(' ', split + 1) >= 0)
            return StatementError::Malformed;
        const QByteArray publicKey
            = strictBase64(line.mid(prefixSize, split - prefixSize), crypto_sign_PUBLICKEYBYTES);
        const QByteArray signature = strictBase64(line.mid(split + 1), crypto_sign_BYTES);
        if (publicKey.isEmpty() || signature.isEmpty() || signers.contains(publicKey))
            return StatementError::Malformed;
        signers.append(publicKey);
        const bool counts = trustedKeys.contains(publicKey);
        if (!verifyAll && !counts)
            continue;
        if (!sodiumReady())
            return StatementError::NotSigned;
        const bool verifies
            = crypto_sign_verify_detached(reinterpret_cast<const uchar *>(signature.constData()),
                  reinterpret_cast<const uchar *>(text.constData()), quint64(text.size()),
                  reinterpret_cast<const uchar *>(publicKey.constData()))
            == 0;
        allVerify = allVerify && verifies;
        if (!verifies)
            continue;
        if (keysThatSigned)
            keysThatSigned->append(publicKey);
        trusted = trusted || counts;
    }
    if (trustedKeys.isEmpty())
        trusted = allVerify;
    if (!trusted)
        return StatementError::NotSigned;
    return parseText(text, statement) ? StatementError::None : StatementError::Malformed;
}

bool readStatementText(const QByteArray &bytes, ReleaseStatement &statement)
{
    statement = ReleaseStatement();
    if (parseText(QByteArray::fromRawData(bytes.constData(), signedTextSize(bytes)), statement))
        return true;
    statement = ReleaseStatement();
    return false;
}

QByteArray signatureLine(const QByteArray &text, const QByteArray &secretKey)
{
    const QByteArray publicKey = publicKeyOfSecretKey(secretKey);
    if (publicKey.isEmpty())
        return QByteArray();
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<uchar *>(signature.data()), nullptr,
        reinterpret_cast<const uchar *>(text.constData()), quint64(text.size()),
        reinterpret_cast<const uchar *>(secretKey.constData()));
    return SignaturePrefix + publicKey.toBase64() + ' ' + signature.toBase64() + '\n';
}

SigningKeyPair generateSigningKeyPair()
{
    SigningKeyPair pair;
    if (!sodiumReady())
        return pair;
    pair.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    pair.secretKey.resize(crypto_sign_SECRETKEYBYTES);
    crypto_sign_keypair(reinterpret_cast<uchar *>(pair.publicKey.data()),
        reinterpret_cast<uchar *>(pair.secretKey.data()));
    return pair;
}

QString keyText(const QByteArray &key)
{
    return QString::fromLatin1(key.toBase64());
}

bool parsePublicKeys(const QString &text, QList<QByteArray> &keys, QString *bad)
{
    keys.clear();
    static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
    const QStringList parts = text.split(separators, Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QByteArray key = strictBase64(part.toLatin1(), crypto_sign_PUBLICKEYBYTES);
        if (key.isEmpty() || part.toLatin1() != part.toUtf8()) {
            if (bad)
                *bad = part;
            keys.clear();
            return false;
        }
        if (!keys.contains(key))
            keys.append(key);
    }
    return true;
}

QByteArray publicKeyOfSecretKey(const QByteArray &secretKey)
{
    if (secretKey.size() != crypto_sign_SECRETKEYBYTES || !sodiumReady())
        return QByteArray();
    // the secret key carries its public key; it must be the one its seed makes
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    QByteArray expanded(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
    crypto_sign_seed_keypair(reinterpret_cast<uchar *>(publicKey.data()),
        reinterpret_cast<uchar *>(expanded.data()),
        reinterpret_cast<const uchar *>(secretKey.constData()));
    const bool same = expanded == secretKey;
    sodium_memzero(expanded.data(), size_t(expanded.size()));
    return same ? publicKey : QByteArray();
}

QByteArray sha256Hex(const QByteArray &data)
{
    Sha256Hasher hasher;
    hasher.addData(data);
    return hasher.hexDigest();
}

bool isSha256Hex(const QByteArray &text)
{
    if (text.size() != 2 * crypto_hash_sha256_BYTES)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}
