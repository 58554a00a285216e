#include "cdownloadthread.h"
#include "deltamaker.h"
#include "descriptor.h"
#include "digest.h"
#include "filewrite.h"
#include "httprequest.h"
#include "publicationurls.h"
#include "safedir.h"
#include "support/directorylock.h"
#include "support/installation.h"
#include "support/release.h"
#include "support/testserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_WIN
#include <QScopeGuard>

#include <chrono>
#include <thread>

#include <windows.h>

#include <sddl.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif



namespace {
ManifestEntry entryFor(const QString &path, const QByteArray &content)
{
    return {path, quint64(content.size()), digestText(content)};
}

#ifndef Q_OS_WIN
// the permission bits and the set-ID and sticky bits of the file itself; -1 when it is missing
int modeOf(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777)
                                                                      : -1;
}
#endif

struct DirectoryLock
{
    QString path;
    bool locked;
    explicit DirectoryLock(const QString &dir) : path(dir), locked(lockDirectory(dir, true)) {}
    ~DirectoryLock()
    {
        if (locked)
            lockDirectory(path, false);
    }
};
} // namespace

class tst_DownloadThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void neverStarted();
    void everythingCached();
    void startedIndices_data();
    void startedIndices();
    void downloadFailures_data();
    void downloadFailures();
    void redirects_data();
    void redirects();
    void redirectRule_data();
    void redirectRule();
    void cachePathStates_data();
    void cachePathStates();
    void fileNamesInUrls_data();
    void fileNamesInUrls();
    void unknownLengthProgress();
    void installRules();
    void installFailures_data();
    void installFailures();
    void heldBriefly();
    void cacheFileVanished();
    void cancel_data();
    void cancel();
    void resume_data();
    void resume();
    void unsafeEntryRefused_data();
    void unsafeEntryRefused();
    void patches_data();
    void patches();

private:
    // runs the worker to its end; false when it did not finish in time
    bool run(CDownloadThread &worker, int timeoutMs = 20000);
    CDownloadThread *worker(const QList<ManifestEntry> &entries);
    QString cachePath(const QString &relative) const { return QDir(cache.path()).filePath(relative); }
    QString rootPath(const QString &relative) const { return QDir(root.path()).filePath(relative); }
    static QByteArray read(const QString &path);
    QStringList cacheLeftovers() const;

    QScopedPointer<TestServer> server;
    QTemporaryDir cache;
    QTemporaryDir root;
};

void tst_DownloadThread::initTestCase()
{
    qRegisterMetaType<QFileInfo>("QFileInfo");
    qRegisterMetaType<int64_t>("int64_t");
}

void tst_DownloadThread::init()
{
    server.reset(new TestServer);
    QVERIFY(server->isListening());
    QVERIFY2(cache.isValid(), qPrintable(cache.errorString()));
    QVERIFY2(root.isValid(), qPrintable(root.errorString()));
}

void tst_DownloadThread::cleanup()
{
    for (const QString &dir : {cache.path(), root.path()}) {
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
    }
}

bool tst_DownloadThread::run(CDownloadThread &worker, int timeoutMs)
{
    QSignalSpy finished(&worker, &QThread::finished);
    worker.start();
    return finished.wait(timeoutMs);
}

CDownloadThread *tst_DownloadThread::worker(const QList<ManifestEntry> &entries)
{
    return new CDownloadThread(server->baseUrl() + QStringLiteral("/files/"), QDir(cache.path()),
                               QDir(root.path()), entries);
}

QByteArray tst_DownloadThread::read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList tst_DownloadThread::cacheLeftovers() const
{
    // temporary download files must never stay behind
    QStringList names = snapshotTree(cache.path()).keys();
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const QString &name) { return name.endsWith(QLatin1Char('/')); }),
                names.end());
    return names;
}

void tst_DownloadThread::neverStarted()
{
    server->setFile("/files/a", "a");
    {
        QScopedPointer<CDownloadThread> idle(worker({entryFor("a", "a")}));
        QSignalSpy started(idle.data(), &CDownloadThread::downloadStarted);
        QSignalSpy failed(idle.data(), &CDownloadThread::downloadFail);
        QTest::qWait(200);
        QCOMPARE(started.count(), 0);
        QCOMPARE(failed.count(), 0);
        QVERIFY(!idle->succeeded());
        QCOMPARE(idle->errorMessage(), QString());
    }
    QCOMPARE(server->requests().size(), 0);
    QVERIFY(snapshotTree(cache.path()).isEmpty());
    QVERIFY(snapshotTree(root.path()).isEmpty());
}

void tst_DownloadThread::everythingCached()
{
    const Files files{{"a.dll", "A"}, {"sub/b.txt", "B"}};
    QVERIFY(writeTree(cache.path(), files));
    QScopedPointer<CDownloadThread> job(worker({entryFor("a.dll", "A"), entryFor("sub/b.txt", "B")}));
    QSignalSpy started(job.data(), &CDownloadThread::downloadStarted);
    QSignalSpy progress(job.data(), &CDownloadThread::downloadProgress);
    QVERIFY(!job->succeeded());
    QVERIFY(run(*job));
    QCOMPARE(started.count(), 0);
    QCOMPARE(progress.count(), 0);
    QVERIFY(job->succeeded());
    QCOMPARE(job->errorMessage(), QStringLiteral("更新成功"));
    QCOMPARE(server->requests().size(), 0);
    QCOMPARE(read(rootPath("a.dll")), QByteArray("A"));
    QCOMPARE(read(rootPath("sub/b.txt")), QByteArray("B"));
    QVERIFY(cacheLeftovers().isEmpty()); // installed files leave the cache
}

// However many transfers run at once, consumers hear of the downloaded files in manifest order,
// with the byte progress of the announced file only, even when a later file arrives first.
void tst_DownloadThread::startedIndices_data()
{
    QTest::addColumn<int>("transfers");
    QTest::newRow("one-at-a-time") << 1;
    QTest::newRow("four-at-once") << 4;
}

void tst_DownloadThread::startedIndices()
{
    QFETCH(int, transfers);
    QList<ManifestEntry> entries;
    for (int i = 0; i < 5; ++i) {
        const QString name = QStringLiteral("f%1").arg(i);
        const QByteArray content(1000 * (i + 1), char('a' + i));
        entries.append(entryFor(name, content));
        if (i == 1 || i == 3)
            QVERIFY(writeTree(cache.path(), {{name, content}}));
        else if (i > 0)
            server->setFile("/files/" + name.toUtf8(), content);
    }
    // the first file drips in slowly: the others, fetched beside it, end first
    TestServer::Response slow;
    slow.body = QByteArray(1000, 'a');
    slow.chunkSize = 200;
    slow.chunkIntervalMs = 60;
    server->setResponse("/files/f0", slow);

    QScopedPointer<CDownloadThread> job(worker(entries));
    TransferSettings settings;
    settings.transfers = transfers;
    job->setTransferSettings(settings);

    QList<QPair<int, qint64>> events; // (index, -1): started; (-1, total): progress
    connect(job.data(), &CDownloadThread::downloadStarted, this,
            [&](const QFileInfo &, int current, int) { events.append({current, -1}); });
    connect(job.data(), &CDownloadThread::downloadProgress, this,
            [&](int64_t, int64_t total) { events.append({-1, total}); });
    QSignalSpy started(job.data(), &CDownloadThread::downloadStarted);
    QVERIFY(run(*job));
    QVERIFY2(job->succeeded(), qPrintable(job->errorMessage()));
    QCOMPARE(started.count(), 3);
    const QList<int> currents{0, 2, 4};
    for (int i = 0; i < 3; ++i) {
        const QList<QVariant> arguments = started.at(i);
        QCOMPARE(arguments.at(0).value<QFileInfo>().absoluteFilePath(),
                 cachePath(QStringLiteral("f%1").arg(currents.at(i))));
        QCOMPARE(arguments.at(1).toInt(), currents.at(i));
        QCOMPARE(arguments.at(2).toInt(), 5);
    }
    int announced = -1;
    for (const auto &event : qAsConst(events)) {
        if (event.second < 0)
            announced = event.first;
        else
            QCOMPARE(event.second, qint64(1000 * (announced + 1)));
    }
    QList<QByteArray> requested = server->requestedPaths();
    if (transfers == 1) {
        QCOMPARE(requested, (QList<QByteArray>{"/files/f0", "/files/f2", "/files/f4"}));
    } else {
        std::sort(requested.begin(), requested.end());
        QCOMPARE(requested, (QList<QByteArray>{"/files/f0", "/files/f2", "/files/f4"}));
        // the later files did not wait for the slow first one
        QVERIFY(server->requests().at(1).connection != server->requests().at(0).connection);
    }
    for (int i = 0; i < 5; ++i)
        QCOMPARE(read(rootPath(QStringLiteral("f%1").arg(i))), QByteArray(1000 * (i + 1), char('a' + i)));
}

void tst_DownloadThread::downloadFailures_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("message"); // %1: file name, %2: anything (checked as a prefix)

    QTest::newRow("404") << "404" << QStringLiteral("下载更新文件f.bin网络错误：404-");
    // a body too large to be worth reading is cut short, the reply's own text kept
    QTest::newRow("404-large-body") << "404-large" << QStringLiteral("下载更新文件f.bin网络错误：404-");
    QTest::newRow("unreachable") << "unreachable" << QStringLiteral("下载更新文件f.bin网络错误：0-");
    QTest::newRow("one-byte-short") << "short" << QStringLiteral("下载更新文件f.bin大小不对");
    QTest::newRow("closed-mid-body") << "closed" << QStringLiteral("下载更新文件f.bin大小不对");
    QTest::newRow("wrong-digest") << "digest" << QStringLiteral("更新文件f.bin校验不对");
    QTest::newRow("upper-case-digest") << "upper" << QStringLiteral("更新文件f.bin校验不对");
    QTest::newRow("oversized-stops-at-once") << "oversized" << QStringLiteral("下载更新文件f.bin大小不对");
    QTest::newRow("one-byte-over-stops-at-once") << "one-over" << QStringLiteral("下载更新文件f.bin大小不对");
    QTest::newRow("stalled") << "stalled" << QStringLiteral("下载更新文件f.bin网络错误：0-网络超时");
    // bytes keep coming, far too slowly to ever finish
    QTest::newRow("trickle") << "trickle" << QStringLiteral("下载更新文件f.bin网络错误：0-传输速度过低");
    QTest::newRow("cache-unwritable") << "unwritable" << QStringLiteral("更新文件f.bin写入失败");
}

void tst_DownloadThread::downloadFailures()
{
    QFETCH(QString, scenario);
    QFETCH(QString, message);

    const QByteArray content(100 * 1024, 'c');
    ManifestEntry entry = entryFor("f.bin", content);
    QString folder = server->baseUrl() + QStringLiteral("/files/");
    TestServer::Response response;
    response.body = content;
    QString notFoundText; // what the reply says for a small 404 at the file's URL
    if (scenario.startsWith(QLatin1String("404"))) {
        QNetworkAccessManager manager;
        QScopedPointer<QNetworkReply> probe(
                manager.get(QNetworkRequest(CDownloadThread::fileUrl(folder, entry.path))));
        QSignalSpy probed(probe.data(), &QNetworkReply::finished);
        QVERIFY(probed.wait());
        QCOMPARE(probe->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
        notFoundText = probe->errorString();
    }
    if (scenario == QLatin1String("404")) {
        response.status = 404;
        response.body = "missing";
    } else if (scenario == QLatin1String("404-large")) {
        // 2 MiB, then silence: only a body cut short ends before the stall limit
        response.status = 404;
        response.body = QByteArray(4 * 1024 * 1024, 'm');
        response.stallAfterBytes = 2 * 1024 * 1024;
    } else if (scenario == QLatin1String("unreachable")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        folder = QStringLiteral("http://127.0.0.1:%1/files/").arg(probe.serverPort());
    } else if (scenario == QLatin1String("short")) {
        response.body.chop(1);
    } else if (scenario == QLatin1String("closed")) {
        response.closeAfterBytes = content.size() / 2;
    } else if (scenario == QLatin1String("digest")) {
        response.body[0] = 'X';
    } else if (scenario == QLatin1String("upper")) {
        entry.digest = entry.digest.toUpper();
    } else if (scenario == QLatin1String("oversized")) {
        // more than listed, then silence: only a transfer ended at once fails with the size
        response.body = content + QByteArray(64 * 1024, 'x');
        response.stallAfterBytes = content.size() + 32 * 1024;
    } else if (scenario == QLatin1String("one-over")) {
        // the smallest overshoot: a transfer that waited for more would end at the stall limit
        response.body = content + QByteArray(64 * 1024, 'x');
        response.stallAfterBytes = content.size() + 1;
    } else if (scenario == QLatin1String("stalled")) {
        response.stallAfterBytes = 1000;
    } else if (scenario == QLatin1String("trickle")) {
        response.chunkSize = 100;
        response.chunkIntervalMs = 50;
    } else if (scenario == QLatin1String("unwritable")) {
        // a file where the entry's cache directory should be
        entry.path = QStringLiteral("blocked/f.bin");
        QVERIFY(writeTree(cache.path(), {{"blocked", "a file"}}));
        // the run log says why
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^blocked/f.bin: the cache file cannot be written: \\S")));
    }
    server->setResponse("/files/" + entry.path.toUtf8(), response);

    // a stale copy at the cache path stays as it was after every failed check
    if (scenario != QLatin1String("unwritable"))
        QVERIFY(writeTree(cache.path(), {{entry.path, "stale"}}));

    CDownloadThread job(folder, QDir(cache.path()), QDir(root.path()), {entry});
    // within the wait below, yet long enough that only a transfer that waited meets it
    TransferSettings settings;
    settings.stallTimeout = scenario == QLatin1String("stalled")    ? 500
                          : scenario == QLatin1String("one-over") ? 5000
                                                                  : 30000;
    if (scenario == QLatin1String("trickle")) { // 2 kB/s against at least 50 kB/s over 400 ms
        settings.minimumRate = 50 * 1024;
        settings.rateWindow = 400;
    }
    job.setTransferSettings(settings);
    QSignalSpy failed(&job, &CDownloadThread::downloadFail);
    QList<int> order; // 1: downloadFail, 2: finished
    connect(&job, &CDownloadThread::downloadFail, this, [&] { order.append(1); });
    connect(&job, &QThread::finished, this, [&] { order.append(2); });
    QVERIFY(run(job, 15000));

    QCOMPARE(failed.count(), 1);
    QCOMPARE(order, (QList<int>{1, 2}));
    const QString emitted = failed.first().at(1).toString();
    QVERIFY2(emitted.startsWith(message), qPrintable(emitted));
    QCOMPARE(failed.first().at(0).value<QFileInfo>().absoluteFilePath(), cachePath(entry.path));
    QCOMPARE(job.errorMessage(), emitted);
    QVERIFY(!job.succeeded());
    if (scenario.startsWith(QLatin1String("404"))) // the reply's error text follows the status
        QCOMPARE(emitted, message + notFoundText);
    if (scenario != QLatin1String("unwritable")) {
        QCOMPARE(read(cachePath(entry.path)), QByteArray("stale"));
        QCOMPARE(cacheLeftovers(), QStringList{entry.path});
    }
    QVERIFY(snapshotTree(root.path()).isEmpty()); // nothing installed
}

void tst_DownloadThread::redirects_data()
{
    QTest::addColumn<bool>("otherServer");
    QTest::newRow("same-server-other-path") << false;
    QTest::newRow("other-port") << true;
}

void tst_DownloadThread::redirects()
{
    QFETCH(bool, otherServer);
    TestServer other;
    QVERIFY(other.isListening());
    TestServer &target = otherServer ? other : *server;
    target.setFile("/moved/r.bin", "redirected content");
    server->setRedirect("/files/r.bin", 302, (otherServer ? other.baseUrl().toUtf8() : QByteArray()) + "/hop");
    target.setRedirect("/hop", 301, "/moved/r.bin");

    QScopedPointer<CDownloadThread> job(worker({entryFor("r.bin", "redirected content")}));
    QVERIFY(run(*job));
    QVERIFY2(job->succeeded(), qPrintable(job->errorMessage()));
    QCOMPARE(read(rootPath("r.bin")), QByteArray("redirected content"));
    QCOMPARE(target.requestCount("/moved/r.bin"), 1);
}

void tst_DownloadThread::redirectRule_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("allowed");

    QTest::newRow("http-to-other-host") << "http://a/f" << "http://b:8080/g" << true;
    QTest::newRow("http-to-https") << "http://a/f" << "https://b/f" << true;
    QTest::newRow("https-to-https") << "https://a/f" << "https://b/f" << true;
    QTest::newRow("https-to-http") << "https://a/f" << "http://a/f" << false;
    QTest::newRow("https-to-http-upper-case") << "https://a/f" << "HTTP://a/f" << false;
    QTest::newRow("http-to-file") << "http://a/f" << "file:///etc/passwd" << false;
    QTest::newRow("https-to-ftp") << "https://a/f" << "ftp://a/f" << false;
}

void tst_DownloadThread::redirectRule()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, allowed);
    QCOMPARE(downloadRedirectAllowed(QUrl(from), QUrl(to)), allowed);
}

void tst_DownloadThread::cachePathStates_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("requests");
    QTest::newRow("correct") << "correct" << 0;
    QTest::newRow("stale") << "stale" << 1;
    QTest::newRow("directory") << "directory" << 1;
    QTest::newRow("dangling-link") << "link" << 1;
    QTest::newRow("missing-subdirectory") << "missing" << 1;
    QTest::newRow("empty-file-entry") << "empty" << 1;
#ifndef Q_OS_WIN
    // nothing is removed, read or written through a link: the place it leads to stays as it was
    QTest::newRow("link-to-directory") << "link-to-directory" << 1;
    QTest::newRow("link-to-correct-file") << "link-to-file" << 1;
    QTest::newRow("linked-subdirectory") << "linked-subdirectory" << 1;
    // a correct file that someone else could have planted or changed is fetched again
    QTest::newRow("other-owner") << "other-owner" << 1;
    QTest::newRow("others-may-write") << "others-may-write" << 1;
#endif
}

void tst_DownloadThread::cachePathStates()
{
    QFETCH(QString, state);
    QFETCH(int, requests);
    const QString path = QStringLiteral("deep/er/x.bin");
    const QByteArray content = state == QLatin1String("empty") ? QByteArray("") : QByteArray("fresh");
    server->setFile("/files/deep/er/x.bin", content);
    if (state == QLatin1String("correct"))
        QVERIFY(writeTree(cache.path(), {{path, content}}));
    else if (state == QLatin1String("stale"))
        QVERIFY(writeTree(cache.path(), {{path, "stale bytes"}}));
    else if (state == QLatin1String("directory"))
        QVERIFY(writeTree(cache.path(), {{path + "/inner/file", "in the way"}}));
    else if (state == QLatin1String("link")) {
        QVERIFY(QDir().mkpath(cachePath("deep/er")));
        QVERIFY(QFile::link(cachePath("nowhere"), cachePath(path)));
    }
    // where links lead, outside the cache
    QTemporaryDir elsewhere;
    QVERIFY2(elsewhere.isValid(), qPrintable(elsewhere.errorString()));
    QVERIFY(writeTree(elsewhere.path(), {{"x.bin", content}, {"er/kept.txt", "kept"}}));
    const QMap<QString, QByteArray> elsewhereBefore = snapshotTree(elsewhere.path());
#ifndef Q_OS_WIN
    if (state == QLatin1String("link-to-directory")) {
        QVERIFY(QDir().mkpath(cachePath("deep/er")));
        QVERIFY(QFile::link(elsewhere.path(), cachePath(path)));
    } else if (state == QLatin1String("link-to-file")) {
        QVERIFY(QDir().mkpath(cachePath("deep/er")));
        QVERIFY(QFile::link(QDir(elsewhere.path()).filePath("x.bin"), cachePath(path)));
    } else if (state == QLatin1String("linked-subdirectory")) {
        QVERIFY(QDir().mkpath(cachePath("deep")));
        QVERIFY(QFile::link(QDir(elsewhere.path()).filePath("er"), cachePath("deep/er")));
    } else if (state == QLatin1String("other-owner")) {
        if (::geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        QVERIFY(writeTree(cache.path(), {{path, content}}));
        QVERIFY(::chown(QFile::encodeName(cachePath(path)).constData(), 65534, 65534) == 0);
    } else if (state == QLatin1String("others-may-write")) {
        QVERIFY(writeTree(cache.path(), {{path, content}}));
        QVERIFY(::chmod(QFile::encodeName(cachePath(path)).constData(), 0646) == 0);
    }
#endif
    QScopedPointer<CDownloadThread> job(worker({entryFor(path, content)}));
    QSignalSpy started(job.data(), &CDownloadThread::downloadStarted);
    QVERIFY(run(*job));
    QVERIFY2(job->succeeded(), qPrintable(job->errorMessage()));
    QCOMPARE(started.count(), requests);
    QCOMPARE(server->requests().size(), requests);
    QCOMPARE(read(rootPath(path)), content);
    QVERIFY(QFileInfo(rootPath(path)).isFile());
    QVERIFY(!QFileInfo(rootPath(path)).isSymLink());
    QCOMPARE(snapshotTree(elsewhere.path()), elsewhereBefore);
    // a link among the directories was not written through: a real directory took its place
    QVERIFY(!QFileInfo(cachePath("deep")).isSymLink());
    QVERIFY(!QFileInfo(cachePath("deep/er")).isSymLink());
#ifndef Q_OS_WIN
    // what was installed is this user's own file, which nobody else may change
    QCOMPARE(QFileInfo(rootPath(path)).ownerId(), uint(::geteuid()));
    QCOMPARE(modeOf(rootPath(path)) & 022, 0);
#endif
}

void tst_DownloadThread::fileNamesInUrls_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("rawPath");

    QTest::newRow("space") << "my file.txt" << QByteArray("/files/my%20file.txt");
    QTest::newRow("non-ascii") << QStringLiteral("数据/é.bin") << QByteArray("/files/%E6%95%B0%E6%8D%AE/%C3%A9.bin");
    QTest::newRow("hash") << "a#b.txt" << QByteArray("/files/a%23b.txt");
#ifndef Q_OS_WIN // not a name Windows can hold
    QTest::newRow("question") << "what?.txt" << QByteArray("/files/what%3F.txt");
#endif
    QTest::newRow("percent") << "100%.txt" << QByteArray("/files/100%25.txt");
    QTest::newRow("sub-delims-kept") << "a+b(1).txt" << QByteArray("/files/a+b(1).txt");
}

void tst_DownloadThread::fileNamesInUrls()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, rawPath);
    server->setFile(rawPath, "named");
    QScopedPointer<CDownloadThread> job(worker({entryFor(path, "named")}));
    QVERIFY(run(*job));
    QVERIFY2(job->succeeded(), qPrintable(job->errorMessage()));
    QCOMPARE(server->requestedPaths(), QList<QByteArray>{rawPath});
    QCOMPARE(read(rootPath(path)), QByteArray("named"));
}

void tst_DownloadThread::unknownLengthProgress()
{
    TestServer::Response response;
    response.body = QByteArray(50000, 'u');
    response.contentLength = false;
    response.chunkSize = 4096;
    response.chunkIntervalMs = 10;
    server->setResponse("/files/u.bin", response);
    QScopedPointer<CDownloadThread> job(worker({entryFor("u.bin", response.body)}));
    QSignalSpy progress(job.data(), &CDownloadThread::downloadProgress);
    QVERIFY(run(*job));
    QVERIFY2(job->succeeded(), qPrintable(job->errorMessage()));
    QVERIFY(progress.count() > 0);
    // while the body flows its size is unknown; passed on unchanged
    QCOMPARE(progress.first().at(1).value<int64_t>(), int64_t(-1));
    QVERIFY(progress.first().at(0).value<int64_t>() < int64_t(response.body.size()));
}

void tst_DownloadThread::installRules()
{
    // fresh file in missing nested directories; replaced file; replaced file with a stale .old
    QVERIFY(writeTree(root.path(), {{"keep.txt", "untouched"}, {"old.dll", "v1 dll"},
                                    {"stale.dll", "v1 stale"}, {"stale.dll.old", "v0 stale"}}));
    const Files v2{{"new/deep/n.txt", "v2 n"}, {"old.dll", "v2 dll"}, {"stale.dll", "v2 stale"}};
#ifndef Q_OS_WIN
    // a replacing file takes the permission bits of the one it replaces, set-ID bits excepted
    QVERIFY(::chmod(QFile::encodeName(rootPath("old.dll")).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(rootPath("stale.dll")).constData(), 02640) == 0);
    const int newFileMode = modeOf(rootPath("keep.txt")); // what this process creates
#endif
    serveRelease(*server, "/files/", v2);
    QList<ManifestEntry> entries;
    for (auto it = v2.cbegin(); it != v2.cend(); ++it)
        entries.append(entryFor(it.key(), it.value()));
    QScopedPointer<CDownloadThread> job(worker(entries));
    QVERIFY(run(*job));
    QVERIFY2(job->succeeded(), qPrintable(job->errorMessage()));

    const QMap<QString, QByteArray> expected{
            {"keep.txt", "untouched"}, {"new/", ""}, {"new/deep/", ""}, {"new/deep/n.txt", "v2 n"},
            {"old.dll", "v2 dll"}, {"old.dll.old", "v1 dll"},
            {"stale.dll", "v2 stale"}, {"stale.dll.old", "v1 stale"}};
    QCOMPARE(snapshotTree(root.path()), expected);
#ifndef Q_OS_WIN
    QCOMPARE(modeOf(rootPath("old.dll")), 0755);
    QCOMPARE(modeOf(rootPath("stale.dll")), 0640);
    QCOMPARE(modeOf(rootPath("new/deep/n.txt")), newFileMode);
#endif
}

void tst_DownloadThread::installFailures_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("message");
    QTest::newRow("set-aside-name-is-directory") << "old-dir" << QStringLiteral("删除文件c.dll.old失败");
    QTest::newRow("cannot-set-aside") << "locked" << QStringLiteral("重命名%1为%2失败");
    QTest::newRow("cannot-create-directory") << "mkdir" << QStringLiteral("创建目录%1失败");
    // the user's installation holds a link where the release has a folder: what it leads to (a
    // folder of the administrator's) is neither renamed, written nor read
    QTest::newRow("folder-is-link") << "link" << QStringLiteral("安装目录中的%1是链接，不能安装");
#ifdef Q_OS_WIN
    // another process reads the file without letting it be renamed, as a virus scanner does
    QTest::newRow("held-open-without-delete-sharing") << "held" << QStringLiteral("重命名%1为%2失败");
#endif
}

void tst_DownloadThread::installFailures()
{
    QFETCH(QString, scenario);
    QFETCH(QString, message);

    // a and b install before c fails; the whole run is undone
    QVERIFY(writeTree(root.path(), {{"a.dll", "v1 a"}, {"a.dll.old", "v0 a"}, {"lib/c.dll", "v1 c"}}));
    Files v2{{"a.dll", "v2 a"}, {"b/new.txt", "v2 b"}, {"lib/c.dll", "v2 c"}};
    QString failing = rootPath("lib/c.dll");
    QScopedPointer<DirectoryLock> lock;
    QTemporaryDir outside;
    QVERIFY2(outside.isValid(), qPrintable(outside.errorString()));
#ifdef Q_OS_WIN
    HANDLE held = INVALID_HANDLE_VALUE;
    const auto release = qScopeGuard([&held] {
        if (held != INVALID_HANDLE_VALUE)
            ::CloseHandle(held);
    });
#endif
    if (scenario == QLatin1String("old-dir")) {
        QVERIFY(writeTree(root.path(), {{"lib/c.dll.old/inside", "a directory"}}));
        message = QStringLiteral("删除文件c.dll.old失败");
        // the run log says why
#ifdef Q_OS_WIN
        const int reason = ERROR_ACCESS_DENIED;
#else
        const int reason = EISDIR;
#endif
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QLatin1String("removing c\\.dll\\.old: ")
                                                + QRegularExpression::escape(systemErrorText(reason))));
    } else if (scenario == QLatin1String("locked")) {
        lock.reset(new DirectoryLock(rootPath("lib")));
        if (!lock->locked)
            QSKIP("this file system lets root rename in any directory and cannot mark it immutable");
        message = message.arg(failing, failing + QLatin1String(".old"));
    } else if (scenario == QLatin1String("link")) {
        QVERIFY(QDir(rootPath("lib")).removeRecursively());
        QVERIFY(writeTree(outside.path(), {{"c.dll", "theirs"}, {"c.dll.old", "their old"}}));
        if (!makeDirectoryLink(outside.path(), rootPath("lib")))
            QSKIP("no link to a directory can be made here");
        message = message.arg(rootPath("lib"));
#ifdef Q_OS_WIN
    } else if (scenario == QLatin1String("held")) {
        held = ::CreateFileW(reinterpret_cast<const wchar_t *>(failing.utf16()), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
        message = message.arg(failing, failing + QLatin1String(".old"));
#endif
    } else {
        // a file where the new entry's directory should be created
        v2.insert(QStringLiteral("x/y/z.txt"), "v2 z");
        v2.remove(QStringLiteral("lib/c.dll"));
        QVERIFY(writeTree(root.path(), {{"x", "a file"}}));
        failing = rootPath("x/y/z.txt");
        message = message.arg(rootPath("x/y"));
    }
    serveRelease(*server, "/files/", v2);
    QList<ManifestEntry> entries;
    for (auto it = v2.cbegin(); it != v2.cend(); ++it)
        entries.append(entryFor(it.key(), it.value()));

    QMap<QString, QByteArray> before = snapshotTree(root.path());
    const QMap<QString, QByteArray> outsideBefore = snapshotTree(outside.path());
    QScopedPointer<CDownloadThread> job(worker(entries));
    TransferSettings settings;
    settings.lockedFileWait = 300;
    job->setTransferSettings(settings);
    QSignalSpy failed(job.data(), &CDownloadThread::downloadFail);
    QVERIFY(run(*job));
    lock.reset();
    if (scenario == QLatin1String("link")) {
        // what was installed is compared without it; cleanup() would not remove it under Wine
        // (Wine's snapshot went through it)
        QVERIFY(removeDirectoryLink(rootPath("lib")));
        for (auto it = before.begin(); it != before.end();)
            it = it.key().startsWith(QLatin1String("lib/")) ? before.erase(it) : it + 1;
    }
    QCOMPARE(failed.count(), 1);
    QCOMPARE(job->errorMessage(), message);
    QCOMPARE(failed.first().at(0).value<QFileInfo>().absoluteFilePath(), failing);
    // the installation is exactly as before, but for the stale set-aside copy of a.dll, which
    // was deleted to make room before the failure; every file waits verified in the cache
    QMap<QString, QByteArray> expected = before;
    expected.remove(QStringLiteral("a.dll.old"));
    QCOMPARE(snapshotTree(root.path()), expected);
    QCOMPARE(snapshotTree(outside.path()), outsideBefore);
    for (auto it = v2.cbegin(); it != v2.cend(); ++it)
        QCOMPARE(read(cachePath(it.key())), it.value());
}

// A file another process holds only for a moment (a scanner reading it) is waited for.
void tst_DownloadThread::heldBriefly()
{
#ifdef Q_OS_WIN
    QVERIFY(writeTree(root.path(), {{"a.dll", "v1 a"}}));
    server->setFile("/files/a.dll", "v2 a");
    const QString held = rootPath("a.dll");
    HANDLE handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(held.utf16()), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    QVERIFY(handle != INVALID_HANDLE_VALUE);
    // the installation blocks this thread while it waits: another one lets go of the file
    std::thread scanner([handle] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ::CloseHandle(handle);
    });
    QScopedPointer<CDownloadThread> job(worker({entryFor("a.dll", "v2 a")}));
    TransferSettings settings;
    settings.lockedFileWait = 20000;
    job->setTransferSettings(settings);
    const bool ran = run(*job, 30000);
    scanner.join();
    QVERIFY(ran);
    QVERIFY2(job->succeeded(), qPrintable(job->errorMessage()));
    QCOMPARE(read(held), QByteArray("v2 a"));
    QCOMPARE(read(held + QLatin1String(".old")), QByteArray("v1 a"));
#else
    QSKIP("no file system here keeps a file from being renamed while it is open");
#endif
}

void tst_DownloadThread::cacheFileVanished()
{
    QVERIFY(writeTree(root.path(), {{"a.dll", "v1 a"}}));
    QVERIFY(writeTree(cache.path(), {{"a.dll", "v2 a"}}));
    server->setFile("/files/b.txt", "v2 b");
    const QMap<QString, QByteArray> before = snapshotTree(root.path());
    QScopedPointer<CDownloadThread> job(worker({entryFor("a.dll", "v2 a"), entryFor("b.txt", "v2 b")}));
    // a.dll was found correct in the cache; it disappears while b.txt downloads
    connect(job.data(), &CDownloadThread::downloadStarted, this,
            [this] { QFile::remove(cachePath("a.dll")); });
    QVERIFY(run(*job));
    QCOMPARE(job->errorMessage(), QStringLiteral("覆盖文件a.dll失败"));
    QCOMPARE(snapshotTree(root.path()), before); // the set-aside file went back to its name
}

void tst_DownloadThread::cancel_data()
{
    QTest::addColumn<bool>("throughBase");
    QTest::newRow("worker-quit") << false;
    QTest::newRow("qthread-quit") << true;
}

void tst_DownloadThread::cancel()
{
    QFETCH(bool, throughBase);
    TestServer::Response slow;
    slow.body = QByteArray(200 * 1024, 's');
    slow.chunkSize = 4096;
    slow.chunkIntervalMs = 20;
    server->setResponse("/files/first.bin", slow);
    TestServer::Response second = slow;
    second.body.fill('t');
    server->setResponse("/files/second.bin", second);
    QScopedPointer<CDownloadThread> job(
            worker({entryFor("first.bin", slow.body), entryFor("second.bin", second.body)}));
    QSignalSpy failed(job.data(), &CDownloadThread::downloadFail);
    bool asked = false;
    int requestsWhenAsked = 0;
    connect(job.data(), &CDownloadThread::downloadProgress, this, [&](int64_t received, int64_t) {
        if (asked || received == 0)
            return;
        asked = true;
        requestsWhenAsked = server->requests().size();
        if (throughBase)
            static_cast<QThread *>(job.data())->quit();
        else
            job->quit();
    });
    QVERIFY(run(*job));
    QVERIFY(asked);
    QVERIFY(!job->succeeded());
    QCOMPARE(job->errorMessage(), QString());
    QCOMPARE(failed.count(), 0);
    QTest::qWait(1500); // long enough for the rest of both files
    // nothing is asked for afterwards, and every transfer in flight ended with the first
    QCOMPARE(server->requests().size(), requestsWhenAsked);
    QVERIFY(snapshotTree(root.path()).isEmpty());
    QVERIFY(cacheLeftovers().isEmpty());
}

// A large file whose transfer ended early continues from the bytes kept, when the server honours
// the range under the same validator; anything else fetches the whole file again.
void tst_DownloadThread::resume_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("continued"); // the second attempt asked for the rest only
    QTest::addColumn<int>("requests"); // of the second attempt

    QTest::newRow("connection-closed") << "closed" << true << 1;
    QTest::newRow("cancelled") << "cancelled" << true << 1;
    QTest::newRow("server-ignores-ranges") << "ignored" << true << 1;
    QTest::newRow("no-validator") << "no-validator" << false << 1;
    QTest::newRow("kept-bytes-damaged") << "damaged" << true << 2;
    QTest::newRow("other-range-sent") << "wrong-range" << true << 2;
    // the cache mirrors the installation: a file of the release where large files are kept
    QTest::newRow("release-has-partial-file") << "named-partial" << true << 1;
    // bytes or a validator that someone else could have changed are not continued
    QTest::newRow("partial-others-may-write") << "part-writable" << false << 1;
    QTest::newRow("record-others-may-write") << "record-writable" << false << 1;
}

void tst_DownloadThread::resume()
{
    QFETCH(QString, scenario);
    QFETCH(bool, continued);
    QFETCH(int, requests);

    QByteArray content(3 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((quint32(i) * 2654435761u) >> 24);
    const qint64 cut = 2 * 1024 * 1024;
    QList<ManifestEntry> entries{entryFor("big.bin", content)};
    if (scenario == QLatin1String("named-partial")) {
        entries.prepend(entryFor(".partial", "mine"));
        server->setFile("/files/.partial", "mine");
    }
    TestServer::Response first;
    first.body = content;
    if (scenario != QLatin1String("no-validator"))
        first.headers.append(qMakePair(QByteArray("ETag"), QByteArray("\"v1\"")));
    if (scenario == QLatin1String("cancelled")) {
        first.chunkSize = 256 * 1024;
        first.chunkIntervalMs = 30;
    } else {
        first.closeAfterBytes = cut;
    }
    server->setResponse("/files/big.bin", first);
    {
        QScopedPointer<CDownloadThread> job(worker(entries));
        connect(job.data(), &CDownloadThread::downloadProgress, this, [&](int64_t received, int64_t) {
            if (scenario == QLatin1String("cancelled") && received >= cut)
                job->quit();
        });
        QVERIFY(run(*job));
        QVERIFY(!job->succeeded());
    }
    QVERIFY(!QFile::exists(cachePath("big.bin")));
    if (scenario == QLatin1String("damaged")) {
        const QStringList parts = QDir(cachePath(".partial")).entryList({"*.part"});
        QCOMPARE(parts.size(), 1);
        QFile part(cachePath(".partial/" + parts.first()));
        QVERIFY(part.open(QIODevice::ReadWrite) && part.seek(1000) && part.write("X", 1) == 1);
    }
    if (scenario.endsWith(QLatin1String("-writable"))) {
        const QStringList kept = QDir(cachePath(".partial"))
                                         .entryList({scenario.startsWith(QLatin1String("part"))
                                                             ? QStringLiteral("*.part")
                                                             : QStringLiteral("*.info")});
        QCOMPARE(kept.size(), 1);
        const QString path = cachePath(".partial/" + kept.first());
#ifdef Q_OS_WIN
        // an access list that lets everyone write it
        PSECURITY_DESCRIPTOR everyone = nullptr;
        QVERIFY(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                L"D:(A;;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr));
        const auto release = qScopeGuard([everyone] { ::LocalFree(everyone); });
        QVERIFY(::SetFileSecurityW(
                reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                DACL_SECURITY_INFORMATION, everyone));
#else
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0666) == 0);
#endif
    }

    server->clearLog();
    QList<QByteArray> ranges;
    connect(server.data(), &TestServer::requestReceived, this, [&] {
        const TestServer::Request request = server->requests().constLast();
        if (request.rawPath != "/files/big.bin")
            return;
        ranges.append(request.header("Range"));
        TestServer::Response answer;
        answer.headers.append(qMakePair(QByteArray("ETag"), QByteArray("\"v1\"")));
        answer.body = content;
        const QByteArray range = request.header("Range");
        if (!range.isEmpty() && scenario != QLatin1String("ignored")
            && request.header("If-Range") == "\"v1\"") {
            bool ok = false;
            const qint64 from = range.mid(6, range.size() - 7).toLongLong(&ok);
            QVERIFY(ok && range.startsWith("bytes=") && range.endsWith('-'));
            const qint64 sent = scenario == QLatin1String("wrong-range") ? from - 10 : from;
            answer.status = 206;
            answer.body = content.mid(int(sent));
            answer.headers.append(qMakePair(QByteArray("Content-Range"),
                                            "bytes " + QByteArray::number(sent) + '-'
                                                    + QByteArray::number(content.size() - 1) + '/'
                                                    + QByteArray::number(content.size())));
        }
        server->setResponse("/files/big.bin", answer);
    });
    QScopedPointer<CDownloadThread> job(worker(entries));
    QVERIFY(run(*job));
    QVERIFY2(job->succeeded(), qPrintable(job->errorMessage()));
    QCOMPARE(read(rootPath("big.bin")), content);
    if (scenario == QLatin1String("named-partial"))
        QCOMPARE(read(rootPath(".partial")), QByteArray("mine"));
    QCOMPARE(ranges.size(), requests);
    QCOMPARE(!ranges.first().isEmpty(), continued);
    if (requests > 1) // the kept bytes were dropped: the second request asks for everything
        QVERIFY(ranges.at(1).isEmpty());
    QCOMPARE(QDir(cachePath(".partial")).entryList(QDir::Files), QStringList());
}

void tst_DownloadThread::unsafeEntryRefused_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("cacheInRoot"); // empty: the cache lies elsewhere
    QTest::addColumn<QString>("message");

    QTest::newRow("parent") << QStringList{"ok.txt", "../escape.txt"} << QString()
                            << QStringLiteral("更新文件../escape.txt路径不合法");
#ifdef Q_OS_WIN
    // where case is ignored the second would set the first aside over the original's .old
    QTest::newRow("case-only") << QStringList{"Bin/a.dll", "bin/a.dll"} << QString()
                               << QStringLiteral("更新文件Bin/a.dll与bin/a.dll路径仅大小写不同");
#endif
    // installed before zb, update/zb would replace zb's verified cache file with its own bytes
    QTest::newRow("into-cache") << QStringList{"zb", "update/zb"} << "update"
                                << QStringLiteral("更新文件update/zb路径不合法");
    QTest::newRow("onto-cache") << QStringList{"a.txt", "bin/update"} << "bin/update"
                                << QStringLiteral("更新文件bin/update路径不合法");
    // installed, it would be overwritten by the record, or stand for one it never was
    QTest::newRow("release-record") << QStringList{"a.txt", "update_release.info"} << QString()
                                    << QStringLiteral(
                                               "更新文件update_release.info与升级程序自己的文件"
                                               "update_release.info同名");
    QTest::newRow("lock-in-bin") << QStringList{"bin/update_singleton.lock"} << QString()
                                 << QStringLiteral("更新文件bin/update_singleton.lock与升级程序自己"
                                                   "的文件update_singleton.lock同名");
    // the cache keeps the record of the last update there, which a rollback reads
    QTest::newRow("undo-folder") << QStringList{"update_undo/record"} << QString()
                                 << QStringLiteral("更新文件update_undo/record与升级程序自己的文件"
                                                   "update_undo同名");
    // a.dll is set aside as a.dll.old: over the release's own a.dll.old, or to be replaced by it
    QTest::newRow("set-aside-name") << QStringList{"a.dll", "a.dll.old"} << QString()
                                    << QStringLiteral("更新文件a.dll.old与a.dll的备份文件同名");
}

void tst_DownloadThread::unsafeEntryRefused()
{
    QFETCH(QStringList, paths);
    QFETCH(QString, cacheInRoot);
    QFETCH(QString, message);

    QVERIFY(writeTree(root.path(), {{"Bin/a.dll", "original"}}));
    const QString cacheDir = cacheInRoot.isEmpty() ? cache.path() : rootPath(cacheInRoot);
    QVERIFY(QDir().mkpath(cacheDir));
    const QMap<QString, QByteArray> before = snapshotTree(root.path());
    QList<ManifestEntry> entries;
    for (const QString &path : qAsConst(paths)) {
        entries.append(entryFor(path, path.toUtf8()));
        server->setFile("/files/" + path.toUtf8(), path.toUtf8());
    }
    QScopedPointer<CDownloadThread> job(new CDownloadThread(
            server->baseUrl() + QStringLiteral("/files/"), QDir(cacheDir), QDir(root.path()), entries));
    QSignalSpy failed(job.data(), &CDownloadThread::downloadFail);
    QVERIFY(run(*job));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(1).toString(), message);
    QCOMPARE(job->errorMessage(), message);
    QCOMPARE(server->requests().size(), 0);
    QCOMPARE(snapshotTree(root.path()), before);
    QVERIFY(snapshotTree(cacheDir).isEmpty());
}

void tst_DownloadThread::patches_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("patched"); // made from the patch; otherwise fetched whole

    QTest::newRow("applied") << "" << true;
    QTest::newRow("patch-missing") << "missing" << false;
    QTest::newRow("patch-damaged") << "damaged" << false;
    QTest::newRow("patch-cut-short") << "cut" << false;
    QTest::newRow("patch-digest-wrong") << "digest" << false;
    // a sound patch, its own size and digest right, that makes another file of the listed size
    QTest::newRow("patch-makes-other-file") << "other-file" << false;
    QTest::newRow("installed-copy-differs") << "base" << false;
#ifndef Q_OS_WIN
    QTest::newRow("installed-copy-is-link") << "link" << false;
#endif
}

void tst_DownloadThread::patches()
{
    QFETCH(QString, fault);
    QFETCH(bool, patched);

    // an earlier version, and the new one with a small edit in the middle and more at the end
    QByteArray earlier(1536 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(earlier.data()),
                                  earlier.size() / int(sizeof(quint32)));
    QByteArray content = earlier;
    content.replace(700000, 5, "EDIT!").append(QByteArray(3000, 'n'));
    QTemporaryDir scratch;
    const QString basePath = scratch.filePath("earlier");
    const QString targetPath = scratch.filePath("new");
    const QByteArray made = fault == QLatin1String("other-file")
            ? QByteArray(content).replace(700000, 5, "OTHER")
            : content;
    QVERIFY(writeFileBytes(basePath, earlier) && writeFileBytes(targetPath, made));
    DeltaPatch patch{"big.bin", digestText(earlier), 0, QByteArray()};
    QString error;
    QVERIFY2(makePatch(basePath, targetPath, scratch.filePath("patch"), 3, quint64(made.size()),
                       patch.size, patch.digest, error),
             qPrintable(error));
    QVERIFY(patch.size < 10000);
    QByteArray patchBytes = read(scratch.filePath("patch"));

    if (fault == QLatin1String("link")) {
        QVERIFY(QFile::link(basePath, rootPath("big.bin")));
    } else {
        QVERIFY(writeFileBytes(rootPath("big.bin"),
                               fault == QLatin1String("base") ? QByteArray(earlier).replace(9, 3, "abc")
                                                              : earlier));
    }
    if (fault == QLatin1String("digest"))
        patch.digest = digestText("another patch");
    const QByteArray patchUrl = "/files/" + deltaPatchPath(patch).toUtf8();
    TestServer::Response answer;
    answer.body = patchBytes;
    if (fault == QLatin1String("damaged"))
        answer.body[int(patch.size / 2)] = char(answer.body.at(int(patch.size / 2)) ^ 0x55);
    if (fault == QLatin1String("cut"))
        answer.closeAfterBytes = qint64(patch.size / 2);
    if (fault != QLatin1String("missing"))
        server->setResponse(patchUrl, answer);
    server->setFile("/files/big.bin", content);

    const QString told = patched ? QStringLiteral("big.bin: made from a patch")
                                 : QStringLiteral("big.bin: the patch (failed|is not used)");
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(told));
    QScopedPointer<CDownloadThread> job(worker({entryFor("big.bin", content)}));
    job->setPatches({{patch.path, patch}});
    QVERIFY(run(*job));
    QVERIFY2(job->succeeded(), qPrintable(job->errorMessage()));
    QCOMPARE(read(rootPath("big.bin")), content);
    QStringList requested;
    for (const TestServer::Request &request : server->requests())
        requested.append(QString::fromUtf8(request.rawPath));
    QCOMPARE(requested.contains(QString::fromUtf8(patchUrl)),
             fault != QLatin1String("link"));
    QCOMPARE(requested.contains(QStringLiteral("/files/big.bin")), !patched);
    // nothing but the installed file's old copy is left of the patch
    QCOMPARE(QDir(cachePath(".partial")).entryList(QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(tst_DownloadThread)
#include "tst_downloadthread.moc"
