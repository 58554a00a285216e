#include "digest.h"
#include "manifest.h"
#include "support/directorylock.h"
#include "support/installation.h"
#include "support/release.h"
#include "support/testserver.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <QUrl>
#include <QVector>

#include <algorithm>
#include <functional>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <QScopeGuard>

#include <windows.h>
#endif

// Fault-injected black-box runs of the built updater in console mode: a server that cuts, floods,
// stalls or loops, an updater killed at any moment, a read-only installation, a full cache file
// system and malformed inputs. Every run happens inside one sandbox directory, so that a write
// anywhere else in it shows up as a change.
class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void serverFaults_data();
    void serverFaults();
    void onlyMissingFilesFetchedAgain_data();
    void onlyMissingFilesFetchedAgain();
    void killedAtAnyMoment_data();
    void killedAtAnyMoment();
    void readOnlyInstallation_data();
    void readOnlyInstallation();
    void fullCacheFileSystem_data();
    void fullCacheFileSystem();
    void malformedInputs_data();
    void malformedInputs();
    void unsafeManifestPaths();
    void untrustedCache_data();
    void untrustedCache();
    void withoutRights_data();
    void withoutRights();
    void elevatedHandOver_data();
    void elevatedHandOver();
    void replacedWhileInUse_data();
    void replacedWhileInUse();

private:
    // a fresh installation holding the files, its applied manifest when asked for, a host
    // stand-in and a configuration that points at the server
    // (a short stall limit, for the stall rows)
    bool install(const Files &files, bool appliedManifest, const QString &cache = QString(),
                 int stallTimeoutMs = 3000);
    QString cacheDir() const;
    // every file of the sandbox that no run may write to, with its content
    QMap<QString, QByteArray> outside() const;
    // starts a console run and kills it with SIGKILL once due(elapsed ms) holds, or at once when
    // the server receives a request for killOnRequest; true when the kill hit a running updater.
    // closely: due is polled every 0.1 ms instead of every 2 ms
    bool runAndKill(const std::function<bool(qint64)> &due, bool closely,
        const QByteArray &killOnRequest, qint64 *killedAtMs);
    // how long an unkilled run of the kill scenario takes, measured once
    qint64 killRunLength();
    bool prepareKillRun(bool seedCache, bool otherFileSystem);
    bool mountSmallTmpfs(QString *reason);

    QTemporaryDir sandbox;
    QScopedPointer<TestServer> server;
    QScopedPointer<Installation> installation;
    QScopedPointer<QTemporaryDir> otherFileSystemCache;
    QString mountPoint; // non-empty while a tmpfs is mounted there
    qint64 runningPid = 0; // of the updater that runAndKill watches
    qint64 measuredRunMs = 0;
    // how long a run takes that fails at its first request; time limits count beyond it, so
    // that a slow build (sanitizers) or a busy machine does not fail them
    qint64 startupMs = 0;
};

namespace {
const QByteArray Descriptor = descriptorText("1", "v2", "2.0");
const QByteArray ManifestPath = "/v2//md5.txt";

// bytes that no two files share by accident and that do not compress to nothing
QByteArray pattern(int size, int seed)
{
    QVector<quint32> words((size + 3) / 4);
    QRandomGenerator(quint32(seed) + 1).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

// The reports of a console run, in order; empty when the output holds anything else than
// well-formed reports with exactly the three known members.
QList<QJsonObject> reportsOf(const QByteArray &output)
{
    QList<QJsonObject> reports;
    int depth = 0;
    int start = 0;
    bool inString = false;
    bool escaped = false;
    for (int i = 0; i < output.size(); ++i) {
        const char c = output.at(i);
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{') {
            if (depth++ == 0) {
                if (i != start)
                    return {}; // text between two reports
                start = i;
            }
        } else if (c == '}' && depth > 0 && --depth == 0) {
            QJsonParseError error;
            const QJsonDocument document
                = QJsonDocument::fromJson(output.mid(start, i - start + 1), &error);
            const QJsonObject report = document.object();
            if (error.error != QJsonParseError::NoError || report.size() != 3
                || !report.value("errormsg").isString() || !report.value("success").isBool()
                || !report.value("update").isBool())
                return {};
            reports.append(report);
            start = i + 1;
        } else if (depth == 0) {
            return {};
        }
    }
    return depth == 0 && start == output.size() ? reports : QList<QJsonObject>();
}

QString describe(const QList<QJsonObject> &reports, const QByteArray &output)
{
    return reports.isEmpty()
        ? QStringLiteral("malformed output: ") + QString::fromUtf8(output.left(300))
        : QString::fromUtf8(output.left(600));
}

// the installation as its users see it: every file by relative path, without the cache beside
// the updater, the host stand-in's record and, unless asked for, the set-aside ".old" copies
QMap<QString, QByteArray> installedFiles(const QString &root, bool withSetAside = false)
{
    QMap<QString, QByteArray> tree = snapshotTree(root);
    for (auto it = tree.begin(); it != tree.end();) {
        const QString &name = it.key();
        if (name.endsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("update/"))
            || name.startsWith(QLatin1String("host-args.txt"))
            || (!withSetAside && name.endsWith(QLatin1String(".old"))))
            it = tree.erase(it);
        else
            ++it;
    }
    return tree;
}

// what differs between two trees, one entry a line; empty when they are the same
QString treeDifference(
    const QMap<QString, QByteArray> &actual, const QMap<QString, QByteArray> &expected)
{
    QStringList lines;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            lines << QStringLiteral("missing ") + it.key();
        else if (actual.value(it.key()) != it.value())
            lines << QStringLiteral("differs %1 (%2 bytes, expected %3)")
                         .arg(it.key())
                         .arg(actual.value(it.key()).size())
                         .arg(it.value().size());
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines
                << QStringLiteral("unexpected %1 (%2 bytes)").arg(it.key()).arg(it.value().size());
    }
    return lines.join(QLatin1Char('\n'));
}

QMap<QString, QByteArray> overlaid(QMap<QString, QByteArray> tree, const Files &release)
{
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        tree.insert(it.key(), it.value());
    tree.insert(QStringLiteral("update_md5.info"), manifestText(release));
    return tree;
}

// a cache holds the saved descriptor and complete, verified files of the release, nothing else:
// no temporary download, no partial file
QString cacheProblems(const QString &cache, const Files &release)
{
    QStringList problems;
    const QMap<QString, QByteArray> tree = snapshotTree(cache);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        // the run log tells why a run failed
        if (it.key().endsWith(QLatin1Char('/')) || it.key() == QLatin1String("update.ini")
            || it.key() == QLatin1String("update.log"))
            continue;
        if (release.value(it.key()) != it.value() || !release.contains(it.key()))
            problems << QStringLiteral("%1 (%2 bytes)").arg(it.key()).arg(it.value().size());
    }
    return problems.join(QLatin1String(", "));
}

struct DirectoryLocks
{
    QStringList locked;
    bool lock(const QString &path)
    {
        if (!lockDirectory(path, true))
            return false;
        locked << path;
        return true;
    }
    ~DirectoryLocks()
    {
        for (const QString &path : qAsConst(locked))
            lockDirectory(path, false);
    }
};

// The release of the fault cases: app.bin downloads first, the large lib/a.dll second.
const Files FaultV1 {
    {"app.bin", "version 1"}, {"lib/a.dll", "a1"}, {"same.txt", "same"}, {"keep.txt", "kept"}};
Files faultV2()
{
    return {{"app.bin", pattern(40 * 1024, 1)}, {"lib/a.dll", pattern(300 * 1024, 2)},
        {"same.txt", "same"}, {"new/n.txt", "n2"}};
}

// The release of the kill cases: a slowly dripping file among many small ones, so that a run
// lasts long enough to be killed at many moments, downloading as well as installing. A run
// that only installs (the release already in the cache) gets more files: each one takes
// microseconds to install, and a kill needs a few milliseconds to follow what it watches for.
// Where the cache lies on another file system, installing a file is a copy, and a large file
// makes room for a kill in the middle of one.
const int DownloadedSmallFiles = 200;
const int InstalledSmallFiles = 600;
const int SlowFileSize = 384 * 1024;
const int CopiedFileSize = 64 * 1024 * 1024;
QString smallFile(int index)
{
    return QStringLiteral("files/f%1.bin").arg(index, 4, 10, QLatin1Char('0'));
}
Files killV1(int smallFiles)
{
    Files files {{"app.bin", "app 1"}, {"big.bin", "big 1"}, {"lib/a.dll", "a1"},
        {"same.txt", "same"}, {"keep.txt", "kept"}};
    for (int i = 0; i < smallFiles; ++i)
        files.insert(smallFile(i), "v1 " + QByteArray::number(i));
    return files;
}
Files killV2(int smallFiles, int bigSize = SlowFileSize)
{
    Files files {{"app.bin", pattern(20 * 1024, 10)}, {"big.bin", pattern(bigSize, 11)},
        {"lib/a.dll", "a2"}, {"new/deep/n.txt", "n2"}, {"same.txt", "same"}, {"z.bin", "last"}};
    for (int i = 0; i < smallFiles; ++i)
        files.insert(smallFile(i), pattern(2048, 100 + i));
    return files;
}
} // namespace

void tst_Faults::initTestCase()
{
    QVERIFY2(sandbox.isValid(), qPrintable(sandbox.errorString()));
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    // temporary installations and everything the updater keeps for itself land in the sandbox
    qputenv("TMPDIR", QFile::encodeName(sandbox.path()));
    const QDir dir(sandbox.path());
    for (const char *name : {"server", "updater-tmp", "updater-home", "mnt"})
        QVERIFY(dir.mkpath(QLatin1String(name)));
    QVERIFY(writeTree(sandbox.path(), {{"outside.txt", "nobody writes here"}}));
    // an endless body: a sparse file of a terabyte that costs no disk
    QFile endless(dir.filePath("server/endless.bin"));
    QVERIFY(endless.open(QIODevice::WriteOnly) && endless.resize(qint64(1) << 40));
    // a local file a hostile redirection could point at, with exactly the listed content
    QVERIFY(writeTree(dir.filePath("server"), {{"local-copy.dll", faultV2().value("lib/a.dll")}}));

    server.reset(new TestServer);
    QVERIFY(install({}, false));
    for (int i = 0; i < 2; ++i) {
        QElapsedTimer clock;
        clock.start();
        const Installation::Result result = installation->run({"console"});
        QVERIFY(result.finished && result.exitCode == 1);
        startupMs = i == 0 ? clock.elapsed() : qMin(startupMs, clock.elapsed());
    }
    installation.reset();
}

void tst_Faults::init()
{
    server.reset(new TestServer);
    QVERIFY(server->isListening());
    installation.reset();
}

void tst_Faults::cleanup()
{
    installation.reset();
    otherFileSystemCache.reset();
    if (!mountPoint.isEmpty()) {
        QCOMPARE(QProcess::execute(QStringLiteral("umount"), {mountPoint}), 0);
        mountPoint.clear();
    }
}

bool tst_Faults::install(const Files &files, bool appliedManifest, const QString &cache,
                         int stallTimeoutMs)
{
    installation.reset(new Installation);
    if (!installation->isValid()) {
        qWarning("%s", qPrintable(installation->errorString()));
        return false;
    }
    const QDir dir(sandbox.path());
    installation->environment.insert("TMPDIR", dir.filePath("updater-tmp"));
    installation->environment.insert("HOME", dir.filePath("updater-home"));
    installation->environment.insert("XDG_CACHE_HOME", dir.filePath("updater-home"));
    installation->environment.insert("XDG_CONFIG_HOME", dir.filePath("updater-home"));
    if (!writeTree(installation->root(), files))
        return false;
    if (appliedManifest)
        installation->writeFile("update_md5.info", manifestText(files));
    installation->installHost();
    QMap<QString, QString> config {
        {"URL", server->baseUrl() + QLatin1Char('/')}, {"ExeName", "host.sh"},
        // short, for the stall rows; under Wine on a loaded machine a healthy transfer went
        // a whole second without a byte
        {"StallTimeout", QString::number(stallTimeoutMs)}};
    if (!cache.isEmpty())
        config.insert("Cache", cache);
    installation->writeConfig(config);
    return true;
}

QString tst_Faults::cacheDir() const
{
    if (otherFileSystemCache)
        return otherFileSystemCache->path();
    return mountPoint.isEmpty() ? installation->path("update") : mountPoint;
}

QMap<QString, QByteArray> tst_Faults::outside() const
{
    const QStringList own {"server", "updater-tmp", "updater-home", "mnt",
        installation ? QFileInfo(installation->root()).fileName() : QString()};
    QMap<QString, QByteArray> tree;
    const QFileInfoList entries
        = QDir(sandbox.path())
              .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (own.contains(entry.fileName()))
            continue;
        if (!entry.isDir()) {
            QFile file(entry.filePath());
            tree.insert(
                entry.fileName(), file.open(QIODevice::ReadOnly) ? file.readAll() : "<unreadable>");
            continue;
        }
        tree.insert(entry.fileName() + QLatin1Char('/'), QByteArray());
        const QMap<QString, QByteArray> inner = snapshotTree(entry.filePath());
        for (auto it = inner.cbegin(); it != inner.cend(); ++it)
            tree.insert(entry.fileName() + QLatin1Char('/') + it.key(), it.value());
    }
    return tree;
}

// Each row breaks one answer of the server; the run must end in time with a message that names
// the problem, leave the installation as it was and the cache without partial files, and a run
// against the repaired server must then install the release.
void tst_Faults::serverFaults_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<TestServer::Response>("fault");
    QTest::addColumn<QString>("message"); // how the failure report's text starts
    QTest::addColumn<bool>("fromWorker"); // the failure follows the "update" report
    QTest::addColumn<int>("limitMs");

    const Files v2 = faultV2();
    const QByteArray dll = "/v2/lib/a.dll";
    const QByteArray descriptor = "/update.ini";
    const QString wrongSize = QStringLiteral("下载更新文件a.dll大小不对");
    const QString timedOut = QStringLiteral("下载更新文件a.dll网络错误：0-网络超时");
    const QString looped = QStringLiteral("下载更新文件a.dll网络错误：30");
    const QString noDescriptor = QStringLiteral("下载升级描述文件失败:");
    const QString noManifest = QStringLiteral("下载更新列表文件失败:");
    const QDir files(QDir(sandbox.path()).filePath("server"));
    TestServer::Response response;

    response = {};
    response.body = v2.value("lib/a.dll");
    response.closeAfterBytes = response.body.size() / 2;
    // a connection that ends half-way through a file fails on the size
    QTest::newRow("closed-mid-file") << dll << response << wrongSize << true << 10000;
    response.closeAfterBytes = 0;
    // ... and so does one that ends before the first byte
    QTest::newRow("closed-before-body") << dll << response << wrongSize << true << 10000;

    response = {};
    response.bodyFile = files.filePath("endless.bin");
    // a terabyte where a few hundred kilobytes are listed is cut off at the listed size
    QTest::newRow("more-than-listed") << dll << response << wrongSize << true << 10000;
    response.contentLength = false;
    // ... also when no length announces it
    QTest::newRow("more-than-listed-no-length") << dll << response << wrongSize << true << 10000;

    response = {};
    response.body = v2.value("lib/a.dll");
    response.stallAfterBytes = response.body.size() / 2;
    // silence half-way through a file ends at the stall limit (3 s here)
    QTest::newRow("stalled-mid-file") << dll << response << timedOut << true << 8000;
    response.stallAfterBytes = 0;
    // ... and silence before the first byte too
    QTest::newRow("stalled-before-body") << dll << response << timedOut << true << 8000;
    response.body = Descriptor;
    // a silent descriptor ends at its fetch's limit of 5 s
    QTest::newRow("descriptor-stalled")
        << descriptor << response << noDescriptor + QStringLiteral("网络超时") << false << 12000;

    response = {};
    response.status = 302;
    response.headers = {{"Location", dll}};
    // a file redirected to itself ends after a bounded number of hops
    QTest::newRow("file-redirect-loop") << dll << response << looped << true << 10000;
    response.headers = {{"Location", "/loop"}};
    // ... as does one redirected elsewhere and back
    QTest::newRow("file-redirect-cycle") << dll << response << looped << true << 10000;
    response.headers
        = {{"Location", QUrl::fromLocalFile(files.filePath("local-copy.dll")).toEncoded()}};
    // a redirection to a local file, even one with the listed content, is no download
    QTest::newRow("file-redirect-to-local-file")
        << dll << response << QStringLiteral("下载更新文件a.dll网络错误：") << true << 10000;
    response.headers = {{"Location", dll}};
    response.bodyFile = files.filePath("endless.bin");
    response.contentLength = false;
    // a redirection whose own body never ends does not hold the run
    QTest::newRow("file-redirect-endless-body") << dll << response << looped << true << 3000;
    response.bodyFile.clear();
    response.contentLength = true;
    response.headers = {{"Location", descriptor}};
    // the descriptor's and the manifest's fetches follow no redirection at all
    QTest::newRow("descriptor-redirect-loop")
        << descriptor << response << noDescriptor << false << 10000;
    response.headers = {{"Location", ManifestPath}};
    QTest::newRow("manifest-redirect-loop")
        << ManifestPath << response << noManifest << false << 10000;

    response = {};
    response.body = manifestText(v2);
    response.closeAfterBytes = response.body.size() / 2;
    // a manifest cut short is a failed fetch, never a shorter release
    QTest::newRow("manifest-closed-mid-body")
        << ManifestPath << response << noManifest << false << 10000;
}

void tst_Faults::serverFaults()
{
    QFETCH(QByteArray, target);
    QFETCH(TestServer::Response, fault);
    QFETCH(QString, message);
    QFETCH(bool, fromWorker);
    QFETCH(int, limitMs);

    const Files v2 = faultV2();
    QVERIFY(install(FaultV1, false));
    server->setFile("/update.ini", Descriptor);
    serveRelease(*server, "/v2/", v2);
    server->setRedirect("/loop", 301, "/v2/lib/a.dll");
    server->setResponse(target, fault);
    const QMap<QString, QByteArray> before = installedFiles(installation->root(), true);

    QElapsedTimer clock;
    clock.start();
    limitMs += int(startupMs);
#ifdef Q_OS_WIN
    // Wine starts processes and moves bytes several times slower, and more so on a busy machine;
    // what the limit catches is a run that does not end
    limitMs *= 3;
#endif
    const Installation::Result result = installation->run({"console"}, limitMs + 2000);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(result.finished, "the run was cut off or crashed");
    QVERIFY2(elapsed < limitMs, qPrintable(QStringLiteral("the run took %1 ms").arg(elapsed)));
    if (result.exitCode == 0) // a forced update went through: the host runs before the tree goes
        installation->waitForHost();
    QCOMPARE(result.exitCode, 1);
    const QList<QJsonObject> reports = reportsOf(result.standardOutput);
    QVERIFY2(reports.size() == (fromWorker ? 2 : 1),
        qPrintable(describe(reports, result.standardOutput)));
    if (fromWorker) {
        QVERIFY(reports.first().value("success").toBool());
        QVERIFY(reports.first().value("update").toBool());
    }
    const QJsonObject failure = reports.last();
    QVERIFY(!failure.value("success").toBool());
    QVERIFY(!failure.value("update").toBool());
    const QString text = failure.value("errormsg").toString();
    QVERIFY2(text.startsWith(message), qPrintable(text));
    if (message.endsWith(QLatin1Char(':'))) // the reason follows
        QVERIFY2(text.size() > message.size(), qPrintable(text));

    const QString changes = treeDifference(installedFiles(installation->root(), true), before);
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
    const QString leftovers = cacheProblems(cacheDir(), v2);
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers));
    // the file before the broken one, when it arrived before the failure (files are fetched
    // several at once), waits verified for the next run
    if (fromWorker && installation->exists("update/app.bin"))
        QCOMPARE(installation->readFile("update/app.bin"), v2.value("app.bin"));

    // the server mended, the next run installs the release
    server->setFile("/update.ini", Descriptor);
    serveRelease(*server, "/v2/", v2);
    const Installation::Result next = installation->run({"console"});
    QVERIFY(next.finished);
    QCOMPARE(next.exitCode, 0);
    QCOMPARE(
        next.standardOutput, QByteArray("{\"errormsg\":\"\",\"success\":true,\"update\":true}"));
    QVERIFY(!installation->waitForHost().isEmpty()); // a forced update starts the host again
    QMap<QString, QByteArray> expected = before;
    for (auto it = expected.begin(); it != expected.end();) // only the installed .old copies count
        it = it.key().endsWith(".old") ? expected.erase(it) : std::next(it);
    const QString wrong
        = treeDifference(installedFiles(installation->root()), overlaid(expected, v2));
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

// A failure after some files were cached: the next run fetches only what is still missing.
void tst_Faults::onlyMissingFilesFetchedAgain_data()
{
    QTest::addColumn<TestServer::Response>("fault");

    TestServer::Response response;
    response.status = 404;
    // the second file is missing on the server
    QTest::newRow("second-not-found") << response;
    response = {};
    response.body = pattern(100 * 1024, 20);
    response.closeAfterBytes = 50 * 1024;
    // the second file's transfer breaks off
    QTest::newRow("second-closed-mid-file") << response;
    response.closeAfterBytes = -1;
    response.body[10] = 'x';
    // the second file arrives with other bytes than listed
    QTest::newRow("second-wrong-digest") << response;
}

void tst_Faults::onlyMissingFilesFetchedAgain()
{
    QFETCH(TestServer::Response, fault);

    const Files v2 {
        {"a.bin", pattern(100 * 1024, 21)}, {"b.bin", pattern(100 * 1024, 20)}, {"c.bin", "c2"}};
    QVERIFY(install({{"a.bin", "a1"}, {"b.bin", "b1"}}, true));
    server->setFile("/update.ini", Descriptor);
    serveRelease(*server, "/v2/", v2);
    server->setResponse("/v2/b.bin", fault);

    const Installation::Result failed = installation->run({"console"});
    QCOMPARE(failed.exitCode, 1);
    // the updater may end before this process has read every request it sent at once, and a
    // transfer still connecting when the other failed is never sent at all
    QTRY_VERIFY(server->requestedPaths().contains("/v2/b.bin"));
    QCOMPARE(installation->readFile("a.bin"), QByteArray("a1"));
    // the files verified before the failure (several are fetched at once) stay in the cache
    QList<QByteArray> expected {"/update.ini", ManifestPath};
    for (auto it = v2.cbegin(); it != v2.cend(); ++it) {
        QFile cached(QDir(cacheDir()).filePath(it.key()));
        if (!cached.open(QIODevice::ReadOnly) || cached.readAll() != it.value())
            expected.append("/v2/" + it.key().toUtf8());
    }
    QVERIFY(expected.contains("/v2/b.bin"));

    serveRelease(*server, "/v2/", v2);
    server->clearLog();
    const Installation::Result next = installation->run({"console"});
    QCOMPARE(next.exitCode, 0);
    QVERIFY(!installation->waitForHost().isEmpty());
    QList<QByteArray> secondRun = server->requestedPaths();
    QVERIFY(secondRun.size() >= 2);
    std::sort(secondRun.begin() + 2, secondRun.end());
    QCOMPARE(secondRun, expected);
    for (auto it = v2.cbegin(); it != v2.cend(); ++it)
        QCOMPARE(installation->readFile(it.key()), it.value());
}

bool tst_Faults::prepareKillRun(bool seedCache, bool otherFileSystem)
{
    otherFileSystemCache.reset();
    QString cache;
    if (otherFileSystem) {
        // a cache on another file system: installing is a copy, not a rename
        otherFileSystemCache.reset(new QTemporaryDir(QStringLiteral("/dev/shm/tst_faults-XXXXXX")));
        if (!otherFileSystemCache->isValid())
            return false;
        cache = otherFileSystemCache->path();
    }
    const int smallFiles = seedCache ? InstalledSmallFiles : DownloadedSmallFiles;
    // no stall is among the kill rows: a loaded machine under Wine once left a healthy
    // transfer 3 s without a byte, and the run failed before its moment
    if (!install(killV1(smallFiles), true, cache, 60000))
        return false;
    const Files v2 = killV2(smallFiles, otherFileSystem ? CopiedFileSize : SlowFileSize);
    server->setFile("/update.ini", Descriptor);
    serveRelease(*server, "/v2/", v2);
    if (!otherFileSystem) {
        TestServer::Response slow;
        slow.body = v2.value("big.bin");
        slow.chunkSize = 16 * 1024;
        slow.chunkIntervalMs = 10;
        server->setResponse("/v2/big.bin", slow);
    }
    return !seedCache || writeTree(cacheDir(), v2);
}

bool tst_Faults::runAndKill(const std::function<bool(qint64)> &due, bool closely,
    const QByteArray &killOnRequest, qint64 *killedAtMs)
{
    QScopedPointer<QProcess> process(installation->start({"console"}));
    if (!process->waitForStarted(10000))
        return false;
    runningPid = process->processId();
    QElapsedTimer clock;
    clock.start();
    bool sent = false;
    // killed before the server answers a single byte of the request
    QMetaObject::Connection onRequest
        = connect(server.data(), &TestServer::requestReceived, this, [&](const QByteArray &path) {
              if (!sent && path == killOnRequest) {
                  process->kill(); // SIGKILL, or TerminateProcess on Windows
                  sent = true;
                  *killedAtMs = clock.elapsed();
              }
          });
    // a step of the installation takes microseconds: there the test looks closely, but without
    // taking a processor away from the updater
    // (well within the test function's own limit, so that a run that hangs says where)
    while (!sent && process->state() != QProcess::NotRunning && clock.elapsed() < 120000) {
        if (due && due(clock.elapsed())) {
            process->kill();
            sent = true;
            *killedAtMs = clock.elapsed();
            break;
        }
        if (closely) {
            QCoreApplication::processEvents();
            QThread::usleep(100);
        } else {
            QTest::qWait(2);
        }
    }
    disconnect(onRequest);
    if (!sent && process->state() != QProcess::NotRunning)
        qWarning("the run neither ended nor reached its moment in %lld ms; requests: %s; "
                 "output: %s",
                 clock.elapsed(), server->requestedPaths().join(' ').constData(),
                 QByteArray(process->readAllStandardOutput() + process->readAllStandardError())
                         .constData());
    if (process->state() != QProcess::NotRunning && !process->waitForFinished(30000)) {
        process->kill();
        process->waitForFinished(5000);
        return false;
    }
    return sent && process->exitStatus() == QProcess::CrashExit;
}

qint64 tst_Faults::killRunLength()
{
    if (measuredRunMs > 0)
        return measuredRunMs;
    if (!prepareKillRun(false, false))
        return 0;
    const QMap<QString, QByteArray> expected
        = overlaid(installedFiles(installation->root()), killV2(DownloadedSmallFiles));
    QScopedPointer<QProcess> process(installation->start({"console"}));
    if (!process->waitForStarted(10000))
        return 0;
    QElapsedTimer clock;
    clock.start();
    const Installation::Result result = Installation::wait(process.data());
    const qint64 length = clock.elapsed();
    if (!result.finished || result.exitCode != 0 || installation->waitForHost().isEmpty())
        return 0;
    if (!treeDifference(installedFiles(installation->root()), expected).isEmpty())
        return 0;
    measuredRunMs = length;
    server->clearLog();
    return measuredRunMs;
}

// The updater is killed with SIGKILL at one moment of a run (while it waits for an answer, after
// so many bytes of the slow file, once a given file was set aside during installation, once the
// applied manifest is being written, or at a fraction of a measured run); the next, unkilled run
// must leave every file of the new release in place and nothing else changed.
void tst_Faults::killedAtAnyMoment_data()
{
    // request, cached-bytes, set-aside, applied-manifest or percent
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<QString>("argument");
    // the release already downloaded: the run is all installation
    QTest::addColumn<bool>("seedCache");
    QTest::addColumn<bool>("otherFileSystem");
    const auto row = [](const char *name, const QString &trigger, const QString &argument,
                         bool seedCache = false, bool otherFileSystem = false) {
        QTest::newRow(name) << trigger << argument << seedCache << otherFileSystem;
    };

    // while it waits for an answer: each request is killed before a byte of its answer leaves
    row("descriptor-requested", "request", "/update.ini");
    row("manifest-requested", "request", QString::fromLatin1(ManifestPath));
    row("first-file-requested", "request", "/v2/app.bin");
    row("last-file-requested", "request", "/v2/z.bin");
    // in the middle of a file, once so many of its bytes were written to the cache
    row("slow-file-64k-cached", "cached-bytes", "65536");
    row("slow-file-320k-cached", "cached-bytes", "327680");
    // during installation, once the given file was set aside as .old
    row("first-set-aside", "set-aside", "app.bin", true);
    row("set-aside-small-150", "set-aside", smallFile(150), true);
    row("set-aside-small-300", "set-aside", smallFile(300), true);
    row("set-aside-last-small", "set-aside", smallFile(InstalledSmallFiles - 1), true);
    // while the applied manifest is being written, after the last file
    row("applied-manifest-written", "applied-manifest", QString(), true);
    // during installation by copying, in the middle of a 64 MiB copy
    row("other-fs-set-aside-slow-file", "set-aside", "big.bin", true, true);
    // at fractions of the length of an unkilled run, measured first
    for (int percent = 8; percent < 100; percent += 16) {
        const QByteArray name = "at-" + QByteArray::number(percent) + "-percent";
        row(name.constData(), "percent", QString::number(percent));
    }
}

void tst_Faults::killedAtAnyMoment()
{
    QFETCH(QString, trigger);
    QFETCH(QString, argument);
    QFETCH(bool, seedCache);
    QFETCH(bool, otherFileSystem);

    qint64 runLength = 0;
    if (trigger == QLatin1String("percent")) {
        runLength = killRunLength();
        QVERIFY2(runLength > 0, "the unkilled run failed");
    }
#ifdef Q_OS_WIN
    // Wine maps every drive into one Unix tree: there is no second volume to copy across
    if (otherFileSystem)
        QSKIP("no second volume under Wine to put the cache on");
    if (trigger == QLatin1String("cached-bytes"))
        QSKIP("the cached bytes are found among the updater's open files in /proc");
#endif
    if (otherFileSystem && !QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        QSKIP("no /dev/shm to put the cache on another file system");
    QVERIFY(prepareKillRun(seedCache, otherFileSystem));
    const int smallFiles = seedCache ? InstalledSmallFiles : DownloadedSmallFiles;
    const Files v2 = killV2(smallFiles, otherFileSystem ? CopiedFileSize : SlowFileSize);
    const QMap<QString, QByteArray> expected = overlaid(installedFiles(installation->root()), v2);

    const QDir root(installation->root());
    const QDir cache(cacheDir());
    const QString appliedManifest = root.filePath("update_md5.info");
    const QDateTime manifestTime = QFileInfo(appliedManifest).lastModified();
    std::function<bool(qint64)> due;
    QByteArray request;
    if (trigger == QLatin1String("request")) {
        request = argument.toUtf8();
    } else if (trigger == QLatin1String("cached-bytes")) {
        const qint64 bytes = argument.toLongLong();
        const QString cachePath = cache.absolutePath() + QLatin1Char('/');
        due = [this, cachePath, bytes](qint64) {
            // the slow file streams into a temporary file that may have no name (O_TMPFILE):
            // it is found among the updater's open files
            const QFileInfoList open = QDir(QStringLiteral("/proc/%1/fd").arg(runningPid))
                                           .entryInfoList(QDir::AllEntries | QDir::System);
            for (const QFileInfo &descriptor : open) {
                if (descriptor.symLinkTarget().startsWith(cachePath) && descriptor.size() >= bytes)
                    return true;
            }
            return false;
        };
    } else if (trigger == QLatin1String("set-aside")) {
        const QString setAside = root.filePath(argument + ".old");
        due = [setAside](qint64) { return QFileInfo::exists(setAside); };
    } else if (trigger == QLatin1String("applied-manifest")) {
        due = [appliedManifest, manifestTime](
                  qint64) { return QFileInfo(appliedManifest).lastModified() != manifestTime; };
    } else {
        const qint64 at = runLength * argument.toInt() / 100;
        due = [at](qint64 elapsed) { return elapsed >= at; };
    }

    qint64 killedAt = -1;
    const bool closely
        = trigger == QLatin1String("set-aside") || trigger == QLatin1String("applied-manifest");
    const bool killed = runAndKill(due, closely, request, &killedAt);
    // where the kill left the installation
    const QMap<QString, QByteArray> atKill = installedFiles(installation->root());
    int inPlace = 0;
    QString firstMissing = QStringLiteral("none");
    for (auto it = v2.cbegin(); it != v2.cend(); ++it) {
        if (atKill.value(it.key()) == it.value())
            ++inPlace;
        else if (firstMissing == QLatin1String("none"))
            firstMissing = QStringLiteral("%1 with %2 bytes")
                               .arg(it.key())
                               .arg(atKill.value(it.key()).size());
    }
    const QByteArray record = atKill.value("update_md5.info");
    const bool complete = record == manifestText(v2);
    const bool oldRecord = record == manifestText(killV1(smallFiles));
    qInfo("%s after %lld ms: %d of %d files of the release in place (first not: %s), applied "
          "manifest %s",
        killed ? "killed" : "not killed (the run had ended)", killedAt, inPlace, int(v2.size()),
        qPrintable(firstMissing),
        complete        ? "written"
            : oldRecord ? "of the old version"
                        : "cut short");
    if (trigger != QLatin1String("percent"))
        QVERIFY2(killed, "the updater ended before the moment it was to be killed at");
    if (trigger == QLatin1String("set-aside") && argument <= smallFile(InstalledSmallFiles / 4)) {
        // the kill hit the installation half-way (later ones may come too late to show it)
        QVERIFY(!complete);
        QVERIFY(inPlace < v2.size());
    }

    const Installation::Result next = installation->run({"console"});
    QVERIFY(next.finished);
    const QList<QJsonObject> reports = reportsOf(next.standardOutput);
    QVERIFY2(reports.size() == 1, qPrintable(describe(reports, next.standardOutput)));
    QVERIFY(reports.first().value("success").toBool());
    // Nothing is left to do once every file is in place, unless the old applied manifest still
    // says otherwise; a manifest cut short is trusted only for its whole lines.
    const bool update = inPlace < v2.size() || oldRecord;
    QCOMPARE(reports.first().value("update").toBool(), update);
    QCOMPARE(next.exitCode, update ? 0 : 1);
    if (update)
        QVERIFY(!installation->waitForHost().isEmpty());
    const QString wrong = treeDifference(installedFiles(installation->root()), expected);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

// The installation cannot be changed: the run fails with the name of what it could not move,
// undoes what it had installed and keeps the verified files in the cache; once the directory
// is writable again the next run installs them without downloading anything.
void tst_Faults::readOnlyInstallation_data()
{
    QTest::addColumn<QStringList>("locked");
    QTest::addColumn<QString>("failing");

    // a/first.txt installs before app.bin cannot be set aside, and is undone
    QTest::newRow("root-locked") << QStringList {""} << "app.bin";
    // the first file already cannot be set aside
    QTest::newRow("every-directory-locked") << QStringList {"", "a"} << "a/first.txt";
}

void tst_Faults::readOnlyInstallation()
{
    QFETCH(QStringList, locked);
    QFETCH(QString, failing);

    const Files v2 {
        {"a/first.txt", "first 2"}, {"app.bin", pattern(10000, 30)}, {"new/n.txt", "n2"}};
    QVERIFY(
        install({{"a/first.txt", "first 1"}, {"app.bin", "app 1"}, {"keep.txt", "kept"}}, true));
    QVERIFY(QDir().mkpath(installation->path("update")));
    server->setFile("/update.ini", Descriptor);
    serveRelease(*server, "/v2/", v2);
    const QMap<QString, QByteArray> before = installedFiles(installation->root(), true);

    {
        DirectoryLocks locks;
        for (const QString &dir : qAsConst(locked)) {
            if (!locks.lock(installation->path(dir)))
                QSKIP(
                    "this file system lets root change any directory and cannot mark it immutable");
        }
        const Installation::Result result = installation->run({"console"});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 1);
        const QList<QJsonObject> reports = reportsOf(result.standardOutput);
        QVERIFY2(reports.size() == 2, qPrintable(describe(reports, result.standardOutput)));
        const QString path = QDir(installation->root()).filePath(failing);
        QCOMPARE(reports.last().value("errormsg").toString(),
            QStringLiteral("重命名%1为%2失败").arg(path, path + ".old"));
    }
    const QString changes = treeDifference(installedFiles(installation->root(), true), before);
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
    for (auto it = v2.cbegin(); it != v2.cend(); ++it)
        QCOMPARE(installation->readFile("update/" + it.key()), it.value());

    server->clearLog();
    const Installation::Result next = installation->run({"console"});
    QCOMPARE(next.exitCode, 0);
    QVERIFY(!installation->waitForHost().isEmpty());
    QCOMPARE(server->requestedPaths(), (QList<QByteArray> {"/update.ini", ManifestPath}));
    const QString wrong
        = treeDifference(installedFiles(installation->root()), overlaid(before, v2));
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

bool tst_Faults::mountSmallTmpfs(QString *reason)
{
#ifndef Q_OS_LINUX
    *reason = QStringLiteral("a small file system is mounted with Linux's tmpfs");
    return false;
#else
    if (::geteuid() != 0) {
        *reason = QStringLiteral("mounting a small file system needs root");
        return false;
    }
    QTemporaryDir *point = new QTemporaryDir(QDir(sandbox.path()).filePath("mnt/cache-XXXXXX"));
    point->setAutoRemove(false); // removed with the sandbox, after the unmount
    const QString path = point->path();
    delete point;
    QProcess mount;
    // private to root, as a cache must be (a tmpfs is writable by everyone otherwise)
    mount.start(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=1m,mode=0700", "tmpfs", path});
    if (!mount.waitForFinished(10000) || mount.exitStatus() != QProcess::NormalExit
        || mount.exitCode() != 0) {
        *reason = QStringLiteral("cannot mount a tmpfs: ")
            + QString::fromLocal8Bit(mount.readAllStandardError()).trimmed() + mount.errorString();
        return false;
    }
    mountPoint = path;
    return true;
#endif
}

// The cache lies on a file system too small for the release: the run fails with a write
// failure, the installation stays as it was and no partial file is left behind.
void tst_Faults::fullCacheFileSystem_data()
{
    QTest::addColumn<bool>("fillFirst");
    // a 2 MiB file on a 1 MiB file system fails as a write failure
    QTest::newRow("file-bigger-than-cache") << false;
    // a full file system fails on the descriptor already
    QTest::newRow("cache-already-full") << true;
}

void tst_Faults::fullCacheFileSystem()
{
    QFETCH(bool, fillFirst);

    QString reason;
    if (!mountSmallTmpfs(&reason))
        QSKIP(qPrintable(reason));
    const Files v2 {{"app.bin", pattern(1000, 40)}, {"big.bin", pattern(2 * 1024 * 1024, 41)}};
    QVERIFY(install({{"app.bin", "app 1"}, {"keep.txt", "kept"}}, true, mountPoint));
    server->setFile("/update.ini", Descriptor);
    serveRelease(*server, "/v2/", v2);
    if (fillFirst) {
        QFile filler(QDir(mountPoint).filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) { }
    }
    const QMap<QString, QByteArray> before = installedFiles(installation->root(), true);

    const Installation::Result result = installation->run({"console"});
    QVERIFY2(result.finished, "the run was cut off or crashed");
    QCOMPARE(result.exitCode, 1);
    const QList<QJsonObject> reports = reportsOf(result.standardOutput);
    QVERIFY2(!reports.isEmpty(), qPrintable(describe(reports, result.standardOutput)));
    QVERIFY(!reports.last().value("success").toBool());
    const QString text = reports.last().value("errormsg").toString();
    if (fillFirst) {
        // a descriptor that could not be saved is not read back blank: that would be a forced
        // update from the default folder "Base"
        QVERIFY2(text.contains(QDir(mountPoint).filePath("update.ini")), qPrintable(text));
        QVERIFY(!server->requestedPaths().contains("/Base//md5.txt"));
    } else {
        // the files are fetched side by side: whichever writes once the space is gone fails
        QVERIFY2(QRegularExpression(QStringLiteral("^更新文件(app|big)\\.bin写入失败$")).match(text).hasMatch(),
                 qPrintable(text));
    }
    const QString changes = treeDifference(installedFiles(installation->root(), true), before);
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
    QFile::remove(QDir(mountPoint).filePath("filler"));
    const QString leftovers = cacheProblems(mountPoint, v2);
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers));
}

// Garbage, huge and empty configuration, descriptor and manifest: the run ends soon with a
// report and exit code 1, and writes nowhere outside its installation.
void tst_Faults::malformedInputs_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("success"); // of the last report
    QTest::addColumn<QString>("message"); // how its text starts
    const auto row
        = [](const QString &file, const QString &kind, bool success, const QString &message) {
              QTest::newRow(qPrintable(file + QLatin1Char('-') + kind))
                  << file << kind << success << message;
          };

    const QString badUrl = QStringLiteral("升级地址不合法:");
    // a descriptor without values means a forced update from the folder "Base", not served here
    const QString noManifest = QStringLiteral("下载更新列表文件失败:");
    // each file garbled, 20 MiB of random bytes and empty; a descriptor is three keys, and one
    // of more than 64 KiB is not even held whole
    const QString tooLarge = QStringLiteral("下载升级描述文件失败:数据量超过限制");
    for (const char *kind : {"garbage", "huge", "empty"}) {
        row("system.cfg", kind, false, badUrl);
        row("update.ini", kind, false, qstrcmp(kind, "huge") == 0 ? tooLarge : noManifest);
    }
    row("update.ini", "at-cap", false, noManifest);
    row("update.ini", "over-cap", false, tooLarge);
    // not one usable line: nothing to update
    row("md5.txt", "garbage", true, QString());
    row("md5.txt", "empty", true, QString());
    // more lines than any release lists (each a valid entry): refused before it is parsed
    row("md5.txt", "many-lines", false, QStringLiteral("更新列表文件条目过多:500001行"));
    // thousands of lines that parse, with random names the server does not have; on Windows
    // some of them differ only in letter case, which is refused before any download
#ifdef Q_OS_WIN
    row("md5.txt", "huge", false, QStringLiteral("更新文件"));
#else
    row("md5.txt", "huge", false, QStringLiteral("下载更新文件"));
#endif
}

void tst_Faults::malformedInputs()
{
    QFETCH(QString, file);
    QFETCH(QString, kind);
    QFETCH(bool, success);
    QFETCH(QString, message);

    QByteArray content;
    if (kind == QLatin1String("garbage")) {
        // what a captive portal or a broken proxy answers, and some binary noise
        content = "<html><head><title>502 Bad Gateway</title></head>\r\n<body>[Update]\r\n"
                  "URL\r\n=\r\n[[Version]\r\nFolder = ..\\..\r\n</body></html>\r\n";
        content += QByteArray("\x00\x01\xfe\xff\t\t\r\n\t\n", 10) + pattern(512, 50);
    } else if (kind == QLatin1String("huge")) {
        content = pattern(20 * 1024 * 1024, 51);
    } else if (kind.endsWith(QLatin1String("-cap"))) {
        // no values either: read as blank, when it is read
        while (content.size() < 64 * 1024)
            content += "; padding\n";
        content.resize(64 * 1024 + (kind == QLatin1String("over-cap") ? 1 : 0));
    } else if (kind == QLatin1String("many-lines")) {
        // reserved at once: a string builder's += grows the array by exactly what it adds
        content.reserve(500001 * 9);
        for (int i = 0; i <= 500000; ++i)
            content += "d\t0\t" + QByteArray::number(i, 36) + '\n';
    }
    const Files v2 {{"app.bin", "app 2"}, {"lib/a.dll", "a2"}};
    QVERIFY(install({{"app.bin", "app 1"}, {"lib/a.dll", "a1"}}, true));
    server->setFile("/update.ini", Descriptor);
    serveRelease(*server, "/v2/", v2);
    if (file == QLatin1String("system.cfg"))
        installation->writeFile("system.cfg", content);
    else
        server->setFile(
            file == QLatin1String("md5.txt") ? ManifestPath : QByteArray("/update.ini"), content);
    const QMap<QString, QByteArray> outsideBefore = outside();
    QMap<QString, QByteArray> before = installedFiles(installation->root(), true);

    QElapsedTimer clock;
    clock.start();
    const Installation::Result result = installation->run({"console"}, 30000 + int(startupMs));
    QVERIFY2(result.finished, "the run was cut off or crashed");
    QVERIFY2(clock.elapsed() < 20000 + startupMs,
        qPrintable(QStringLiteral("the run took %1 ms").arg(clock.elapsed())));
    QCOMPARE(result.exitCode, 1);
    const QList<QJsonObject> reports = reportsOf(result.standardOutput);
    QVERIFY2(!reports.isEmpty() && reports.size() <= 2,
        qPrintable(describe(reports, result.standardOutput)));
    const QJsonObject last = reports.last();
    QCOMPARE(last.value("success").toBool(), success);
    const QString text = last.value("errormsg").toString();
    QVERIFY2(text.startsWith(message), qPrintable(text));
    if (success)
        QVERIFY(!last.value("update").toBool());
    if (file == QLatin1String("update.ini")) // read as blank (the default folder), or not at all
        QCOMPARE(server->requestedPaths().contains("/Base//md5.txt"),
            message.startsWith(QStringLiteral("下载更新列表文件失败")));

    QVERIFY(outside() == outsideBefore);
    // the installed files are untouched; only the applied manifest may follow an empty release
    QMap<QString, QByteArray> after = installedFiles(installation->root(), true);
    if (success)
        after.insert("update_md5.info", before.value("update_md5.info"));
    const QString changes = treeDifference(after, before);
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
}

// A manifest whose every line names an unsafe path (parent steps, a drive, a network share, a
// directory): nothing is requested or written anywhere, and there is nothing to update.
void tst_Faults::unsafeManifestPaths()
{
    const QString tag = QFileInfo(sandbox.path()).fileName();
    const QStringList paths {"../escape-" + tag + ".txt", "a/../../escape-" + tag + "-2.txt",
        "..\\escape-" + tag + "-3.txt", "//tmp/escape-" + tag + "-5.txt", "C:/escape.txt",
        "C:escape.txt", "update/../../escape-" + tag + "-6.txt", "./escape.txt", "lib/"};
    QByteArray manifest;
    for (const QString &path : paths)
        manifest += manifestLine({path, 5, digestText("evil!")}) + "\r\n";
    QVERIFY(install({{"app.bin", "app 1"}}, false));
    server->setFile("/update.ini", Descriptor);
    server->setFile(ManifestPath, manifest);
    server->setDefaultResponse([] {
        TestServer::Response evil;
        evil.body = "evil!";
        return evil;
    }());
    const QMap<QString, QByteArray> outsideBefore = outside();

    const Installation::Result result = installation->run({"console"});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(
        result.standardOutput, QByteArray("{\"errormsg\":\"\",\"success\":true,\"update\":false}"));
    QCOMPARE(server->requestedPaths(), (QList<QByteArray> {"/update.ini", ManifestPath}));
    QVERIFY(outside() == outsideBefore);
    const QDir above = QFileInfo(sandbox.path()).absoluteDir();
    for (const QString &name :
        QStringList {"/tmp/escape-" + tag + "-5.txt", above.filePath("escape-" + tag + "-6.txt")})
        QVERIFY2(!QFileInfo::exists(name), qPrintable(name));
    QMap<QString, QByteArray> installed = installedFiles(installation->root(), true);
    installed.remove("update_md5.info");
    installed.remove("system.cfg");
    installed.remove(QFileInfo(installation->updaterPath()).fileName());
    installed.remove("host.sh");
    QCOMPARE(installed, (QMap<QString, QByteArray> {{"app.bin", "app 1"}}));
}

// A cache directory that someone else could change is not used: the run fails before the
// descriptor is saved there, and nothing is downloaded or installed.
void tst_Faults::untrustedCache_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("reason");
    QTest::newRow("other-owner") << "other-owner" << QStringLiteral("属于其他用户");
    QTest::newRow("others-may-write") << "others-may-write" << QStringLiteral("其他用户可写入");
    // a link made by anyone who may write the working directory could lead anywhere
    QTest::newRow("link") << "link" << QStringLiteral("是指向别处的链接");
    // whoever may rename what a folder above holds could swap the cache for their own: %1 is
    // that folder
    QTest::newRow("parent-others-may-write")
        << "parent-others-may-write" << QStringLiteral("上级目录%1其他用户可写入");
    QTest::newRow("parent-other-owner")
        << "parent-other-owner" << QStringLiteral("上级目录%1属于其他用户");
    QTest::newRow("parent-link-of-other-owner")
        << "parent-link-of-other-owner" << QStringLiteral("上级目录%1属于其他用户");
}

void tst_Faults::untrustedCache()
{
    QFETCH(QString, state);
    QFETCH(QString, reason);
#ifdef Q_OS_WIN
    QSKIP("owners are changed with chown and modes with chmod; Wine does not enforce access lists");
#else
    if (state.endsWith(QLatin1String("other-owner")) && ::geteuid() != 0)
        QSKIP("giving a directory to another user needs root");
    const QDir sandboxDir(sandbox.path());
    const QString elsewhere = sandboxDir.filePath("elsewhere");
    // the folder above the cache, for the rows on it
    const QString parent = sandboxDir.filePath(QStringLiteral("above-") + QTest::currentDataTag());
    const bool aboveRow = state.startsWith(QLatin1String("parent-"));
    QVERIFY(install(FaultV1, true, aboveRow ? parent + QLatin1String("/update") : QString()));
    const QString cache
        = aboveRow ? parent + QLatin1String("/update") : installation->path("update");
    const QByteArray parentPath = QFile::encodeName(parent);
    if (state == QLatin1String("link")) {
        QVERIFY(QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, cache));
    } else if (state == QLatin1String("parent-link-of-other-owner")) {
        // the link's owner may make it lead elsewhere, whatever it leads to now
        QVERIFY(QDir().mkpath(elsewhere + QLatin1String("/update")));
        QVERIFY(QFile::link(elsewhere, parent));
        QCOMPARE(::lchown(parentPath.constData(), 65534, 65534), 0);
    } else if (aboveRow) {
        QVERIFY(QDir().mkpath(cache));
        QCOMPARE(state == QLatin1String("parent-other-owner")
                     ? ::chown(parentPath.constData(), 65534, 65534)
                     : ::chmod(parentPath.constData(), 0777),
            0);
    } else {
        QVERIFY(QDir().mkpath(cache));
        const QByteArray path = QFile::encodeName(cache);
        QVERIFY(state == QLatin1String("other-owner") ? ::chown(path.constData(), 65534, 65534) == 0
                                                      : ::chmod(path.constData(), 0777) == 0);
    }
    if (aboveRow)
        reason = reason.arg(parent);
    // a correct file waiting in the cache is not installed either
    QVERIFY(writeTree(cache, {{"app.bin", faultV2().value("app.bin")}}));
    const QMap<QString, QByteArray> cacheBefore = snapshotTree(cache);
    server->setFile("/update.ini", Descriptor);
    serveRelease(*server, "/v2/", faultV2());
    const QMap<QString, QByteArray> before = installedFiles(installation->root(), true);

    const Installation::Result result = installation->run({"console"});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    const QList<QJsonObject> reports = reportsOf(result.standardOutput);
    QVERIFY2(reports.size() == 1, qPrintable(describe(reports, result.standardOutput)));
    QCOMPARE(reports.first().value("errormsg").toString(),
        QStringLiteral("缓存目录%1不安全:%2").arg(QDir::toNativeSeparators(cache), reason));
    QVERIFY(!reports.first().value("success").toBool());
    QCOMPARE(server->requestedPaths(), QList<QByteArray> {"/update.ini"});
    QCOMPARE(snapshotTree(cache), cacheBefore); // not even the descriptor was saved
    const QString changes = treeDifference(installedFiles(installation->root(), true), before);
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
    QVERIFY(!installation->hostStarted());
    QFile::remove(cache); // the link, and what it leads to
    QFile::remove(parent);
    QDir(parent).removeRecursively();
    QDir(elsewhere).removeRecursively();
#endif
}

// A user who cannot write the installation checks with their own rights: nothing to update is
// reported as such, without a cache (another user's, or none that could be made) and without a
// byte written there; an update fails before any file of the release is fetched. An installation
// that user owns is updated as always.
void tst_Faults::withoutRights_data()
{
    QTest::addColumn<bool>("update");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QByteArray>("descriptor");
    QTest::newRow("nothing-to-update") << false << "no-cache" << Descriptor;
    QTest::newRow("nothing-to-update-cache-of-root") << false << "root-cache" << Descriptor;
    // the record of a numbered release is left to a run that may write it
    QTest::newRow("nothing-to-update-numbered")
        << false << "no-cache" << QByteArray(Descriptor + "Release=2\n");
    QTest::newRow("update") << true << "no-cache" << Descriptor;
    QTest::newRow("update-cache-of-root") << true << "root-cache" << Descriptor;
    // no identifier yet, and none can be made: the share is left to a run with the rights
    QTest::newRow("update-staged-without-identifier")
        << true << "no-cache" << QByteArray(Descriptor + "[Rollout]\nPercent=50\n");
    QTest::newRow("owned-by-user") << true << "owned" << Descriptor;
}

void tst_Faults::withoutRights()
{
#ifndef Q_OS_LINUX
    QSKIP("runs as another user through setpriv (Linux)");
#else
    QFETCH(bool, update);
    QFETCH(QString, state);
    QFETCH(QByteArray, descriptor);
    if (::geteuid() != 0)
        QSKIP("running the updater as another user needs root");
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (setpriv.isEmpty())
        QSKIP("setpriv not found (Debian: util-linux)");
    QVERIFY(install(update ? FaultV1 : faultV2(), true));
    // nobody (65534) reaches the installation and reads it, and may write it only when it owns it
    QCOMPARE(::chmod(QFile::encodeName(sandbox.path()).constData(), 0711), 0);
    QCOMPARE(QProcess::execute("chmod", {"-R", "go+rX", installation->root()}), 0);
    if (state == QLatin1String("root-cache"))
        QVERIFY(writeTree(installation->path("update"), {{"update.ini", "kept"}}));
    if (state == QLatin1String("owned"))
        QCOMPARE(QProcess::execute("chown", {"-R", "65534:65534", installation->root()}), 0);
    server->setFile("/update.ini", descriptor);
    serveRelease(*server, "/v2/", faultV2());
    const QMap<QString, QByteArray> before = snapshotTree(installation->root());
    const QMap<QString, QByteArray> installedBefore = installedFiles(installation->root());

    QProcess process;
    process.setProcessEnvironment(installation->environment);
    process.setWorkingDirectory(installation->root());
    process.start(setpriv,
        {"--reuid=65534", "--regid=65534", "--clear-groups", "--", installation->updaterPath(),
            "console"});
    const Installation::Result result = Installation::wait(&process);
    QVERIFY2(result.finished, result.standardError.constData());
    const QList<QJsonObject> reports = reportsOf(result.standardOutput);
    if (state == QLatin1String("owned")) {
        QCOMPARE(result.exitCode, 0);
        QVERIFY(!installation->waitForHost().isEmpty());
        const QString wrong = treeDifference(
            installedFiles(installation->root()), overlaid(installedBefore, faultV2()));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        return;
    }
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(reports.size() == (update ? 2 : 1), qPrintable(describe(reports, result.standardOutput)));
    QVERIFY(reports.first().value("success").toBool());
    QCOMPARE(reports.first().value("update").toBool(), update);
    if (update)
        QCOMPARE(reports.last().value("errormsg").toString(),
            QStringLiteral("需要管理员权限才能安装更新"));
    QCOMPARE(server->requestedPaths(), (QList<QByteArray> {"/update.ini", ManifestPath}));
    const QString changes = treeDifference(snapshotTree(installation->root()), before);
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
    QVERIFY(!installation->hostStarted());
#endif
}

// The on-demand build where the installation needs rights this process lacks (the updater with
// its elevated start substituted, support/elevationseam.cpp): rights are asked for only to
// install, and then the caller sees exactly what a single updater shows, report bytes, exit code
// and host start; a refused prompt is a failure before any file of the release is fetched.
void tst_Faults::elevatedHandOver_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("asked");
    QTest::newRow("relaunch-only") << "up-to-date" << QStringList {"restart"} << false;
    QTest::newRow("nothing-to-update") << "up-to-date" << QStringList {"console"} << false;
    QTest::newRow("failure-before-install") << "no-manifest" << QStringList {"console"} << false;
    QTest::newRow("writable") << "writable" << QStringList {"console"} << false;
    QTest::newRow("update") << "old" << QStringList {"console"} << true;
    QTest::newRow("refused") << "refused" << QStringList {"console"} << true;
}

void tst_Faults::elevatedHandOver()
{
#ifndef Q_OS_WIN
    QSKIP("the elevated start and its pipe are Windows's");
#else
    QFETCH(QString, state);
    QFETCH(QStringList, arguments);
    QFETCH(bool, asked);
    const bool upToDate = state == QLatin1String("up-to-date");
    serveRelease(*server, "/v2/", faultV2());
    server->setFile("/update.ini", Descriptor);
    if (state == QLatin1String("no-manifest")) {
        TestServer::Response missing;
        missing.status = 404;
        server->setResponse(ManifestPath, missing);
        server->setResponse("/v2/md5.txt", missing);
    }
    // what a single updater shows on the same installation
    QVERIFY(install(upToDate ? faultV2() : FaultV1, true));
    const Installation::Result single = installation->run(arguments);
    QVERIFY(single.finished);
    installation->waitForStartedProcesses();
    server->clearLog();

    QVERIFY(install(upToDate ? faultV2() : FaultV1, true));
    QVERIFY(QFile::remove(installation->updaterPath()));
    QVERIFY(QFile::copy(UPDATER_SEAM_EXE, installation->updaterPath()));
    if (state != QLatin1String("writable"))
        installation->writeFile("rights-needed", "");
    if (state == QLatin1String("refused"))
        installation->writeFile("refuse-rights", "");
    const QMap<QString, QByteArray> before = installedFiles(installation->root());
    const Installation::Result result = installation->run(arguments);
    QVERIFY(result.finished);
    QMap<QString, QByteArray> after = installedFiles(installation->root());
    after.remove("rights-asked.txt");
    QCOMPARE(installation->exists("rights-asked.txt"), asked);
    if (asked)
        QCOMPARE(installation->readFile("rights-asked.txt"), QByteArray("console --elevated-run\n"));
    if (state == QLatin1String("refused")) {
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(QString::fromUtf8(result.standardOutput),
            QStringLiteral(R"({"errormsg":"","success":true,"update":true})"
                           R"({"errormsg":"需要管理员权限才能安装更新","success":false,"update":false})"));
        QCOMPARE(server->requestedPaths(), (QList<QByteArray> {"/update.ini", ManifestPath}));
        const QString changes = treeDifference(after, before);
        QVERIFY2(changes.isEmpty(), qPrintable(changes));
        return;
    }
    QCOMPARE(result.exitCode, single.exitCode);
    QCOMPARE(result.standardOutput, single.standardOutput);
    const bool hostExpected = arguments.first() == QLatin1String("restart") || single.exitCode == 0;
    QCOMPARE(!installation->waitForHost(hostExpected ? 30000 : 500).isEmpty(), hostExpected);
    if (state == QLatin1String("old") || state == QLatin1String("writable")) {
        QCOMPARE(result.exitCode, 0);
        const QString wrong = treeDifference(after, overlaid(before, faultV2()));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    }
#endif
}

// Files in use are replaced: the running updater's own executable and a library that another
// process holds open as a loader does (letting it be renamed), and names outside the ANSI code
// page, in a cache whose path is outside it too (Wine's code page is 1252 with LANG=C.UTF-8).
void tst_Faults::replacedWhileInUse_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("holdOpen");
    QTest::newRow("own-executable") << QString() << false;
    QTest::newRow("library-held-open") << QStringLiteral("lib/held.dll") << true;
    QTest::newRow("names-outside-code-page") << QStringLiteral("数据/文件 一.txt") << false;
}

void tst_Faults::replacedWhileInUse()
{
    QFETCH(QString, path);
    QFETCH(bool, holdOpen);

    const QString cache = QDir(sandbox.path()).filePath(QStringLiteral("缓存 %1").arg(QTest::currentDataTag()));
    QVERIFY(install({{"app.bin", "app 1"}}, true, cache));
    if (path.isEmpty())
        path = QFileInfo(installation->updaterPath()).fileName();
    else
        installation->writeFile(path, "version 1");
    const QByteArray before = installation->readFile(path);
    const Files v2 {{"app.bin", "app 2"}, {path, "version 2"}};
    server->setFile("/update.ini", Descriptor);
    serveRelease(*server, "/v2/", {{"app.bin", "app 2"}});
    server->setFile(ManifestPath, manifestText(v2));
    server->setFile("/v2/" + QUrl::toPercentEncoding(path, "/"), "version 2");

    QFile held(installation->path(path));
#ifdef Q_OS_WIN
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (holdOpen) {
        const QString native = QDir::toNativeSeparators(held.fileName());
        handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(native.utf16()), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(handle != INVALID_HANDLE_VALUE);
    }
    const auto release = qScopeGuard([&handle] {
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    });
#else
    if (holdOpen)
        QVERIFY(held.open(QIODevice::ReadOnly));
#endif

    const Installation::Result result = installation->run({"console"});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(installation->readFile(path), QByteArray("version 2"));
    QCOMPARE(installation->readFile(path + ".old"), before);
    QCOMPARE(installation->readFile("app.bin"), QByteArray("app 2"));
    QVERIFY(!installation->waitForHost().isEmpty());
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
