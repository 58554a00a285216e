#include "concurrentdigesthasher.h"
#include "digest.h"
#include "releasestatement.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

class tst_Digest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void digestText_data();
    void digestText();
    void incrementalMatchesWhole();
    void concurrentMatchesWhole_data();
    void concurrentMatchesWhole();
    void verifyFile_data();
    void verifyFile();

private:
    QTemporaryDir dir;
};

namespace {
QByteArray patterned(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((quint32(i) * 7919u) >> 3); // unsigned: the product outgrows int
    return data;
}

const int Block = int(ConcurrentDigestHasher::BlockSize);
} // namespace

void tst_Digest::initTestCase()
{
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
}

void tst_Digest::digestText_data()
{
    QTest::addColumn<int>("kind"); // None: the digest text, else that signed hash
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("text");

    const int md5 = int(SignedHashKind::None);
    QTest::newRow("empty") << md5 << QByteArray() << QByteArray("d98c1dd404b2008f980980e97e42f8ec");
    QTest::newRow("abc") << md5 << QByteArray("abc") << QByteArray("98500190b04fd23c7d3f96d6727fe128");
    // the customary hex of md5("message digest") is f96b697d7cb7938d525a2f31aaf161d0
    QTest::newRow("message-digest") << md5 << QByteArray("message digest")
                                    << QByteArray("7d696bf98d93b77c312f5a52d061f1aa");
    // published BLAKE2b-256 and SHA-256 test vectors
    const int blake2b = int(SignedHashKind::Blake2b);
    QTest::newRow("blake2b-256-empty") << blake2b << QByteArray() << QByteArray("0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8");
    QTest::newRow("blake2b-256-abc") << blake2b << QByteArray("abc") << QByteArray("bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");
    QTest::newRow("sha256-abc") << int(SignedHashKind::Sha256) << QByteArray("abc") << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

void tst_Digest::digestText()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, text);
    if (kind == int(SignedHashKind::None)) {
        QCOMPARE(::digestText(input), text);
        return;
    }
    QCOMPARE(signedHashHex(SignedHashKind(kind), input), text);
    // fed in pieces, and asked midway, it is the same hash
    SignedHasher pieces {SignedHashKind(kind)};
    for (const char c : input) {
        pieces.addData(&c, 1);
        pieces.hexDigest();
    }
    QCOMPARE(pieces.hexDigest(), text);
}

void tst_Digest::incrementalMatchesWhole()
{
    // chunk boundaries, including the 1 GiB splitting inside addData, must not change the text
    QByteArray data = patterned(3 * 1024 * 1024 + 17);
    DigestHasher pieces;
    for (int offset = 0; offset < data.size(); offset += 65521)
        pieces.addData(data.mid(offset, 65521));
    QBuffer buffer(&data);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    DigestHasher device;
    QVERIFY(device.addData(&buffer));
    QCOMPARE(pieces.digestText(), ::digestText(data));
    QCOMPARE(device.digestText(), ::digestText(data));
}

void tst_Digest::concurrentMatchesWhole_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("piece"); // bytes handed over at a time

    QTest::newRow("empty") << 0 << Block;
    QTest::newRow("one-byte") << 1 << Block;
    QTest::newRow("one-block-less-one") << Block - 1 << Block;
    QTest::newRow("one-block") << Block << Block;
    QTest::newRow("one-block-and-one") << Block + 1 << Block;
    // more blocks than the hasher has, so the filling side waits for free ones
    QTest::newRow("many-blocks") << 21 * Block + 5 << Block;
    QTest::newRow("small-pieces") << 3 * Block + 7 << 4099;
    QTest::newRow("more-blocks-than-slots") << 70 * Block + 3 << Block;
}

void tst_Digest::concurrentMatchesWhole()
{
    QFETCH(int, size);
    QFETCH(int, piece);
    const QByteArray data = patterned(size);
    const QByteArray noise(Block, 'n');
    ConcurrentDigestHasher hasher;
    // the digest text of an unsigned release's file, or one of the signed hashes alone
    const SignedHashKind kinds[] = {SignedHashKind::None, SignedHashKind::Sha256,
                                    SignedHashKind::Blake2b, SignedHashKind::None};
    for (int round = 0; round < 4; ++round) {
        const SignedHashKind kind = kinds[round];
        // a reset forgets what was handed over before it, hashed or still queued; the first
        // round leaves one block, the second several
        for (int i = 0; i < round; ++i) {
            std::memcpy(hasher.nextBlock(), noise.constData(), size_t(noise.size()));
            hasher.commitBlock(noise.size());
        }
        hasher.reset(kind);
        for (int offset = 0; offset < size; offset += piece) {
            const int length = qMin(piece, size - offset);
            std::memcpy(hasher.nextBlock(), data.constData() + offset, size_t(length));
            hasher.commitBlock(length);
        }
        const bool digestText = kind == SignedHashKind::None;
        QCOMPARE(hasher.digestText(), digestText ? ::digestText(data) : QByteArray());
        QCOMPARE(hasher.signedHashHex(), digestText ? QByteArray() : signedHashHex(kind, data));
    }
}

void tst_Digest::verifyFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // null: nothing is written
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("matches");

    const QByteArray abc = "98500190b04fd23c7d3f96d6727fe128";
    QTest::newRow("empty-file") << "empty" << QByteArray("") << QByteArray("d98c1dd404b2008f980980e97e42f8ec") << true;
    QTest::newRow("same") << "abc" << QByteArray("abc") << abc << true;
    QTest::newRow("other-name-same-content") << "abc2" << QByteArray("abc") << abc << true;
    QTest::newRow("upper-case-expected") << "abc3" << QByteArray("abc") << abc.toUpper() << false;
    QTest::newRow("trailing-cr") << "abc4" << QByteArray("abc") << QByteArray(abc + '\r') << false;
    QTest::newRow("trailing-blank") << "abc5" << QByteArray("abc") << QByteArray(abc + ' ') << false;
    QTest::newRow("other-content") << "abd" << QByteArray("abd") << abc << false;
    // several of the chunks a file is read in
    const QByteArray large = patterned(2 * 1024 * 1024 + 3);
    QTest::newRow("several-chunks") << "large" << large << ::digestText(large) << true;
    QByteArray largeChanged = large;
    largeChanged[2 * 1024 * 1024] = char(~largeChanged.at(2 * 1024 * 1024));
    QTest::newRow("several-chunks-last-differs") << "large2" << largeChanged << ::digestText(large) << false;
    QTest::newRow("missing") << "missing" << QByteArray() << abc << false;
    QTest::newRow("directory") << "." << QByteArray() << QByteArray("d98c1dd404b2008f980980e97e42f8ec") << false;
}

void tst_Digest::verifyFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expected);
    QFETCH(bool, matches);
    const QString path = dir.filePath(name);
    if (!content.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QCOMPARE(verifyFileDigest(path, expected), matches);
}

QTEST_GUILESS_MAIN(tst_Digest)
#include "tst_digest.moc"
