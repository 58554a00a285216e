#include "progressmeter.h"
#include "publicationcheck.h"
#include "publishrules.h"
#include "signingkeyfile.h"

#include "deltaindex.h"
#include "descriptor.h"
#include "manifest.h"
#include "publicationurls.h"
#include "releasestatement.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>
#include <QUrl>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace {
// The digest text computed without the code under test: the customary MD5 bytes, each 32-bit
// word read little-endian and printed as hex.
QByteArray referenceDigestText(const QByteArray &data)
{
    const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5);
    QByteArray text;
    for (int word = 0; word < 4; ++word) {
        QByteArray bytes = md5.mid(word * 4, 4);
        std::reverse(bytes.begin(), bytes.end());
        text += bytes.toHex();
    }
    return text;
}

QByteArray patternBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed;
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entryNames(const QString &directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

struct ToolRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ToolRun runTool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(PUBLISH_EXE), arguments);
    ToolRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        run.err = "no end within 120 s";
        return run;
    }
    run.finished = process.exitStatus() == QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    // a failure's message says how the tool ended when it said nothing itself
    if (run.err.isEmpty() && (!run.finished || run.exitCode != 0))
        run.err = (run.finished ? "exit code " : "crashed, code ")
            + QByteArray::number(uint(run.exitCode), 16);
    return run;
}

ReleaseStatement publishedStatement(
    const QString &server, const QString &name = QStringLiteral("update.sig"))
{
    ReleaseStatement statement;
    if (readSignedStatement(readFile(server + QLatin1Char('/') + name), {}, statement)
        != StatementError::None)
        return ReleaseStatement();
    return statement;
}

QByteArray referenceSha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// a file's hash in a statement of the current format (the hasher has its known answers in
// tst_digest)
QByteArray referenceFileHash(const QByteArray &data)
{
    return signedHashHex(SignedHashKind::Blake2b, data);
}

// an installation's bucket in the rollout of the release in folder, computed without the code
// under test: the first 8 bytes of SHA-256 of "ID\nFOLDER", big-endian, modulo a million
int referenceBucket(const QByteArray &id, const QString &folder)
{
    const QByteArray digest
        = QCryptographicHash::hash(id + '\n' + folder.toUtf8(), QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | quint8(digest.at(i));
    return int(value % 1000000);
}

const QString NonAsciiName = QStringLiteral("文档/说明 é.txt");
} // namespace

class tst_Publish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void releasePathProblem_data();
    void releasePathProblem();
    void folderNameProblem_data();
    void folderNameProblem();

    void publishRoundTrip();
    void descriptor_data();
    void descriptor();
    void refused_data();
    void refused();
    void existingFolder();
    void check_data();
    void check();
    void commandLine_data();
    void commandLine();
    void signing_data();
    void signing();
    void deltas_data();
    void deltas();
    void releaseNumbers();
    void rollout();
    void rolloutRefused_data();
    void rolloutRefused();

    void progressMeterThrottles();
    void progressOnTerminal();

private:
    QString freshDir(const QString &name);
    // a key pair written by the tool; the secret key file, or an empty path on failure
    QString makeKey(const QString &name);
    // a release with nested directories, an empty file, names with spaces and, when the local
    // encoding allows, a non-ASCII name; contents by relative path
    QMap<QString, QByteArray> makeRelease(const QString &root);

    QTemporaryDir temp;
    int dirCount = 0;
};

void tst_Publish::initTestCase()
{
    QVERIFY2(temp.isValid(), qPrintable(temp.errorString()));
    QVERIFY2(QFileInfo(QStringLiteral(PUBLISH_EXE)).isExecutable(), PUBLISH_EXE);
#ifdef Q_OS_UNIX
    // what a web server needs to read the publication is what a usual umask grants
    ::umask(022);
#endif
    // the independent reference against well-known MD5 values
    QCOMPARE(referenceDigestText(QByteArray()), QByteArray("d98c1dd404b2008f980980e97e42f8ec"));
    QCOMPARE(referenceDigestText("abc"), QByteArray("98500190b04fd23c7d3f96d6727fe128"));
}

QString tst_Publish::freshDir(const QString &name)
{
    const QString path = temp.filePath(QString::number(++dirCount) + QLatin1Char('-') + name);
    QDir().mkpath(path);
    return path;
}

QString tst_Publish::makeKey(const QString &name)
{
    const QString path = freshDir(QStringLiteral("keys")) + QLatin1Char('/') + name;
    const ToolRun run = runTool({QStringLiteral("--keygen"), path});
    return run.finished && run.exitCode == 0 ? path : QString();
}

QMap<QString, QByteArray> tst_Publish::makeRelease(const QString &root)
{
    QMap<QString, QByteArray> files;
    files.insert(QStringLiteral("bin/app.exe"), patternBytes(4096, 1));
    // larger than one read chunk and not a multiple of it
    files.insert(
        QStringLiteral("data/nested/deep/blob.bin"), patternBytes(3 * 1024 * 1024 + 17, 2));
    files.insert(QStringLiteral("empty.txt"), QByteArray());
    files.insert(QStringLiteral("with space/a file.txt"), QByteArrayLiteral("spaced\n"));
    files.insert(QStringLiteral(".hidden/.config"), QByteArrayLiteral("hidden=1\n"));
    if (QTextCodec::codecForLocale()->canEncode(NonAsciiName))
        files.insert(NonAsciiName, QByteArrayLiteral("non-ascii\n"));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(root + QLatin1Char('/') + it.key(), it.value()))
            return {};
    }
    return files;
}

void tst_Publish::releasePathProblem_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("refused");

    QTest::newRow("plain") << QStringLiteral("bin/app.exe") << false;
    QTest::newRow("spaces") << QStringLiteral("with space/a file.txt") << false;
    QTest::newRow("hidden") << QStringLiteral(".hidden/.config") << false;
    QTest::newRow("non-ascii") << NonAsciiName << false;
    QTest::newRow("manifest-name-nested") << QStringLiteral("docs/md5.txt") << false;
    QTest::newRow("device-lookalike") << QStringLiteral("console.txt") << false;
    QTest::newRow("com10") << QStringLiteral("com10.txt") << false;
    QTest::newRow("tab") << QStringLiteral("a\tb.txt") << true;
    QTest::newRow("newline") << QStringLiteral("a\nb.txt") << true;
    QTest::newRow("carriage-return") << QStringLiteral("dir\r/b.txt") << true;
    QTest::newRow("backslash") << QStringLiteral("dir\\file.txt") << true;
    QTest::newRow("colon") << QStringLiteral("c:/file.txt") << true;
    QTest::newRow("control") << QStringLiteral("a\x01z.txt") << true;
    QTest::newRow("windows-star") << QStringLiteral("a*.txt") << true;
    QTest::newRow("windows-question") << QStringLiteral("why?.txt") << true;
    QTest::newRow("device") << QStringLiteral("aux.c") << true;
    QTest::newRow("device-nested") << QStringLiteral("bin/NUL") << true;
    QTest::newRow("device-mixed-case") << QStringLiteral("bin/Com1.dll") << true;
    QTest::newRow("device-space-before-dot") << QStringLiteral("aux .h") << true;
    QTest::newRow("trailing-dot") << QStringLiteral("dir./a.txt") << true;
    QTest::newRow("trailing-space") << QStringLiteral("a.txt ") << true;
    QTest::newRow("manifest-name") << QStringLiteral("md5.txt") << true;
    QTest::newRow("manifest-name-case") << QStringLiteral("MD5.TXT") << true;
    QTest::newRow("manifest-name-as-dir") << QStringLiteral("md5.txt/inner") << true;
    QTest::newRow("applied-record") << QStringLiteral("update_md5.info") << true;
    QTest::newRow("release-record") << QStringLiteral("Update_Release.INFO") << true;
    QTest::newRow("patch-index") << QStringLiteral("update_delta.txt") << true;
    QTest::newRow("patch-folder") << QStringLiteral("Update_Delta/x.zst") << true;
    QTest::newRow("lock") << QStringLiteral("update_singleton.lock") << true;
    QTest::newRow("lock-in-bin") << QStringLiteral("BIN/Update_Singleton.lock") << true;
    QTest::newRow("watch-lock") << QStringLiteral("update_watch.lock") << true;
    QTest::newRow("undo-folder") << QStringLiteral("Update_Undo/record") << true;
    // the run log in the cache gives way to a file of that name
    QTest::newRow("run-log-name") << QStringLiteral("update.log") << false;
    // the updater's default cache beside it, in the root or in "bin", takes no release files
    QTest::newRow("default-cache") << QStringLiteral("update/zb") << true;
    QTest::newRow("default-cache-in-bin") << QStringLiteral("Bin/Update/zb") << true;
    QTest::newRow("cache-like-name") << QStringLiteral("updates/zb") << false;
    QTest::newRow("cache-name-nested") << QStringLiteral("data/update/zb") << false;
    QTest::newRow("dot-dot") << QStringLiteral("a/../b") << true;
    QTest::newRow("dot") << QStringLiteral("./a") << true;
    QTest::newRow("empty-component") << QStringLiteral("a//b") << true;
    QTest::newRow("leading-slash") << QStringLiteral("/a") << true;
}

void tst_Publish::releasePathProblem()
{
    QFETCH(QString, path);
    QFETCH(bool, refused);

    QString problem;
    QCOMPARE(!checkReleasePath(path, problem), refused);
    QCOMPARE(!problem.isEmpty(), refused);
    if (refused)
        return;
    // whatever is accepted must come back unchanged through the updater's own parser
    ManifestEntry entry;
    entry.path = path;
    entry.size = 5;
    entry.digest = referenceDigestText("hello");
    const Manifest parsed = parseManifest(manifestLine(entry) + '\n');
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed.first(), entry);
}

void tst_Publish::folderNameProblem_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("refused");

    QTest::newRow("base") << QStringLiteral("Base") << false;
    QTest::newRow("dotted-version") << QStringLiteral("v2.1.0") << false;
    QTest::newRow("punctuation") << QStringLiteral("release-2_0~rc+1") << false;
    QTest::newRow("empty") << QString() << true;
    QTest::newRow("dot") << QStringLiteral(".") << true;
    QTest::newRow("dot-dot") << QStringLiteral("..") << true;
    QTest::newRow("hidden") << QStringLiteral(".v2") << true;
    QTest::newRow("slash") << QStringLiteral("a/b") << true;
    QTest::newRow("backslash") << QStringLiteral("a\\b") << true;
    QTest::newRow("colon") << QStringLiteral("a:b") << true;
    QTest::newRow("space") << QStringLiteral("v 2") << true;
    QTest::newRow("hash") << QStringLiteral("v#2") << true;
    QTest::newRow("question") << QStringLiteral("v?2") << true;
    QTest::newRow("percent") << QStringLiteral("%41") << true;
    QTest::newRow("non-ascii") << QStringLiteral("版本") << true;
    QTest::newRow("tab") << QStringLiteral("v\t2") << true;
    QTest::newRow("descriptor-name") << QStringLiteral("UPDATE.INI") << true;
    QTest::newRow("device") << QStringLiteral("con") << true;
}

void tst_Publish::folderNameProblem()
{
    QFETCH(QString, folder);
    QFETCH(bool, refused);

    QString problem;
    QCOMPARE(!checkFolderName(folder, problem), refused);
    QCOMPARE(!problem.isEmpty(), refused);
    if (refused)
        return;
    // the updater pastes the folder into the URL unescaped: an accepted name must arrive as is
    const QUrl url(folderUrl(QStringLiteral("http://host/app/"), folder), QUrl::TolerantMode);
    QVERIFY(url.isValid());
    QCOMPARE(url.path(QUrl::FullyEncoded), QLatin1String("/app/") + folder + QLatin1Char('/'));
    QVERIFY(!url.hasQuery());
    QVERIFY(!url.hasFragment());
}

void tst_Publish::publishRoundTrip()
{
    const QString release = freshDir(QStringLiteral("release"));
    const QString server = freshDir(QStringLiteral("server")) + QLatin1String("/not/yet");
    QMap<QString, QByteArray> files = makeRelease(release);
    QVERIFY(!files.isEmpty());
    if (!files.contains(NonAsciiName))
        QSKIP("the local 8-bit encoding cannot express the non-ASCII name of this test");
#ifdef Q_OS_UNIX
    // a link to a file of the release is published as a copy of that file
    QVERIFY(QFile::link(
        QStringLiteral("../bin/app.exe"), release + QLatin1String("/.hidden/app-link")));
    files.insert(QStringLiteral(".hidden/app-link"), files.value(QStringLiteral("bin/app.exe")));
    // empty directories have nothing to list
    QVERIFY(QDir().mkpath(release + QLatin1String("/empty-dir")));
#endif

    const ToolRun run = runTool({release, server, QStringLiteral("--version"),
        QStringLiteral("2.0"), QStringLiteral("--folder"), QStringLiteral("v2")});
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    // not a terminal: no progress lines (Windows ends the lines of stderr with CR LF)
    QVERIFY2(!QByteArray(run.err).replace("\r\n", "\n").contains('\r'), run.err.constData());
    QCOMPARE(run.out.count("How clients find this release"), 1);
    QVERIFY2(run.out.contains("<base URL>/update.ini"), run.out.constData());
    QVERIFY2(run.out.contains("<base URL>v2//md5.txt"), run.out.constData());

    // nothing but the descriptor and the folder: no staging left behind
    QCOMPARE(entryNames(server), QStringList({QStringLiteral("update.ini"), QStringLiteral("v2")}));
    const QString folder = server + QLatin1String("/v2");

    const QByteArray manifestBytes = readFile(folder + QLatin1String("/md5.txt"));
    QVERIFY(manifestBytes.endsWith('\n'));
    QVERIFY(!manifestBytes.contains('\r'));
    QList<QByteArray> lines = manifestBytes.split('\n');
    lines.removeLast();
    QCOMPARE(lines.size(), files.size());

    const Manifest manifest = parseManifest(manifestBytes);
    QCOMPARE(manifest.keys(), files.keys());
    int lineIndex = 0;
    for (auto it = files.cbegin(); it != files.cend(); ++it, ++lineIndex) {
        const ManifestEntry entry = manifest.value(it.key());
        QCOMPARE(entry.size, quint64(it.value().size()));
        QCOMPARE(entry.digest, referenceDigestText(it.value()));
        // lines in path order, each exactly digest, size field, path
        const QList<QByteArray> fields = lines.at(lineIndex).split('\t');
        QCOMPARE(fields.size(), 3);
        QCOMPARE(QString::fromUtf8(fields.at(2)), it.key());
        QCOMPARE(fields.at(1).size(), 16);
        QCOMPARE(readFile(folder + QLatin1Char('/') + it.key()), it.value());
    }
    QVERIFY(!QFileInfo::exists(folder + QLatin1String("/empty-dir")));

#ifdef Q_OS_UNIX
    // a web server running as another user must be able to read all of it
    const QStringList published = {server + QLatin1String("/update.ini"), folder,
        folder + QLatin1String("/md5.txt"), folder + QLatin1String("/data/nested/deep/blob.bin")};
    for (const QString &path : published)
        QVERIFY2(QFileInfo(path).permissions() & QFileDevice::ReadOther, qPrintable(path));
    QVERIFY(
        QFileInfo(folder + QLatin1String("/data/nested")).permissions() & QFileDevice::ExeOther);
#endif
}

void tst_Publish::descriptor_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("updateType");

    QTest::newRow("forced-default-folder")
        << QStringList() << QStringLiteral("1.0") << QStringLiteral("Base") << 1;
    QTest::newRow("optional") << QStringList({QStringLiteral("--optional")})
                              << QStringLiteral("1.1") << QStringLiteral("Base") << 0;
    QTest::newRow("folder") << QStringList({QStringLiteral("--folder"), QStringLiteral("v3.0")})
                            << QStringLiteral("3.0") << QStringLiteral("v3.0") << 1;
    QTest::newRow("non-ascii-version")
        << QStringList({QStringLiteral("-f"), QStringLiteral("v4")})
        << QStringLiteral("4.0 正式版 «ü»") << QStringLiteral("v4") << 1;
    QTest::newRow("ini-syntax-in-version")
        << QStringList({QStringLiteral("--optional")})
        << QStringLiteral("  5.0; [beta] = \"q\" \\x41  ") << QStringLiteral("Base") << 0;
}

void tst_Publish::descriptor()
{
    QFETCH(QStringList, options);
    QFETCH(QString, version);
    QFETCH(QString, folder);
    QFETCH(int, updateType);

    const QString release = freshDir(QStringLiteral("release"));
    const QString server = freshDir(QStringLiteral("server"));
    QVERIFY(writeFile(release + QLatin1String("/app.exe"), "app"));

    const ToolRun run
        = runTool(QStringList({release, server, QStringLiteral("--version"), version}) + options);
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());

    // read back the way the updater reads it
    QSettings settings(server + QLatin1String("/update.ini"), QSettings::IniFormat);
    QCOMPARE(settings.status(), QSettings::NoError);
    QCOMPARE(settings.value(QStringLiteral("Summary/UpdateType"), 1).toInt(), updateType);
    QCOMPARE(settings.value(QStringLiteral("Version/Folder"), QStringLiteral("Base")).toString(),
        folder);
    QCOMPARE(settings.value(QStringLiteral("Version/Version")).toString(), version);
    QVERIFY(QFileInfo(server + QLatin1Char('/') + folder + QLatin1String("/md5.txt")).isFile());
}

void tst_Publish::refused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("manifest-name") << QStringLiteral("manifest") << 1 << QStringLiteral("md5.txt");
#ifdef Q_OS_UNIX
    // names only a file system that is not Windows' can hold
    QTest::newRow("tab-in-name") << QStringLiteral("tab") << 1 << QStringLiteral("tab");
    QTest::newRow("newline-in-name")
        << QStringLiteral("newline") << 1 << QStringLiteral("line break");
    QTest::newRow("backslash-in-name")
        << QStringLiteral("backslash") << 1 << QStringLiteral("backslash");
    QTest::newRow("colon-in-name") << QStringLiteral("colon") << 1 << QStringLiteral("':'");
    QTest::newRow("case-clash") << QStringLiteral("case") << 1 << QStringLiteral("only in case");
    QTest::newRow("set-aside-name")
        << QStringLiteral("set-aside") << 1 << QStringLiteral("the copy the updater keeps");
    QTest::newRow("trailing-dot-in-name")
        << QStringLiteral("trailing-dot") << 1 << QStringLiteral("ends in a dot");
    QTest::newRow("link-leading-outside")
        << QStringLiteral("link-outside") << 1 << QStringLiteral("out of the release");
    QTest::newRow("dangling-link")
        << QStringLiteral("link-dangling") << 1 << QStringLiteral("does not exist");
    QTest::newRow("link-to-directory")
        << QStringLiteral("link-directory") << 1 << QStringLiteral("to a directory");
    QTest::newRow("fifo") << QStringLiteral("fifo") << 1 << QStringLiteral("not a regular file");
#endif
    QTest::newRow("empty-release") << QStringLiteral("empty") << 1 << QStringLiteral("no files");
    QTest::newRow("server-inside-release")
        << QStringLiteral("server-inside") << 2 << QStringLiteral("inside the release");
    QTest::newRow("release-inside-server")
        << QStringLiteral("release-inside") << 2 << QStringLiteral("inside the server");
    QTest::newRow("folder-with-slash")
        << QStringLiteral("folder-slash") << 2 << QStringLiteral("single name");
    QTest::newRow("folder-empty") << QStringLiteral("folder-empty") << 2
                                  << QStringLiteral("is empty");
    QTest::newRow("version-empty")
        << QStringLiteral("version-empty") << 2 << QStringLiteral("version is empty");
    QTest::newRow("public-key-to-sign")
        << QStringLiteral("public-key") << 2 << QStringLiteral("holds a public key");
}

void tst_Publish::refused()
{
    QFETCH(QString, kind);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QString base = freshDir(kind);
    QString release = base + QLatin1String("/release");
    QString server = base + QLatin1String("/server");
    QString folder = QStringLiteral("v1");
    QString version = QStringLiteral("1.0");
    QVERIFY(writeFile(release + QLatin1String("/ok/fine.txt"), "fine"));
    const QString outside = base + QLatin1String("/outside.txt");
    QVERIFY(writeFile(outside, "secret"));

    if (kind == QLatin1String("tab"))
        QVERIFY(writeFile(release + QLatin1String("/a\tb.txt"), "x"));
    else if (kind == QLatin1String("newline"))
        QVERIFY(writeFile(release + QLatin1String("/ok/a\nb.txt"), "x"));
    else if (kind == QLatin1String("backslash"))
        QVERIFY(writeFile(release + QLatin1String("/dir\\file.txt"), "x"));
    else if (kind == QLatin1String("colon"))
        QVERIFY(writeFile(release + QLatin1String("/a:b.txt"), "x"));
    else if (kind == QLatin1String("manifest"))
        QVERIFY(writeFile(release + QLatin1String("/md5.txt"), "x"));
    else if (kind == QLatin1String("case"))
        QVERIFY(writeFile(release + QLatin1String("/OK/other.txt"), "x"));
    else if (kind == QLatin1String("set-aside"))
        QVERIFY(writeFile(release + QLatin1String("/ok/Fine.txt.OLD"), "x"));
    else if (kind == QLatin1String("trailing-dot"))
        QVERIFY(writeFile(release + QLatin1String("/ok/name."), "x"));
    else if (kind == QLatin1String("link-outside"))
        QVERIFY(QFile::link(outside, release + QLatin1String("/ok/link.txt")));
    else if (kind == QLatin1String("link-dangling"))
        QVERIFY(QFile::link(
            base + QLatin1String("/gone.txt"), release + QLatin1String("/ok/link.txt")));
    else if (kind == QLatin1String("link-directory"))
        QVERIFY(QFile::link(release + QLatin1String("/ok"), release + QLatin1String("/again")));
#ifdef Q_OS_UNIX
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(
            ::mkfifo(QFile::encodeName(release + QLatin1String("/ok/pipe")).constData(), 0644), 0);
#endif
    else if (kind == QLatin1String("empty"))
        QVERIFY(QFile::remove(release + QLatin1String("/ok/fine.txt")));
    else if (kind == QLatin1String("server-inside"))
        server = release + QLatin1String("/server");
    else if (kind == QLatin1String("release-inside"))
        release = server + QLatin1String("/release");
    else if (kind == QLatin1String("folder-slash"))
        folder = QStringLiteral("v1/sub");
    else if (kind == QLatin1String("folder-empty"))
        folder.clear();
    else if (kind == QLatin1String("version-empty"))
        version.clear();
    if (kind == QLatin1String("release-inside"))
        QVERIFY(writeFile(release + QLatin1String("/ok/fine.txt"), "fine"));
    QStringList signing;
    if (kind == QLatin1String("public-key")) {
        const QString key = makeKey(QStringLiteral("vendor.key"));
        QVERIFY(!key.isEmpty());
        signing = QStringList({QStringLiteral("--sign"), key + QLatin1String(".pub")});
    }

    const ToolRun run = runTool(QStringList({release, server, QStringLiteral("--version"), version,
                                    QStringLiteral("--folder"), folder})
        + signing);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.startsWith("update-publish: "), run.err.constData());
    QVERIFY2(QString::fromLocal8Bit(run.err).contains(message), run.err.constData());

    // nothing of a publication: no descriptor, no folder, no staging directory
    QVERIFY(!QFileInfo::exists(server + QLatin1String("/update.ini")));
    QStringList left = entryNames(server);
    left.removeAll(QStringLiteral("release"));
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
}

void tst_Publish::existingFolder()
{
    const QString first = freshDir(QStringLiteral("first"));
    const QString second = freshDir(QStringLiteral("second"));
    const QString server = freshDir(QStringLiteral("server"));
    QVERIFY(writeFile(first + QLatin1String("/app.exe"), "one"));
    QVERIFY(writeFile(first + QLatin1String("/retired.dll"), "old"));
    QVERIFY(writeFile(second + QLatin1String("/app.exe"), "two, longer"));

    ToolRun run = runTool({first, server, QStringLiteral("--version"), QStringLiteral("1")});
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QByteArray firstDescriptor = readFile(server + QLatin1String("/update.ini"));

    // the default folder again: refused, the live publication untouched
    run = runTool({second, server, QStringLiteral("--version"), QStringLiteral("2")});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("already exists"), run.err.constData());
    QCOMPARE(readFile(server + QLatin1String("/update.ini")), firstDescriptor);
    QCOMPARE(readFile(server + QLatin1String("/Base/app.exe")), QByteArray("one"));
    QCOMPARE(
        entryNames(server), QStringList({QStringLiteral("Base"), QStringLiteral("update.ini")}));

    run = runTool({second, server, QStringLiteral("--version"), QStringLiteral("2"),
        QStringLiteral("--replace")});
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(readFile(server + QLatin1String("/Base/app.exe")), QByteArray("two, longer"));
    QVERIFY(!QFileInfo::exists(server + QLatin1String("/Base/retired.dll")));
    QCOMPARE(
        entryNames(server), QStringList({QStringLiteral("Base"), QStringLiteral("update.ini")}));
    QSettings settings(server + QLatin1String("/update.ini"), QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("Version/Version")).toString(), QStringLiteral("2"));

    run = runTool({QStringLiteral("--check"), server});
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());
}

void tst_Publish::check_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("message");

    QTest::newRow("fresh") << QString() << QString();
    QTest::newRow("byte-changed") << QStringLiteral("byte") << QStringLiteral("differs");
    QTest::newRow("truncated") << QStringLiteral("truncate") << QStringLiteral("bytes");
    QTest::newRow("deleted") << QStringLiteral("delete") << QStringLiteral("missing");
    QTest::newRow("replaced-by-directory")
        << QStringLiteral("directory") << QStringLiteral("not a regular file");
    QTest::newRow("unsafe-line") << QStringLiteral("unsafe-line") << QStringLiteral("dropped");
    QTest::newRow("four-fields") << QStringLiteral("four-fields") << QStringLiteral("dropped");
    QTest::newRow("duplicate-line") << QStringLiteral("duplicate") << QStringLiteral("again");
    QTest::newRow("upper-case-digest")
        << QStringLiteral("upper-digest") << QStringLiteral("no valid digest");
    QTest::newRow("manifest-missing") << QStringLiteral("no-manifest") << QStringLiteral("md5.txt");
    QTest::newRow("descriptor-missing")
        << QStringLiteral("no-descriptor") << QStringLiteral("update.ini");
    QTest::newRow("folder-leads-out") << QStringLiteral("folder-out") << QStringLiteral("'/'");
    QTest::newRow("folder-missing")
        << QStringLiteral("no-folder") << QStringLiteral("named in update.ini does not exist");
    // listed and present, but where the updater keeps its cache: it would install over the
    // cached file of "zb" before "zb" is installed
    QTest::newRow("into-default-cache") << QStringLiteral("cache") << QStringLiteral("default cache");
}

void tst_Publish::check()
{
    QFETCH(QString, damage);
    QFETCH(QString, message);

    const QString release = freshDir(QStringLiteral("release"));
    const QString server = freshDir(QStringLiteral("server"));
    const QMap<QString, QByteArray> files = makeRelease(release);
    QVERIFY(!files.isEmpty());
    ToolRun run = runTool({release, server, QStringLiteral("--version"), QStringLiteral("7"),
        QStringLiteral("--folder"), QStringLiteral("v7")});
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());

    const QString folder = server + QLatin1String("/v7");
    const QString blob = folder + QLatin1String("/data/nested/deep/blob.bin");
    const QString manifestPath = folder + QLatin1String("/md5.txt");
    const QByteArray manifest = readFile(manifestPath);
    QVERIFY(!manifest.isEmpty());
    if (damage == QLatin1String("byte")) {
        // one byte past the first read chunk, size unchanged
        QFile file(blob);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(1024 * 1024 + 5));
        char c = 0;
        QVERIFY(file.getChar(&c));
        QVERIFY(file.seek(1024 * 1024 + 5));
        QVERIFY(file.putChar(char(c ^ 0x01)));
    } else if (damage == QLatin1String("truncate")) {
        QVERIFY(QFile::resize(blob, 1000));
    } else if (damage == QLatin1String("delete")) {
        QVERIFY(QFile::remove(blob));
    } else if (damage == QLatin1String("directory")) {
        QVERIFY(QFile::remove(blob));
        QVERIFY(QDir().mkdir(blob));
    } else if (damage == QLatin1String("unsafe-line")) {
        QVERIFY(writeFile(manifestPath,
            manifest + referenceDigestText("x") + "\t0100000000000000\t../escape.txt\n"));
    } else if (damage == QLatin1String("four-fields")) {
        QVERIFY(writeFile(manifestPath,
            manifest + referenceDigestText("x") + "\t0100000000000000\textra\tx.txt\n"));
    } else if (damage == QLatin1String("duplicate")) {
        QVERIFY(writeFile(manifestPath, manifest + manifest.left(manifest.indexOf('\n') + 1)));
    } else if (damage == QLatin1String("upper-digest")) {
        QVERIFY(writeFile(manifestPath, manifest.left(32).toUpper() + manifest.mid(32)));
    } else if (damage == QLatin1String("no-manifest")) {
        QVERIFY(QFile::remove(manifestPath));
    } else if (damage == QLatin1String("no-folder")) {
        QVERIFY(QDir(folder).removeRecursively());
    } else if (damage == QLatin1String("no-descriptor")) {
        QVERIFY(QFile::remove(server + QLatin1String("/update.ini")));
    } else if (damage == QLatin1String("cache")) {
        QVERIFY(writeFile(folder + QLatin1String("/update/zb"), "zb"));
        QVERIFY(writeFile(manifestPath, manifest + referenceDigestText("zb") + "\t0200000000000000\tupdate/zb\n"));
    } else if (damage == QLatin1String("folder-out")) {
        QSettings settings(server + QLatin1String("/update.ini"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Version/Folder"), QStringLiteral("../v7"));
    }

    // in process
    PublicationCheck publication(server);
    const bool passed = publication.run();
    QCOMPARE(passed, damage.isEmpty());
    if (passed) {
        QCOMPARE(publication.fileCount(), files.size());
        QCOMPARE(publication.folder(), QStringLiteral("v7"));
        QCOMPARE(publication.version(), QStringLiteral("7"));
    } else {
        QVERIFY2(publication.problems().join(QLatin1Char('\n')).contains(message),
            qPrintable(publication.problems().join(QLatin1Char('\n'))));
    }

    // and as a program
    run = runTool({QStringLiteral("--check"), server});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, damage.isEmpty() ? 0 : 1);
    if (!damage.isEmpty()) {
        QVERIFY2(run.err.startsWith("update-publish: "), run.err.constData());
        QVERIFY2(QString::fromLocal8Bit(run.err).contains(message), run.err.constData());
    }
    if (damage == QLatin1String("byte") || damage == QLatin1String("truncate")
        || damage == QLatin1String("delete"))
        QVERIFY2(run.err.contains("data/nested/deep/blob.bin"), run.err.constData());
}

void tst_Publish::deltas_data()
{
    QTest::addColumn<QString>("earlier"); // what --delta-from names
    QTest::addColumn<int>("patchesPerFile");

    QTest::newRow("release-directory") << "release" << 1;
    QTest::newRow("server-directory") << "server" << 1;
    QTest::newRow("two-releases") << "both" << 2;
}

// Patches from earlier releases: one for each changed file and each earlier version, none for
// a file that did not change or whose patch would not pay, each listed, signed and checked.
void tst_Publish::deltas()
{
    QFETCH(QString, earlier);
    QFETCH(int, patchesPerFile);

    const auto randomBytes = [](int size, quint32 seed) {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
        return bytes;
    };
    const QByteArray engine = randomBytes(400 * 1024, 1);
    const QMap<QString, QByteArray> v0{{"engine.dll", QByteArray(engine).replace(100, 4, "zero")},
                                       {"same.txt", "unchanged"},
                                       {"noise.bin", randomBytes(64 * 1024, 2)}};
    QMap<QString, QByteArray> v1 = v0;
    v1["engine.dll"] = engine;
    QMap<QString, QByteArray> v2 = v1;
    v2["engine.dll"] = QByteArray(engine).replace(200000, 6, "fix #1").append("more");
    v2["noise.bin"] = randomBytes(64 * 1024, 3); // nothing in common with the earlier one
    v2["new.txt"] = "new in 2";

    const QString keyFile = makeKey(QStringLiteral("vendor.key"));
    QVERIFY(!keyFile.isEmpty());
    const QString server = freshDir(QStringLiteral("server"));
    QStringList deltaFrom;
    for (const auto &[name, files] : {std::pair{QStringLiteral("v0"), v0}, {"v1", v1}}) {
        const QString release = freshDir(name);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeFile(release + QLatin1Char('/') + it.key(), it.value()));
        if (name == QLatin1String("v0") && earlier != QLatin1String("both"))
            continue;
        if (earlier == QLatin1String("server")) {
            const ToolRun run = runTool({release, server, "--version", name, "--folder", name,
                                         "--sign", keyFile});
            QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
            deltaFrom << "--delta-from" << server;
        } else {
            deltaFrom << "--delta-from" << release;
        }
    }
    const QString release = freshDir(QStringLiteral("v2"));
    for (auto it = v2.cbegin(); it != v2.cend(); ++it)
        QVERIFY(writeFile(release + QLatin1Char('/') + it.key(), it.value()));
    ToolRun run = runTool(QStringList{release, server, "--version", "2", "--folder", "v2", "--sign",
                                      keyFile, "--delta-level", "3"}
                          + deltaFrom);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());

    QList<DeltaPatch> patches;
    QVERIFY(parseDeltaIndex(readFile(server + "/v2/" + deltaIndexName()), patches));
    QCOMPARE(patches.size(), patchesPerFile);
    // clients ask for the index only where update.ini announces it
    QCOMPARE(QSettings(server + "/update.ini", QSettings::IniFormat).value("Delta/Index"),
             QVariant(QStringLiteral("update_delta.txt")));
    for (const DeltaPatch &patch : qAsConst(patches)) {
        QCOMPARE(patch.path, QStringLiteral("engine.dll"));
        QVERIFY(patch.size < 1000);
        const QByteArray bytes = readFile(server + "/v2/" + deltaPatchPath(patch));
        QCOMPARE(quint64(bytes.size()), patch.size);
        QCOMPARE(referenceDigestText(bytes), patch.digest);
    }
    QVERIFY(patches.first().baseDigest == referenceDigestText(v1["engine.dll"])
            || patches.last().baseDigest == referenceDigestText(v1["engine.dll"]));
    run = runTool({"--check", server, "--public-key", keyFile + ".pub"});
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());

    // a patch that no longer matches the index is reported
    QVERIFY(writeFile(server + "/v2/" + deltaPatchPath(patches.first()), "damaged"));
    run = runTool({"--check", server});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("update_delta/"), run.err.constData());
}

void tst_Publish::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");

    const QString dir = QStringLiteral("somewhere");
    QTest::newRow("help") << QStringList({QStringLiteral("--help")}) << 0 << QByteArray("Usage:");
    QTest::newRow("tool-version") << QStringList({QStringLiteral("--version")}) << 0
                                  << QByteArray("update-publish ");
    QTest::newRow("no-arguments") << QStringList() << 2 << QByteArray();
    QTest::newRow("unknown-option")
        << QStringList({QStringLiteral("--frobnicate")}) << 2 << QByteArray();
    QTest::newRow("one-directory")
        << QStringList({dir, QStringLiteral("--version"), QStringLiteral("1")}) << 2
        << QByteArray();
    QTest::newRow("three-directories")
        << QStringList({dir, dir, dir, QStringLiteral("--version"), QStringLiteral("1")}) << 2
        << QByteArray();
    QTest::newRow("no-release-version") << QStringList({dir, dir}) << 2 << QByteArray();
    QTest::newRow("release-version-without-value")
        << QStringList({dir, dir, QStringLiteral("--version")}) << 2 << QByteArray();
    QTest::newRow("check-two-directories")
        << QStringList({QStringLiteral("--check"), dir, dir}) << 2 << QByteArray();
    QTest::newRow("check-with-folder") << QStringList(
        {QStringLiteral("--check"), dir, QStringLiteral("--folder"), QStringLiteral("v1")})
                                       << 2 << QByteArray();
    QTest::newRow("check-missing-server")
        << QStringList({QStringLiteral("--check"), dir + QLatin1String("-missing")}) << 1
        << QByteArray();
    const QString key = QStringLiteral("vendor.key");
    QTest::newRow("keygen-and-directory")
        << QStringList({QStringLiteral("--keygen"), key, dir}) << 2 << QByteArray();
    QTest::newRow("check-and-sign")
        << QStringList({QStringLiteral("--check"), dir, QStringLiteral("--sign"), key}) << 2
        << QByteArray();
    QTest::newRow("check-public-key-not-a-key") << QStringList({QStringLiteral("--check"), dir,
        QStringLiteral("--public-key"), QStringLiteral("bm90IGEga2V5")})
                                                << 2 << QByteArray();
    QTest::newRow("public-key-without-check") << QStringList({dir, dir, QStringLiteral("--version"),
        QStringLiteral("1"), QStringLiteral("--public-key"), QStringLiteral("k.pub")})
                                              << 2 << QByteArray();
    QTest::newRow("expires-without-sign") << QStringList({dir, dir, QStringLiteral("--version"),
        QStringLiteral("1"), QStringLiteral("--expires"), QStringLiteral("5")})
                                          << 2 << QByteArray();
    QTest::newRow("expires-zero") << QStringList(
        {QStringLiteral("--sign"), key, dir, QStringLiteral("--expires"), QStringLiteral("0")})
                                  << 2 << QByteArray();
    // (a publication that would fail for want of the release directory, but for the option)
    QTest::newRow("statement-format-without-sign") << QStringList({dir, dir + QLatin1String("-server"),
        QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--statement-format"),
        QStringLiteral("1")}) << 2 << QByteArray();
    QTest::newRow("statement-format-unknown") << QStringList({QStringLiteral("--sign"), key, dir,
        QStringLiteral("--statement-format"), QStringLiteral("3")}) << 2 << QByteArray();
    QTest::newRow("release-number-signed") << QStringList({QStringLiteral("--sign"), key, dir,
        QStringLiteral("--release-number"), QStringLiteral("+3")})
                                           << 2 << QByteArray();
    // the network's options go with a URL only; a proxy setting must be one
    QTest::newRow("check-directory-with-proxy") << QStringList({QStringLiteral("--check"), dir,
        QStringLiteral("--proxy"), QStringLiteral("none")})
                                                << 2 << QByteArray();
    QTest::newRow("check-url-bad-proxy") << QStringList({QStringLiteral("--check"),
        QStringLiteral("http://127.0.0.1:1/app/"), QStringLiteral("--proxy"), QStringLiteral("ftp://x")})
                                         << 2 << QByteArray();
    QTest::newRow("check-url-no-ca-file") << QStringList({QStringLiteral("--check"),
        QStringLiteral("https://127.0.0.1:1/app/"), QStringLiteral("--ca-certificates"),
        dir + QLatin1String("-missing.pem")})
                                          << 2 << QByteArray();
    QTest::newRow("check-url-unreachable")
        << QStringList({QStringLiteral("--check"), QStringLiteral("http://127.0.0.1:1/app/"),
               QStringLiteral("--proxy"), QStringLiteral("none")})
        << 1 << QByteArray();
    // (two directories that could be published from and to)
    const QString server = dir + QLatin1String("-server");
    QTest::newRow("fallback-without-rollout") << QStringList({dir, server,
        QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--fallback"),
        QStringLiteral("v1")}) << 2 << QByteArray();
    QTest::newRow("rollout-five-decimals") << QStringList({dir, server,
        QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--rollout"),
        QStringLiteral("12.34567")}) << 2 << QByteArray();
    QTest::newRow("rollout-over-100")
        << QStringList({QStringLiteral("--rollout"), QStringLiteral("100.5"), dir}) << 2
        << QByteArray();
    QTest::newRow("rollout-change-with-fallback") << QStringList({QStringLiteral("--rollout"),
        QStringLiteral("5"), QStringLiteral("--fallback"), QStringLiteral("v1"), dir})
                                                  << 2 << QByteArray();
    QTest::newRow("in-rollout-upper-case") << QStringList({QStringLiteral("--in-rollout"),
        QStringLiteral("0123456789ABCDEF0123456789abcdef"), dir})
                                           << 2 << QByteArray();
    QTest::newRow("in-rollout-short") << QStringList({QStringLiteral("--in-rollout"),
        QStringLiteral("0123456789abcdef"), dir})
                                      << 2 << QByteArray();
    QTest::newRow("resign-with-release-version") << QStringList(
        {QStringLiteral("--sign"), key, dir, QStringLiteral("--version"), QStringLiteral("1")})
                                                 << 2 << QByteArray();
}

void tst_Publish::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);

    const ToolRun run = runTool(arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode == 0) {
        QVERIFY2(run.out.startsWith(output), run.out.constData());
        QVERIFY(run.err.isEmpty());
    } else {
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("update-publish: "), run.err.constData());
    }
}

void tst_Publish::signing_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // on the error output

    QTest::newRow("signed") << QString() << 0 << QString();
    QTest::newRow("expiring-soon") << QStringLiteral("soon") << 0 << QStringLiteral("less than 7");
    QTest::newRow("other-key") << QStringLiteral("other-key") << 1
                               << QStringLiteral("no valid signature");
    // the payload and its md5.txt line changed together: only the signed SHA-256 tells
    QTest::newRow("file-and-manifest-changed")
        << QStringLiteral("file") << 1 << QStringLiteral("differs from update.sig");
    QTest::newRow("manifest-changed")
        << QStringLiteral("manifest") << 1 << QStringLiteral("md5.txt of folder v1 is not");
    QTest::newRow("descriptor-changed")
        << QStringLiteral("descriptor") << 1 << QStringLiteral("update.ini is not the one");
    QTest::newRow("file-not-in-statement")
        << QStringLiteral("unsigned-file") << 1 << QStringLiteral("no BLAKE2b-256 in update.sig");
    QTest::newRow("statement-hash-wrong")
        << QStringLiteral("wrong-hash") << 1 << QStringLiteral("its BLAKE2b-256 is");
    // statements of the first format, for updaters that predate the second: SHA-256 of each
    // file, checked as such, and kept when signed again without the option
    QTest::newRow("format-1-signed") << QStringLiteral("format-1") << 0 << QString();
    QTest::newRow("format-1-kept-when-signed-again") << QStringLiteral("format-1-kept") << 0 << QString();
    QTest::newRow("format-1-statement-hash-wrong")
        << QStringLiteral("format-1-wrong-hash") << 1 << QStringLiteral("its SHA-256 is");
    QTest::newRow("expired") << QStringLiteral("expired") << 1 << QStringLiteral("expired at");
    QTest::newRow("no-statement") << QStringLiteral("no-statement") << 1
                                  << QStringLiteral("does not exist");
    QTest::newRow("percent-malformed")
        << QStringLiteral("percent") << 1 << QStringLiteral("is not a percentage");
    // a rollout of v2 falling back to v1: the damage is done to the fallback's statement and
    // folder, which clients outside the share fetch
    QTest::newRow("fallback-signed") << QStringLiteral("fallback-") << 0 << QString();
    QTest::newRow("fallback-file-and-manifest-changed")
        << QStringLiteral("fallback-file") << 1
        << QStringLiteral("differs from update_fallback.sig");
    QTest::newRow("fallback-manifest-changed") << QStringLiteral("fallback-manifest") << 1
                                               << QStringLiteral("is not the one update_fallback");
    QTest::newRow("fallback-file-not-in-statement")
        << QStringLiteral("fallback-unsigned-file") << 1
        << QStringLiteral("no BLAKE2b-256 in update_fallback.sig");
    QTest::newRow("fallback-expired")
        << QStringLiteral("fallback-expired") << 1 << QStringLiteral("update_fallback.sig expired");
    QTest::newRow("fallback-no-statement") << QStringLiteral("fallback-no-statement") << 1
                                           << QStringLiteral("update_fallback.sig does not exist");
    QTest::newRow("fallback-other-release")
        << QStringLiteral("fallback-release") << 1 << QStringLiteral("names the release 7");
    QTest::newRow("fallback-without-number")
        << QStringLiteral("fallback-no-number") << 1 << QStringLiteral("without its release number");
    QTest::newRow("fallback-not-older")
        << QStringLiteral("fallback-not-older") << 1 << QStringLiteral("is not older than release 2");
    QTest::newRow("fallback-other-descriptor")
        << QStringLiteral("fallback-descriptor") << 1
        << QStringLiteral("update.ini is not the one update_fallback.sig");
}

void tst_Publish::signing()
{
    QFETCH(QString, damage);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QString key = makeKey(QStringLiteral("vendor.key"));
    QVERIFY(!key.isEmpty());
    const QString release = freshDir(QStringLiteral("release"));
    const QString server = freshDir(QStringLiteral("server"));
    const QMap<QString, QByteArray> files = makeRelease(release);
    QVERIFY(!files.isEmpty());
    ToolRun run = runTool({release, server, QStringLiteral("--version"), QStringLiteral("1.0"),
        QStringLiteral("--folder"), QStringLiteral("v1"), QStringLiteral("--sign"), key});
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());

    QString statementPath = server + QLatin1String("/update.sig");
    const QString manifestPath = server + QLatin1String("/v1/md5.txt");
    QString trusted = key + QLatin1String(".pub");
    ReleaseStatement statement = publishedStatement(server);
    QCOMPARE(statement.release, quint64(1));
    QCOMPARE(statement.fileHash, SignedHashKind::Blake2b);
    if (damage.startsWith(QLatin1String("format-1"))) {
        damage = damage.mid(9);
        run = runTool({QStringLiteral("--sign"), key, server, QStringLiteral("--statement-format"),
            QStringLiteral("1")});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        if (damage == QLatin1String("kept")) {
            run = runTool({QStringLiteral("--sign"), key, server});
            QVERIFY2(run.exitCode == 0, run.err.constData());
        }
        statement = publishedStatement(server);
        QVERIFY(readFile(statementPath).startsWith("updater-release-statement 1\n"));
        QCOMPARE(statement.fileHash, SignedHashKind::Sha256);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QCOMPARE(statement.files.value(it.key()), referenceSha256(it.value()));
    }
    const bool rollout = damage.startsWith(QLatin1String("fallback-"));
    const QString kind = rollout ? damage.mid(9) : damage;
    if (rollout || damage == QLatin1String("percent")) {
        const QString second = freshDir(QStringLiteral("release"));
        QVERIFY(writeFile(second + QLatin1String("/app.exe"), "two"));
        run = runTool({second, server, QStringLiteral("--version"), QStringLiteral("2.0"),
            QStringLiteral("--folder"), QStringLiteral("v2"), QStringLiteral("--sign"), key,
            QStringLiteral("--rollout"), QStringLiteral("30"), QStringLiteral("--fallback"),
            QStringLiteral("v1")});
        QVERIFY2(run.exitCode == 0, run.err.constData());
    }
    if (rollout) {
        statementPath = server + QLatin1String("/update_fallback.sig");
        statement = publishedStatement(server, QStringLiteral("update_fallback.sig"));
        QCOMPARE(statement.folder, QStringLiteral("v1"));
    }
    bool signAgain = false;
    if (damage == QLatin1String("soon")) {
        run = runTool({QStringLiteral("--sign"), key, server, QStringLiteral("--expires"),
            QStringLiteral("3")});
        QVERIFY2(run.exitCode == 0, run.err.constData());
    } else if (damage == QLatin1String("other-key")) {
        trusted = makeKey(QStringLiteral("other.key")) + QLatin1String(".pub");
    } else if (kind == QLatin1String("file")) {
        const QByteArray changed = "changed!\n";
        QVERIFY(writeFile(server + QLatin1String("/v1/with space/a file.txt"), changed));
        ManifestEntry entry;
        entry.path = QStringLiteral("with space/a file.txt");
        entry.size = quint64(changed.size());
        entry.digest = referenceDigestText(changed);
        const QByteArray line = manifestLine(entry);
        QByteArray manifest;
        for (const QByteArray &old : readFile(manifestPath).split('\n')) {
            if (!old.isEmpty())
                manifest += (old.endsWith("\twith space/a file.txt") ? line : old) + '\n';
        }
        QVERIFY(writeFile(manifestPath, manifest));
    } else if (kind == QLatin1String("manifest")) {
        const QByteArray manifest = readFile(manifestPath);
        QVERIFY(writeFile(manifestPath, manifest.mid(manifest.indexOf('\n') + 1)));
    } else if (kind == QLatin1String("descriptor")) {
        QSettings settings(server + QLatin1String("/update.ini"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Summary/UpdateType"), 0);
    } else if (kind == QLatin1String("wrong-hash")) {
        statement.files[QStringLiteral("bin/app.exe")]
            = signedHashHex(statement.fileHash, "something else");
        signAgain = true;
    } else if (kind == QLatin1String("unsigned-file")) {
        statement.files.remove(QStringLiteral("bin/app.exe"));
        signAgain = true;
    } else if (kind == QLatin1String("expired")) {
        // a statement that was valid for its 30 days, as a frozen mirror keeps serving it
        const QDateTime now = QDateTime::currentDateTimeUtc();
        statement.issued = now.addDays(-31);
        statement.expires = now.addDays(-1);
        signAgain = true;
    } else if (kind == QLatin1String("no-statement")) {
        QVERIFY(QFile::remove(statementPath));
    } else if (kind == QLatin1String("percent")) {
        QSettings settings(server + QLatin1String("/update.ini"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Rollout/Percent"), QStringLiteral("12.34567"));
    } else if (kind == QLatin1String("no-number")) {
        QSettings(server + QLatin1String("/update.ini"), QSettings::IniFormat)
            .remove(QStringLiteral("Rollout/FallbackRelease"));
    } else if (kind == QLatin1String("not-older")) {
        QSettings(server + QLatin1String("/update.ini"), QSettings::IniFormat)
            .setValue(QStringLiteral("Rollout/FallbackRelease"), QStringLiteral("2"));
    } else if (kind == QLatin1String("release")) {
        statement.release = 7;
        signAgain = true;
    }
    if (signAgain) {
        QByteArray secretKey;
        QString error;
        QVERIFY2(readSigningKeyFile(key, secretKey, error), qPrintable(error));
        const QByteArray text = statementText(statement);
        QVERIFY(writeFile(statementPath, text + signatureLine(text, secretKey)));
    }

    run = runTool({QStringLiteral("--check"), server, QStringLiteral("--public-key"), trusted});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    if (!message.isEmpty())
        QVERIFY2(QString::fromLocal8Bit(run.err).contains(message), run.err.constData());
    // the release is signed: so must its fallback be, keys given or not
    if (rollout) {
        const ToolRun unkeyed = runTool({QStringLiteral("--check"), server});
        QCOMPARE(unkeyed.exitCode, exitCode);
        QVERIFY2(QString::fromLocal8Bit(unkeyed.err).contains(message), unkeyed.err.constData());
    }
    if (exitCode == 0) {
        const QByteArray publicKey = readFile(trusted).trimmed();
        QVERIFY2(run.out.contains(", by " + publicKey + '.'), run.out.constData());
        QVERIFY2(run.out.contains("signed as release"), run.out.constData());
        if (rollout)
            QVERIFY2(run.out.contains("update_fallback.sig, valid until"), run.out.constData());
        // without --public-key the statement's own signatures are checked, and named
        run = runTool({QStringLiteral("--check"), server});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains(", by " + publicKey + '.'), run.out.constData());
    }
}

void tst_Publish::releaseNumbers()
{
    const QString key = freshDir(QStringLiteral("keys")) + QLatin1String("/vendor.key");
    ToolRun run = runTool({QStringLiteral("--keygen"), key});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    // the line for system.cfg names the key written to the .pub file
    const QByteArray publicKey = readFile(key + QLatin1String(".pub"));
    // (a Windows console program ends its lines with CR LF)
    QVERIFY2(QByteArray(run.out).replace("\r\n", "\n").contains("\nPublicKeys=" + publicKey),
             run.out.constData());
#ifdef Q_OS_UNIX
    struct stat status;
    QCOMPARE(::stat(QFile::encodeName(key).constData(), &status), 0);
    QCOMPARE(status.st_mode & 0777, mode_t(0600));
#endif
    // a key is never overwritten
    const QByteArray secretKeyFile = readFile(key);
    run = runTool({QStringLiteral("--keygen"), key});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(readFile(key), secretKeyFile);

    const QString release = freshDir(QStringLiteral("release"));
    const QString server = freshDir(QStringLiteral("server"));
    const QMap<QString, QByteArray> files = makeRelease(release);
    QVERIFY(!files.isEmpty());
    const auto publish = [&](const QString &folder, const QStringList &extra) {
        return runTool(QStringList({release, server, QStringLiteral("--version"), folder,
                           QStringLiteral("--folder"), folder})
            + extra);
    };
    const QStringList sign = {QStringLiteral("--sign"), key};
    run = publish(QStringLiteral("v1"), sign);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    ReleaseStatement statement = publishedStatement(server);
    QCOMPARE(statement.release, quint64(1));
    // hashed in the copy pass: every file, update.ini and md5.txt as published
    QCOMPARE(statement.files.keys(), files.keys());
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QCOMPARE(statement.files.value(it.key()), referenceFileHash(it.value()));
    QCOMPARE(statement.descriptorSha256,
        referenceSha256(readFile(server + QLatin1String("/update.ini"))));
    QCOMPARE(
        statement.manifestSha256, referenceSha256(readFile(server + QLatin1String("/v1/md5.txt"))));
    QCOMPARE(statement.expires, statement.issued.addDays(30));

    run = publish(QStringLiteral("v2"), sign);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(publishedStatement(server).release, quint64(2));

    // below the published number, another release under it, or unsigned over a signed
    // publication: nothing changes
    const QByteArray descriptor = readFile(server + QLatin1String("/update.ini"));
    const QByteArray signature = readFile(server + QLatin1String("/update.sig"));
    const QPair<QStringList, QByteArray> refusals[] = {
        {sign + QStringList({QStringLiteral("--release-number"), QStringLiteral("1")}),
            "rollback"},
        {sign + QStringList({QStringLiteral("--release-number"), QStringLiteral("2")}),
            "published already, for another release"},
        {{}, "update.sig exists"}};
    for (const auto &refusal : refusals) {
        run = publish(QStringLiteral("v3"), refusal.first);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(refusal.second), run.err.constData());
        QCOMPARE(readFile(server + QLatin1String("/update.ini")), descriptor);
        QCOMPARE(readFile(server + QLatin1String("/update.sig")), signature);
        QVERIFY(!QFileInfo::exists(server + QLatin1String("/v3")));
    }

    // signed again: a new expiry under the number update.ini names, the publication itself
    // untouched
    run = runTool(sign + QStringList({server}));
    QVERIFY2(run.exitCode == 0, run.err.constData());
    statement = publishedStatement(server);
    QCOMPARE(statement.release, quint64(2));
    QCOMPARE(statement.folder, QStringLiteral("v2"));
    QCOMPARE(statement.files.size(), files.size());
    QCOMPARE(readFile(server + QLatin1String("/update.ini")), descriptor);
    run = runTool({QStringLiteral("--check"), server, QStringLiteral("--public-key"),
        QString::fromLatin1(publicKey.trimmed())});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    // the same number again is allowed, another one would need another update.ini
    run = runTool(
        sign + QStringList({server, QStringLiteral("--release-number"), QStringLiteral("2")}));
    QVERIFY2(run.exitCode == 0, run.err.constData());
    run = runTool(
        sign + QStringList({server, QStringLiteral("--release-number"), QStringLiteral("3")}));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("update.ini names release 2"), run.err.constData());
    QCOMPARE(publishedStatement(server).release, quint64(2));

    // a file that no longer matches md5.txt is not signed
    QVERIFY(writeFile(server + QLatin1String("/v2/empty.txt"), "no longer empty"));
    const QByteArray lastSignature = readFile(server + QLatin1String("/update.sig"));
    run = runTool(sign + QStringList({server}));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("empty.txt"), run.err.constData());
    QCOMPARE(readFile(server + QLatin1String("/update.sig")), lastSignature);
}

// A signed release at 30 % falling back to the live one, widened and halted without touching a
// file of either, and which installations take it, by a rule computed here.
void tst_Publish::rollout()
{
    const QString key = makeKey(QStringLiteral("vendor.key"));
    QVERIFY(!key.isEmpty());
    const QString server = freshDir(QStringLiteral("server"));
    const QString first = freshDir(QStringLiteral("v1"));
    const QMap<QString, QByteArray> files = makeRelease(first);
    QVERIFY(!files.isEmpty());
    const QString second = freshDir(QStringLiteral("v2"));
    QVERIFY(writeFile(second + QLatin1String("/app.exe"), "two"));
    const QStringList sign = {QStringLiteral("--sign"), key};
    ToolRun run = runTool(QStringList({first, server, QStringLiteral("--version"),
                              QStringLiteral("1.0"), QStringLiteral("--folder"), QStringLiteral("v1")})
        + sign);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    run = runTool(QStringList({second, server, QStringLiteral("--version"), QStringLiteral("2.0"),
                      QStringLiteral("--folder"), QStringLiteral("v2"), QStringLiteral("--rollout"),
                      QStringLiteral("30"), QStringLiteral("--fallback"), QStringLiteral("v1")})
        + sign);
    QVERIFY2(run.exitCode == 0, run.err.constData());

    const QString descriptorPath = server + QLatin1String("/update.ini");
    const auto value = [&](const char *key) {
        return QSettings(descriptorPath, QSettings::IniFormat).value(QLatin1String(key)).toString();
    };
    QCOMPARE(value("Version/Release"), QStringLiteral("2"));
    QCOMPARE(value("Rollout/Percent"), QStringLiteral("30"));
    QCOMPARE(value("Rollout/Fallback"), QStringLiteral("v1"));
    QCOMPARE(value("Rollout/FallbackVersion"), QStringLiteral("1.0"));
    QCOMPARE(value("Rollout/FallbackRelease"), QStringLiteral("1"));
    // the fallback's statement: its own number and files, bound to the new update.ini
    const auto checkFallbackStatement = [&]() {
        const ReleaseStatement fallback
            = publishedStatement(server, QStringLiteral("update_fallback.sig"));
        QCOMPARE(fallback.release, quint64(1));
        QCOMPARE(fallback.version, QStringLiteral("1.0"));
        QCOMPARE(fallback.folder, QStringLiteral("v1"));
        QCOMPARE(fallback.descriptorSha256, referenceSha256(readFile(descriptorPath)));
        QCOMPARE(fallback.manifestSha256,
            referenceSha256(readFile(server + QLatin1String("/v1/md5.txt"))));
        QCOMPARE(fallback.files.keys(), files.keys());
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QCOMPARE(fallback.files.value(it.key()), referenceFileHash(it.value()));
        QCOMPARE(fallback.expires, publishedStatement(server).expires);
    };
    checkFallbackStatement();
    run = runTool({QStringLiteral("--check"), server, QStringLiteral("--public-key"),
        key + QLatin1String(".pub")});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY2(run.out.contains("30% of the installations"), run.out.constData());

    // which installations take part, exactly as the bucket rule says
    const auto inRollout = [&](int share) {
        for (int i = 0; i < 40; ++i) {
            const QByteArray id = QCryptographicHash::hash(QByteArray::number(i),
                QCryptographicHash::Md5).toHex();
            const int bucket = referenceBucket(id, QStringLiteral("v2"));
            const ToolRun answer
                = runTool({QStringLiteral("--in-rollout"), QString::fromLatin1(id), server});
            QCOMPARE(answer.exitCode, bucket < share ? 0 : 3);
            QVERIFY2(answer.out.contains("(bucket " + QByteArray::number(bucket) + " of 1000000"),
                answer.out.constData());
            if (bucket >= share)
                QVERIFY2(answer.out.contains("updates to the fallback version \"1.0\""),
                    answer.out.constData());
        }
    };
    inRollout(300000);

    // widened: update.ini keeps every other key under the next number, signed again
    QSettings before(descriptorPath, QSettings::IniFormat);
    QMap<QString, QVariant> kept;
    for (const QString &name : before.allKeys())
        kept.insert(name, before.value(name));
    const QByteArray firstFile = readFile(server + QLatin1String("/v1/bin/app.exe"));
    run = runTool(sign + QStringList({QStringLiteral("--rollout"), QStringLiteral("60"), server}));
    QVERIFY2(run.exitCode == 0, run.err.constData());
    kept.insert(QStringLiteral("Rollout/Percent"), QStringLiteral("60"));
    kept.insert(QStringLiteral("Version/Release"), QStringLiteral("3"));
    QSettings after(descriptorPath, QSettings::IniFormat);
    QCOMPARE(after.allKeys().size(), kept.size());
    for (auto it = kept.cbegin(); it != kept.cend(); ++it)
        QCOMPARE(after.value(it.key()), it.value());
    QCOMPARE(publishedStatement(server).release, quint64(3));
    QCOMPARE(publishedStatement(server).descriptorSha256, referenceSha256(readFile(descriptorPath)));
    checkFallbackStatement();
    QCOMPARE(readFile(server + QLatin1String("/v1/bin/app.exe")), firstFile);
    run = runTool({QStringLiteral("--check"), server, QStringLiteral("--public-key"),
        key + QLatin1String(".pub")});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    inRollout(600000);

    // signed again later: the fallback's statement too, the numbers kept
    run = runTool(sign + QStringList({server}));
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(publishedStatement(server).release, quint64(3));
    checkFallbackStatement();

    // halted; a later release without a rollout leaves no fallback statement behind
    run = runTool(sign + QStringList({QStringLiteral("--rollout"), QStringLiteral("0"), server}));
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY2(run.out.contains("halted"), run.out.constData());
    QCOMPARE(value("Rollout/Percent"), QStringLiteral("0"));
    QCOMPARE(value("Version/Release"), QStringLiteral("4"));
    inRollout(0);
    run = runTool(QStringList({second, server, QStringLiteral("--version"), QStringLiteral("3.0"),
                      QStringLiteral("--folder"), QStringLiteral("v3")})
        + sign);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY(!QFileInfo::exists(server + QLatin1String("/update_fallback.sig")));
    QVERIFY(!readFile(descriptorPath).contains("Rollout"));
    QCOMPARE(value("Version/Release"), QStringLiteral("5"));
}

void tst_Publish::rolloutRefused_data()
{
    QTest::addColumn<bool>("signedRelease");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");

    // v0 and then v1 are published; v1 is live
    QTest::newRow("fallback-not-live") << true << "fallback-v0" << "neither the live release";
    QTest::newRow("fallback-without-number")
        << false << "no-number" << "without a release number";
    QTest::newRow("fallback-without-manifest") << false << "no-manifest" << "manifest";
    QTest::newRow("fallback-file-changed") << true << "changed-file" << "differs from md5.txt";
    QTest::newRow("fallback-replaced") << true << "replace-fallback" << "this release replaces";
    QTest::newRow("change-signed-unsigned") << true << "change-unsigned" << "Give --sign";
    QTest::newRow("resign-other-number") << true << "resign-number" << "update.ini names release";
    QTest::newRow("unsigned-number-published")
        << false << "number-2" << "published already";
    QTest::newRow("unsigned-number-below") << false << "number-1" << "rollback";
}

void tst_Publish::rolloutRefused()
{
    QFETCH(bool, signedRelease);
    QFETCH(QString, kind);
    QFETCH(QString, message);

    const QString key = makeKey(QStringLiteral("vendor.key"));
    QVERIFY(!key.isEmpty());
    const QStringList sign
        = signedRelease ? QStringList({QStringLiteral("--sign"), key}) : QStringList();
    const QString server = freshDir(QStringLiteral("server"));
    const QString release = freshDir(QStringLiteral("release"));
    QVERIFY(writeFile(release + QLatin1String("/app.exe"), "app"));
    const auto publish = [&](const QString &folder, const QStringList &extra) {
        return runTool(QStringList({release, server, QStringLiteral("--version"), folder,
                           QStringLiteral("--folder"), folder})
            + extra);
    };
    for (const QString &folder : {QStringLiteral("v0"), QStringLiteral("v1")}) {
        const ToolRun run = publish(folder, sign);
        QVERIFY2(run.exitCode == 0, run.err.constData());
    }
    const QString descriptorPath = server + QLatin1String("/update.ini");
    const QStringList rollout
        = {QStringLiteral("--rollout"), QStringLiteral("10"), QStringLiteral("--fallback")};
    QStringList arguments = QStringList({release, server, QStringLiteral("--version"),
                                QStringLiteral("2"), QStringLiteral("--folder"), QStringLiteral("v2")})
        + sign;
    if (kind == QLatin1String("fallback-v0")) {
        arguments << rollout << QStringLiteral("v0");
    } else if (kind == QLatin1String("no-number")) {
        // as an update-publish that wrote no release number left it
        QSettings(descriptorPath, QSettings::IniFormat).remove(QStringLiteral("Version/Release"));
        arguments << rollout << QStringLiteral("v1");
    } else if (kind == QLatin1String("no-manifest")) {
        QVERIFY(QFile::remove(server + QLatin1String("/v1/md5.txt")));
        arguments << rollout << QStringLiteral("v1");
    } else if (kind == QLatin1String("changed-file")) {
        QVERIFY(writeFile(server + QLatin1String("/v1/app.exe"), "ap!"));
        arguments << rollout << QStringLiteral("v1");
    } else if (kind == QLatin1String("replace-fallback")) {
        arguments = QStringList({release, server, QStringLiteral("--version"), QStringLiteral("2"),
                        QStringLiteral("--folder"), QStringLiteral("v1"), QStringLiteral("--replace")})
            + sign + rollout + QStringList({QStringLiteral("v1")});
    } else if (kind == QLatin1String("change-unsigned")) {
        arguments = QStringList({QStringLiteral("--rollout"), QStringLiteral("0"), server});
    } else if (kind == QLatin1String("resign-number")) {
        arguments = sign + QStringList({server, QStringLiteral("--release-number"), QStringLiteral("3")});
    } else if (kind.startsWith(QLatin1String("number-"))) {
        arguments << QStringLiteral("--release-number") << kind.mid(7);
    }
    const QByteArray descriptor = readFile(descriptorPath);
    const QByteArray statement = readFile(server + QLatin1String("/update.sig"));

    const ToolRun run = runTool(arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(QString::fromLocal8Bit(run.err).contains(message), run.err.constData());
    QCOMPARE(readFile(descriptorPath), descriptor);
    QCOMPARE(readFile(server + QLatin1String("/update.sig")), statement);
    QVERIFY(!QFileInfo::exists(server + QLatin1String("/update_fallback.sig")));
    QVERIFY(!QFileInfo::exists(server + QLatin1String("/v2")));
}

void tst_Publish::progressMeterThrottles()
{
    QBuffer buffer;
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    ProgressMeter meter(&buffer, QStringLiteral("Publishing"));
    const quint64 total = 200000;
    QElapsedTimer timer;
    timer.start();
    for (quint64 done = 1; done <= total; ++done)
        meter.update(done, total);
    const qint64 elapsed = timer.elapsed();
    meter.finish();

    const QByteArray text = buffer.data();
    // one draw at the start, at most one per 100 ms after it, one to show the end
    QVERIFY2(text.count('\r') <= 2 + elapsed / 100, text.constData());
    QVERIFY(text.endsWith('\n'));
    // the line left on screen shows the final state
    const QByteArray last = text.mid(text.lastIndexOf('\r') + 1);
    QVERIFY2(last.contains("(100%)"), last.constData());
}

void tst_Publish::progressOnTerminal()
{
#ifndef Q_OS_LINUX
    QSKIP("needs util-linux script(1) to run the tool on a terminal");
#else
    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    if (script.isEmpty())
        QSKIP("script(1) is not installed");
    const QString release = freshDir(QStringLiteral("release"));
    const QString server = freshDir(QStringLiteral("server"));
    QVERIFY(!makeRelease(release).isEmpty());

    QProcess process;
    const QString command = QStringLiteral("'%1' '%2' '%3' --version 1")
                                .arg(QStringLiteral(PUBLISH_EXE), release, server);
    process.start(script, {QStringLiteral("-qec"), command, QStringLiteral("/dev/null")});
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray text = process.readAllStandardOutput();
    QVERIFY2(text.contains("\rPublishing: "), text.constData());
    QVERIFY2(text.contains("(100%)"), text.constData());
#endif
}

QTEST_GUILESS_MAIN(tst_Publish)
#include "tst_publish.moc"
