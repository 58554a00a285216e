#include "changedetection.h"
#include "digest.h"
#include "support/installation.h"

#include <QTemporaryDir>
#include <QTest>

class tst_ChangeDetection : public QObject
{
    Q_OBJECT

private slots:
    void detect_data();
    void detect();
    void linkedFolderNotRead();
};

namespace {
struct Remote
{
    QString path;
    QByteArray content; // the published content; its digest goes into the remote manifest
};

// content of several of the chunks a file is read in
QByteArray largeContent(char last)
{
    QByteArray content(2 * 1024 * 1024 + 123, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((quint32(i) * 2654435761u) >> 24);
    content[content.size() - 1] = last;
    return content;
}

QByteArray manifestOf(const QMap<QString, QByteArray> &files)
{
    QByteArray text;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        text += manifestLine({it.key(), quint64(it.value().size()), digestText(it.value())}) + '\n';
    return text;
}
} // namespace

using Files = QMap<QString, QByteArray>;

void tst_ChangeDetection::detect_data()
{
    QTest::addColumn<Files>("remote");      // published contents
    QTest::addColumn<Files>("installed");   // files on disk
    QTest::addColumn<QByteArray>("applied"); // update_md5.info; null: none
    QTest::addColumn<QStringList>("changed");

    const Files v2{{"a.dll", "new a"}, {"b/c.txt", "new c"}, {"same", "same"}};
    const QByteArray appliedV2 = manifestOf(v2);
    const QByteArray appliedV1 = manifestOf({{"a.dll", "old a"}, {"b/c.txt", "old c"}, {"same", "same"}});

    QTest::newRow("no-applied-all-differ")
            << v2 << Files{{"a.dll", "old a"}, {"b/c.txt", "old c"}} << QByteArray()
            << QStringList{"a.dll", "b/c.txt", "same"};
    QTest::newRow("no-applied-identical-left-out")
            << v2 << Files{{"a.dll", "new a"}, {"b/c.txt", "old c"}, {"same", "same"}}
            << QByteArray() << QStringList{"b/c.txt"};
    QTest::newRow("applied-equal-nothing")
            << v2 << Files{} << appliedV2 << QStringList{};
    // deleted or altered after the last update: the applied manifest is trusted, the file is
    // never opened (were it hashed, the missing and altered files would count as changed)
    QTest::newRow("applied-trusted-over-disk")
            << v2 << Files{{"a.dll", "tampered"}} << appliedV2 << QStringList{};
    QTest::newRow("applied-digest-differs")
            << v2 << Files{{"a.dll", "new a"}, {"b/c.txt", "new c"}, {"same", "same"}}
            << appliedV1 << QStringList{"a.dll", "b/c.txt"};
    QTest::newRow("size-change-alone-ignored")
            << v2 << Files{} << QByteArray(manifestOf(v2).replace("\t0500000000000000\ta.dll", "\t0900000000000000\ta.dll"))
            << QStringList{};
    QTest::newRow("letter-case-falls-back-to-hashing")
            << Files{{"A.dll", "new a"}} << Files{{"A.dll", "new a"}} << manifestOf({{"a.dll", "old"}})
            << QStringList{};
    QTest::newRow("letter-case-hash-differs")
            << Files{{"A.dll", "new a"}} << Files{} << manifestOf({{"a.dll", "new a"}})
            << QStringList{"A.dll"};
    QTest::newRow("unlisted-in-applied-hashed")
            << v2 << Files{{"same", "same"}} << manifestOf({{"a.dll", "new a"}, {"b/c.txt", "new c"}})
            << QStringList{};
    // the applied manifest is walked beside the remote one: paths on either side only, in
    // between and at both ends
    QTest::newRow("applied-interleaved")
            << Files{{"a", "a"}, {"c", "c"}, {"e", "e"}, {"g", "g"}} << Files{{"a", "a"}}
            << manifestOf({{"b", "b"}, {"c", "c"}, {"d", "d"}, {"f", "f"}, {"g", "old g"}, {"h", "h"}})
            << QStringList{"e", "g"};
    // the last line of a path wins, whatever the order of the lines
    QTest::newRow("applied-unordered-repeated")
            << Files{{"a", "a"}, {"b", "b"}} << Files{}
            << QByteArray(manifestOf({{"b", "b"}}) + manifestOf({{"a", "old a"}})
                          + manifestOf({{"a", "a"}}))
            << QStringList{};
    QTest::newRow("no-applied-large-file-same")
            << Files{{"big.bin", largeContent('x')}} << Files{{"big.bin", largeContent('x')}}
            << QByteArray() << QStringList{};
    QTest::newRow("no-applied-large-file-last-byte-differs")
            << Files{{"big.bin", largeContent('x')}, {"small", "s"}}
            << Files{{"big.bin", largeContent('y')}, {"small", "s"}} << QByteArray()
            << QStringList{"big.bin"};
    QTest::newRow("empty-remote") << Files{} << Files{{"x", "y"}} << appliedV1 << QStringList{};
    QTest::newRow("garbage-applied-acts-empty")
            << Files{{"x", "y"}} << Files{} << QByteArray("\xff\xfe garbage\n\t\t\t\n") << QStringList{"x"};
}

void tst_ChangeDetection::detect()
{
    QFETCH(Files, remote);
    QFETCH(Files, installed);
    QFETCH(QByteArray, applied);
    QFETCH(QStringList, changed);

    QTemporaryDir root;
    QVERIFY2(root.isValid(), qPrintable(root.errorString()));
    const QDir dir(root.path());
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        QVERIFY(dir.mkpath(QFileInfo(dir.filePath(it.key())).absolutePath()));
        QFile file(dir.filePath(it.key()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(it.value());
    }
    if (!applied.isNull()) {
        QFile file(dir.filePath(QStringLiteral("update_md5.info")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(applied);
    }

    const Manifest remoteManifest = parseManifest(manifestOf(remote));
    const Manifest result = detectChanges(remoteManifest, readAppliedManifest(dir), dir);
    QCOMPARE(result.keys(), changed);
    for (const ManifestEntry &entry : result)
        QCOMPARE(entry, remoteManifest.value(entry.path)); // a copy of the remote entry
}

// An installed file is read with the updater's rights: one below a link to a folder, here
// holding exactly the published file, is not read through it and counts as changed.
void tst_ChangeDetection::linkedFolderNotRead()
{
    QTemporaryDir root;
    QTemporaryDir outside;
    QVERIFY2(root.isValid(), qPrintable(root.errorString()));
    QVERIFY2(outside.isValid(), qPrintable(outside.errorString()));
    const Files remote{{"a.dll", "new a"}, {"b/c.txt", "new c"}};
    for (const auto &file : {qMakePair(root.filePath("a.dll"), QByteArray("new a")),
                             qMakePair(outside.filePath("c.txt"), QByteArray("new c"))}) {
        QFile out(file.first);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file.second) == file.second.size());
    }
    if (!makeDirectoryLink(outside.path(), root.filePath("b")))
        QSKIP("no link to a directory can be made here");
    const Manifest changes = detectChanges(parseManifest(manifestOf(remote)), readAppliedManifest(QDir(root.path())), QDir(root.path()));
    QVERIFY(removeDirectoryLink(root.filePath("b")));
    QCOMPARE(changes.keys(), QStringList{"b/c.txt"});
}

QTEST_GUILESS_MAIN(tst_ChangeDetection)
#include "tst_changedetection.moc"
