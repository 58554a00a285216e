#include "descriptor.h"
#include "plainini.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

// The descriptor's reader must read every ordinary update.ini as Qt's own INI reader does, and
// must never decode a value into an object.
class tst_PlainIni : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameAsQt_data();
    void sameAsQt();
    void variantsStayText_data();
    void variantsStayText();
    void writtenByQtReadsBack();

private:
    QString write(const QByteArray &content);
    QTemporaryDir dir;
    int files = 0;
};

void tst_PlainIni::initTestCase()
{
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
}

QString tst_PlainIni::write(const QByteArray &content)
{
    // a fresh name each time: QSettings keeps what it has read of a path
    const QString path = dir.filePath(QStringLiteral("f%1.ini").arg(++files));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return path;
}

void tst_PlainIni::sameAsQt_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("typical") << QByteArray("[Summary]\nUpdateType=0\n[Version]\nFolder=v2\nVersion=2.0.1\n");
    QTest::newRow("crlf-blanks") << QByteArray("[Summary]\r\n  UpdateType = 1  \r\n\r\n[Version]\r\nFolder= v3 \r\n");
    QTest::newRow("comments") << QByteArray("; made by hand\n[Version]\n# another\nFolder=x\n");
    QTest::newRow("quoted") << QByteArray("[Version]\nVersion=\"2.0 beta\"\nFolder=\"a b\"\n");
    QTest::newRow("escapes") << QByteArray("[Version]\nVersion=a\\tb\\\\c\\\"d\n");
    QTest::newRow("hex-escape") << QByteArray("[Version]\nVersion=\\x7248\\x672c 2\n");
    QTest::newRow("octal-escape") << QByteArray("[Version]\nVersion=\\101\\102\n");
    QTest::newRow("general-section") << QByteArray("[General]\nVersion=top\n[Version]\nVersion=in\n");
    QTest::newRow("escaped-key") << QByteArray("[Version]\nFolder%41=1\nFolder=ok\n");
    QTest::newRow("empty-values") << QByteArray("[Summary]\nUpdateType=\n[Version]\nFolder=\n");
    QTest::newRow("non-number-type") << QByteArray("[Summary]\nUpdateType=yes\n");
    QTest::newRow("other-sections") << QByteArray("[Other]\nFolder=no\n[Version]\nFolder=yes\n");
    QTest::newRow("at-sign-inside") << QByteArray("[Version]\nVersion=build@home\n");
    QTest::newRow("doubled-at") << QByteArray("[Version]\nVersion=@@text\n");
    QTest::newRow("no-equals") << QByteArray("[Version]\nFolder\nVersion=v\n");
    QTest::newRow("empty") << QByteArray();
    // system.cfg as vendors write it
    QTest::newRow("windows-paths") << QByteArray("[Update]\r\nCache=C:\\Apps\\cache\r\nExeName=D:\\My App\\app.exe\r\n");
    QTest::newRow("windows-paths-raw") << QByteArray("[Update]\nCache=C:\\Apps\\new\\tmp\nExeName=\"C:\\x\\a.exe\"\n");
    QTest::newRow("quoted-blanks-comment") << QByteArray("[Version]\nVersion=\" padded \" ; note\nFolder = plain ; note\n");
    // the fuzzers' seeds: realistic configurations and descriptors
    for (const char *corpus : {"fuzz_config", "fuzz_descriptor"}) {
        const QDir seeds(QStringLiteral(TESTS_SOURCE_DIR "/fuzz/corpus/") + QLatin1String(corpus));
        const QStringList names = seeds.entryList(QDir::Files);
        for (const QString &name : names) {
            QFile seed(seeds.filePath(name));
            // values written as @Variant(...) are meant to differ, see variantsStayText
            const QByteArray content = seed.open(QIODevice::ReadOnly) ? seed.readAll() : QByteArray();
            if (!content.contains("@Variant("))
                QTest::newRow(qPrintable(name)) << content;
        }
    }
    // an unquoted comma makes a list, whose text is empty; a quoted one stays text
    QTest::newRow("comma-list") << QByteArray("[Update]\nURL=http://h/,x\nExeName=\"a,b.exe\" ; c,d\n");
    QTest::newRow("letter-case") << QByteArray("[update]\nurl=http://a/\n[Update]\nURL=http://b/\n"
                                               "[summary]\nupdatetype=0\n");
    QTest::newRow("url-with-query") << QByteArray("[Update]\nURL=http://h/a?b=c&d=e;f\nDownLoadUrl=https://h/#x\n");
}

void tst_PlainIni::sameAsQt()
{
    QFETCH(QByteArray, content);
    QSettings qt(write(content), QSettings::IniFormat);
    QSettings plain(write(content), plainIniFormat());
    // Windows ignores letter case in keys, and so does their order there
    const auto sorted = [](QStringList keys) {
        std::sort(keys.begin(), keys.end(), [](const QString &a, const QString &b) {
            return a.compare(b, Qt::CaseInsensitive) < 0;
        });
        return keys;
    };
    const QStringList keys = sorted(qt.allKeys());
    QCOMPARE(sorted(plain.allKeys()), keys);
    for (const QString &key : keys)
        QCOMPARE(plain.value(key).toString(), qt.value(key).toString());
    const UpdateDescriptor descriptor = readDescriptor(write(content));
    QCOMPARE(descriptor.updateType, qt.value(QStringLiteral("Summary/UpdateType"), 1).toInt());
    QCOMPARE(descriptor.folder, qt.value(QStringLiteral("Version/Folder"), QStringLiteral("Base")).toString());
    QCOMPARE(descriptor.version, qt.value(QStringLiteral("Version/Version")).toString());
}

void tst_PlainIni::variantsStayText_data()
{
    QTest::addColumn<QByteArray>("value");
    // a list announcing 0x10000000 elements: Qt's reader reserves them all and aborts
    QTest::newRow("huge-list") << QByteArray("@Variant(\\0\\0\\0\\t\\x10\\0\\0\\0)");
    QTest::newRow("quoted") << QByteArray("\"@Variant(\\0\\0\\0\\t\\x10\\0\\0\\0)\"");
    QTest::newRow("escaped-at") << QByteArray("\\x40Variant(\\0\\0\\0\\t\\x10\\0\\0\\0)");
}

void tst_PlainIni::variantsStayText()
{
    QFETCH(QByteArray, value);
    const QString path = write("[Summary]\nUpdateType=" + value + "\n[Version]\nVersion=" + value + "\n");
    const UpdateDescriptor descriptor = readDescriptor(path);
    QCOMPARE(descriptor.updateType, 0); // not a whole number: an optional update
    QVERIFY2(descriptor.version.contains(QLatin1String("Variant(")), qPrintable(descriptor.version));
    QCOMPARE(descriptor.folder, QStringLiteral("Base"));
}

void tst_PlainIni::writtenByQtReadsBack()
{
    // update-publish writes update.ini with Qt's own writer
    const QString path = dir.filePath(QStringLiteral("written.ini"));
    {
        QSettings writer(path, QSettings::IniFormat);
        writer.setValue(QStringLiteral("Summary/UpdateType"), 0);
        writer.setValue(QStringLiteral("Version/Folder"), QStringLiteral("v2"));
        writer.setValue(QStringLiteral("Version/Version"), QStringLiteral("版本 2.0 \"测试\", a=b; c"));
    }
    const UpdateDescriptor descriptor = readDescriptor(path);
    QCOMPARE(descriptor.updateType, 0);
    QCOMPARE(descriptor.folder, QStringLiteral("v2"));
    QCOMPARE(descriptor.version, QStringLiteral("版本 2.0 \"测试\", a=b; c"));
}

QTEST_GUILESS_MAIN(tst_PlainIni)
#include "tst_plainini.moc"
