#include "manifest.h"

#include <QBuffer>
#include <QTest>
#include <QTextCodec>

#include <algorithm>

class tst_Manifest : public QObject
{
    Q_OBJECT

private slots:
    void lines_data();
    void lines();
    void sizeField_data();
    void sizeField();
    void unsafePaths_data();
    void unsafePaths();
    void laterLineWins();
    void caseSensitiveOrder();
    void lineRoundTrip();
    void pathBytesRoundTrip_data();
    void pathBytesRoundTrip();
    void pathEncoding_data();
    void pathEncoding();
    void pathBelow_data();
    void pathBelow();
};

namespace {
const QByteArray Digest = "d98c1dd404b2008f980980e97e42f8ec";

QByteArray line(const QByteArray &path, const QByteArray &size = "0000000000000000")
{
    return Digest + '\t' + size + '\t' + path;
}
} // namespace

using Paths = QStringList;

void tst_Manifest::lines_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<Paths>("paths");

    QTest::newRow("empty") << QByteArray() << Paths{};
    QTest::newRow("blank-lines") << QByteArray("\n\n\r\n") << Paths{};
    QTest::newRow("lf") << (line("a") + '\n' + line("b") + '\n') << Paths{"a", "b"};
    QTest::newRow("crlf") << (line("a") + "\r\n" + line("b") + "\r\n") << Paths{"a", "b"};
#ifdef Q_OS_WIN
    QTest::newRow("cr-cr-lf-keeps-one") << (line("a") + "\r\r\n") << Paths{}; // a control character
#else
    QTest::newRow("cr-cr-lf-keeps-one") << (line("a") + "\r\r\n") << Paths{"a\r"};
    // what Windows cannot hold is a name like any other elsewhere
    QTest::newRow("windows-names-kept")
        << (line("nul.txt") + '\n' + line("dir./a ") + '\n' + line("a<b|c") + '\n')
        << Paths{"a<b|c", "dir./a ", "nul.txt"};
#endif
    QTest::newRow("no-newline") << (line("a") + '\n' + line("b")) << Paths{"a", "b"};
    QTest::newRow("trailing-tab") << (line("a") + '\t') << Paths{};
    QTest::newRow("one-tab") << QByteArray(Digest + "\ta") << Paths{};
    QTest::newRow("no-tab") << QByteArray("just text") << Paths{};
    QTest::newRow("three-tabs") << (line("a") + "\textra") << Paths{};
    QTest::newRow("backslashes") << line("dir\\sub\\f.dll") << Paths{"dir/sub/f.dll"};
    QTest::newRow("one-leading-slash") << line("/a") << Paths{"a"};
    QTest::newRow("one-leading-backslash") << line("\\a") << Paths{"a"};
    QTest::newRow("spaces-kept") << line(" a b") << Paths{" a b"};
    // the field is read like a C string
    QTest::newRow("nul-ends-path") << line(QByteArray("a\0b", 3)) << Paths{"a"};
    // names close to those Windows refuses
    QTest::newRow("device-lookalikes")
        << (line("console.txt") + '\n' + line("com10") + '\n' + line("nul_.txt") + '\n'
            + line(".hidden") + '\n' + line("a\x7f"))
        << Paths{".hidden", "a\x7f", "com10", "console.txt", "nul_.txt"};
    QTest::newRow("non-ascii-folder") << (line("\xc3\xbc/a") + '\n' + line("\xc3\xbc/b"))
                                      << Paths{QStringLiteral("\u00fc/a"), QStringLiteral("\u00fc/b")};
    // the first components are read in pieces of 256 KiB: a line of 243 bytes crosses the
    // first piece's end within its folder's name
    QByteArray many;
    Paths manyPaths;
    for (int i = 0; i < 1200; ++i) {
        const QByteArray path = QByteArray::number(i).rightJustified(190, 'd') + "/f";
        many += line(path) + '\n';
        manyPaths.append(QString::fromLatin1(path));
    }
    std::sort(manyPaths.begin(), manyPaths.end());
    QTest::newRow("more-than-a-piece") << many << manyPaths;
}

void tst_Manifest::lines()
{
    QFETCH(QByteArray, input);
    QFETCH(Paths, paths);
    const Manifest manifest = parseManifest(input);
    QCOMPARE(manifest.keys(), paths);
    for (const ManifestEntry &entry : manifest)
        QCOMPARE(manifest.value(entry.path).path, entry.path);
    // the names that keep the cache's own files apart from the release's miss none of them
    QBuffer device(&input);
    QVERIFY(device.open(QIODevice::ReadOnly));
    const QStringList topNames = manifestTopNames(device);
    for (const QString &path : paths)
        QVERIFY2(topNames.contains(path.section(QLatin1Char('/'), 0, 0)), qPrintable(path));
}

void tst_Manifest::sizeField_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<quint64>("size");

    QTest::newRow("zero") << QByteArray("0000000000000000") << quint64(0);
    QTest::newRow("small") << QByteArray("00001a2b00000000") << quint64(6699);
    QTest::newRow("above-4-gib") << QByteArray("00001a2b00000001") << quint64(4294973995ull);
    QTest::newRow("upper-case-hex") << QByteArray("00001A2B00000000") << quint64(6699);
    QTest::newRow("short-is-shifted") << QByteArray("1a2b") << quint64(28771985915904ull);
    QTest::newRow("short-zero") << QByteArray("0") << quint64(0);
    QTest::newRow("empty") << QByteArray() << quint64(0);
    QTest::newRow("garbage") << QByteArray("12zz") << quint64(0);
    QTest::newRow("beyond-64-bits") << QByteArray("10000000000000000") << quint64(0);
    QTest::newRow("all-ones") << QByteArray("ffffffffffffffff") << quint64(~0ull);
    QTest::newRow("leading-zeros-beyond-16") << QByteArray("00000000000000001") << quint64(4294967296ull);
    // what a publisher never writes is read as a C library's strtoull would
    QTest::newRow("hex-prefix") << QByteArray("0x1a2b") << quint64(28771985915904ull);
    QTest::newRow("blanks-around") << QByteArray(" 1a2b ") << quint64(28771985915904ull);
    QTest::newRow("plus-sign") << QByteArray("+1a2b") << quint64(28771985915904ull);
    QTest::newRow("minus-sign") << QByteArray("-1") << quint64(0);
    QTest::newRow("nul-ends-field") << QByteArray("1a2b\0zz", 7) << quint64(28771985915904ull);
}

void tst_Manifest::sizeField()
{
    QFETCH(QByteArray, field);
    QFETCH(quint64, size);
    const Manifest manifest = parseManifest(line("f", field));
    QCOMPARE(manifest.size(), 1);
    QCOMPARE(manifest.first().size, size);
}

void tst_Manifest::unsafePaths_data()
{
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("parent") << QByteArray("../evil.dll");
    QTest::newRow("parent-inside") << QByteArray("a/../../evil.dll");
    QTest::newRow("parent-backslash") << QByteArray("..\\evil.dll");
    QTest::newRow("double-slash") << QByteArray("//etc/passwd");
    QTest::newRow("double-backslash") << QByteArray("\\\\server\\share\\x");
    QTest::newRow("drive") << QByteArray("C:/Windows/evil.dll");
    QTest::newRow("drive-relative") << QByteArray("C:evil.dll");
    QTest::newRow("stream") << QByteArray("a.txt:stream");
    QTest::newRow("dot") << QByteArray(".");
    QTest::newRow("slash-dot") << QByteArray("/.");
    QTest::newRow("dot-component") << QByteArray("a/./b");
    QTest::newRow("directory") << QByteArray("dir/");
    QTest::newRow("empty-component") << QByteArray("a//b");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("only-slash") << QByteArray("/");
#ifdef Q_OS_WIN
    // names Windows would store as another name or take for a device
    QTest::newRow("device") << QByteArray("NUL");
    QTest::newRow("device-extension") << QByteArray("nul.txt");
    QTest::newRow("device-mixed-case") << QByteArray("bin/Com1.dll");
    QTest::newRow("device-directory") << QByteArray("lpt9/a.txt");
    QTest::newRow("device-space-before-dot") << QByteArray("aux .h");
    QTest::newRow("trailing-dot") << QByteArray("a.");
    QTest::newRow("trailing-dot-directory") << QByteArray("dir./a");
    QTest::newRow("trailing-space") << QByteArray("dir /a");
    QTest::newRow("less-than") << QByteArray("a<b");
    QTest::newRow("greater-than") << QByteArray("a>b");
    QTest::newRow("quote") << QByteArray("a\"b");
    QTest::newRow("pipe") << QByteArray("a|b");
    QTest::newRow("question-mark") << QByteArray("a?b");
    QTest::newRow("star") << QByteArray("a*b");
    QTest::newRow("control") << QByteArray("a\x01b");
    QTest::newRow("control-1f") << QByteArray("dir/\x1f");
#endif
}

void tst_Manifest::unsafePaths()
{
    QFETCH(QByteArray, path);
    // the unsafe line is dropped, its neighbours are kept
    const Manifest manifest = parseManifest(line("before") + '\n' + line(path) + '\n' + line("after"));
    QCOMPARE(manifest.keys(), (QStringList{"after", "before"}));
}

void tst_Manifest::laterLineWins()
{
    const Manifest manifest = parseManifest("aaaa\t0000000100000000\tf\nbbbb\t0000000200000000\tf\n");
    QCOMPARE(manifest.size(), 1);
    QCOMPARE(manifest.first().digest, QByteArray("bbbb"));
    QCOMPARE(manifest.first().size, quint64(2));
}

void tst_Manifest::caseSensitiveOrder()
{
    const Manifest manifest = parseManifest(line("bin/a.dll") + '\n' + line("Bin/a.dll") + '\n'
                                            + line("a") + '\n');
    QCOMPARE(manifest.keys(), (QStringList{"Bin/a.dll", "a", "bin/a.dll"}));
}

void tst_Manifest::lineRoundTrip()
{
    // what the publisher writes is what the updater reads, digest text and BOM-free bytes alike
    const ManifestEntry entry{QStringLiteral("dir/file name.bin"), 4294973995ull,
                              QByteArray("98500190b04fd23c7d3f96d6727fe128")};
    QCOMPARE(manifestSizeField(entry.size), QByteArray("00001a2b00000001"));
    const Manifest manifest = parseManifest(manifestLine(entry) + '\n');
    QCOMPARE(manifest.size(), 1);
    QCOMPARE(manifest.first(), entry);
    // a byte-order mark stays part of the first digest, which then never matches
    const Manifest withBom = parseManifest("\xEF\xBB\xBF" + manifestLine(entry));
    QCOMPARE(withBom.first().digest, QByteArray("\xEF\xBB\xBF" + entry.digest));
}

void tst_Manifest::pathBytesRoundTrip_data()
{
    QTest::addColumn<QByteArray>("path");
    // a byte-order mark is a character of the name, not a header to drop
    QTest::newRow("byte-order-marks") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF");
    QTest::newRow("byte-order-mark-dir") << QByteArray("\xEF\xBB\xBF/x");
    QTest::newRow("plain") << QByteArray("dir/file.txt");
}

void tst_Manifest::pathBytesRoundTrip()
{
    // what the publisher writes for a name is what the updater reads back
    QFETCH(QByteArray, path);
    const QByteArray text = Digest + "\t0000000000000000\t" + path;
    const Manifest manifest = parseManifest(text);
    QCOMPARE(manifest.size(), 1);
    QCOMPARE(manifestLine(manifest.first()), text);
}

void tst_Manifest::pathEncoding_data()
{
    QTest::addColumn<QByteArray>("localEncoding");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("expected");

    const QByteArray chineseUtf8 = "\xE4\xB8\xAD\xE6\x96\x87/\xE8\xAF\xB4\xE6\x98\x8E.txt";
    const QString chinese = QStringLiteral("中文/说明.txt");
    QTest::newRow("utf8-western") << QByteArray("windows-1252") << chineseUtf8 << chinese;
    QTest::newRow("utf8-chinese") << QByteArray("GBK") << chineseUtf8 << chinese;
    QTest::newRow("utf8-byte-order-mark")
        << QByteArray("windows-1252") << QByteArray("\xEF\xBB\xBF/x") << QStringLiteral("\uFEFF/x");
    // not UTF-8: the system's own encoding
    QTest::newRow("gbk-chinese") << QByteArray("GBK") << QByteArray("\xD6\xD0\xCE\xC4.txt")
                                 << QStringLiteral("中文.txt");
    QTest::newRow("latin1-western")
        << QByteArray("windows-1252") << QByteArray("caf\xE9.txt") << QStringLiteral("café.txt");
    QTest::newRow("truncated-utf8")
        << QByteArray("windows-1252") << QByteArray("a\xE4\xB8") << QStringLiteral("a\u00E4\u00B8");
    QTest::newRow("utf8-surrogate")
        << QByteArray("windows-1252") << QByteArray("\xED\xA0\x80")
        << QStringLiteral("\u00ED\u00A0\u20AC");
}

void tst_Manifest::pathEncoding()
{
    QFETCH(QByteArray, localEncoding);
    QFETCH(QByteArray, path);
    QFETCH(QString, expected);

    QTextCodec *const local = QTextCodec::codecForName(localEncoding);
    if (!local)
        QSKIP("this Qt has no codec for the local encoding of this row");
    QTextCodec *const system = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(local);
    const Manifest manifest = parseManifest(line(path));
    QTextCodec::setCodecForLocale(system);
    QCOMPARE(manifest.keys(), QStringList{expected});
    // update-publish writes UTF-8, which reads back the same on every system
    QCOMPARE(manifestLine(manifest.first()), line(expected.toUtf8()));
}

void tst_Manifest::pathBelow_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("below");

    QTest::newRow("root") << "/" << "/a/b" << true;
    QTest::newRow("drive-root") << "D:/" << "D:/x" << true;
    QTest::newRow("inside") << "/opt/app" << "/opt/app/x" << true;
    QTest::newRow("dir-with-slash") << "/opt/app/" << "/opt/app/x" << true;
    QTest::newRow("sibling-prefix") << "/opt/app" << "/opt/application/x" << false;
    QTest::newRow("itself") << "/opt/app" << "/opt/app" << false;
    QTest::newRow("root-itself") << "/" << "/" << false;
    QTest::newRow("drive-root-itself") << "D:/" << "D:/" << false;
    QTest::newRow("parent-escapes") << "/opt/app" << "/opt/app/../etc/x" << false;
}

void tst_Manifest::pathBelow()
{
    QFETCH(QString, dir);
    QFETCH(QString, path);
    QFETCH(bool, below);
    QCOMPARE(isPathBelow(dir, path), below);
}

QTEST_GUILESS_MAIN(tst_Manifest)
#include "tst_manifest.moc"
