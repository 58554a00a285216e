#include "support/installation.h"
#include "support/release.h"
#include "support/testserver.h"

#include "outcomereport.h"
#include "reservednames.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

// Staged rollouts as installations meet them, through console runs of the built updater: who
// takes a release, who its fallback, who nothing; and the outcome reports a run sends.
class tst_Rollout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void share_data();
    void share();
    void leftOut_data();
    void leftOut();
    void identifier_data();
    void identifier();
    void reports_data();
    void reports();
    void reportUrlFields();

private:
    // update.ini of release `release` in folder "vN" at that percentage (null: no [Rollout]),
    // with fallback "vM" when fallback > 0
    static QByteArray descriptor(int release, const QByteArray &percent, int fallback = 0);
    // resets the installation to a fresh one holding release 1 with that identifier
    static void freshInstallation(Installation &installation, const QByteArray &id);

    QScopedPointer<TestServer> server;
};

namespace {
Files release(int number)
{
    return {{"app.bin", "app " + QByteArray::number(number)}, {"same.txt", "same"}};
}

// the rule, computed here on its own: SHA-256 of the identifier, a line feed and the folder;
// its first 8 bytes big-endian, modulo a million, below the percentage times 10,000
bool inShare(const QByteArray &id, const QByteArray &folder, int tenThousandths)
{
    const QByteArray digest = QCryptographicHash::hash(id + '\n' + folder, QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = value * 256 + quint8(digest.at(i));
    return value % 1000000 < quint64(tenThousandths);
}

QByteArray randomId(QRandomGenerator &random)
{
    QByteArray bytes(16, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    return bytes.toHex();
}

// an identifier that is (or is not) in the share of the folder
QByteArray idFor(const QByteArray &folder, int tenThousandths, bool in)
{
    QRandomGenerator random(7);
    for (;;) {
        const QByteArray id = randomId(random);
        if (inShare(id, folder, tenThousandths) == in)
            return id;
    }
}
} // namespace

QByteArray tst_Rollout::descriptor(int release, const QByteArray &percent, int fallback)
{
    const QByteArray n = QByteArray::number(release);
    QByteArray text = "[Summary]\nUpdateType=1\n[Version]\nFolder=v" + n + "\nVersion=" + n
            + ".0\nRelease=" + n + '\n';
    if (!percent.isNull())
        text += "[Rollout]\nPercent=" + percent + '\n';
    if (fallback > 0) {
        const QByteArray m = QByteArray::number(fallback);
        text += "Fallback=v" + m + "\nFallbackVersion=" + m + ".0\nFallbackRelease=" + m + '\n';
    }
    return text;
}

void tst_Rollout::freshInstallation(Installation &installation, const QByteArray &id)
{
    QVERIFY(writeTree(installation.root(), release(1)));
    installation.writeFile(appliedManifestName(), manifestText(release(1)));
    installation.writeFile(installationIdName(), id + '\n');
    QFile::remove(installation.path(releaseRecordName()));
}

void tst_Rollout::init()
{
    server.reset(new TestServer);
    QVERIFY(server->isListening());
    for (int n = 1; n <= 3; ++n)
        serveRelease(*server, "/v" + QByteArray::number(n) + '/', release(n));
}

// Fresh installations, several updaters at a time: at 30 % exactly those the rule puts in take
// release 2, the others keep release 1 and their identifier; at 60 % those left out at 30 % that
// the rule adds, and only those. Each share is a row of its own, and Windows draws fewer: under a
// loaded Wine one run takes up to a few seconds.
void tst_Rollout::share_data()
{
    QTest::addColumn<int>("share");
    QTest::addColumn<int>("before"); // the share they were left out of; 0: none
    QTest::newRow("30%") << 300000 << 0;
    QTest::newRow("widened-to-60%") << 600000 << 300000;
}

void tst_Rollout::share()
{
    QFETCH(int, share);
    QFETCH(int, before);
    QRandomGenerator random(22);
    QList<QByteArray> ids;
#ifdef Q_OS_WIN
    const int drawn = 60;
#else
    const int drawn = 200;
#endif
    for (int i = 0; i < drawn; ++i) {
        const QByteArray id = randomId(random);
        if (before == 0 || !inShare(id, "v2", before))
            ids.append(id);
    }
    std::vector<std::unique_ptr<Installation>> runners;
    for (int i = 0; i < 6; ++i) {
        runners.push_back(std::make_unique<Installation>());
        QVERIFY(runners.back()->isValid());
        runners.back()->installHost();
        runners.back()->writeConfig({{"URL", server->baseUrl() + '/'}, {"ExeName", "host.sh"}});
    }
    server->setFile("/update.ini", descriptor(2, QByteArray::number(share / 10000)));
    int updated = 0;
    for (int first = 0; first < ids.size(); first += int(runners.size())) {
        std::vector<std::unique_ptr<QProcess>> running;
        const int count = qMin(int(runners.size()), ids.size() - first);
        for (int i = 0; i < count; ++i) {
            freshInstallation(*runners[size_t(i)], ids.at(first + i));
            running.emplace_back(runners[size_t(i)]->start({"console"}));
        }
        for (int i = 0; i < count; ++i) {
            const QByteArray &id = ids.at(first + i);
            const Installation &runner = *runners[size_t(i)];
            const Installation::Result result = Installation::wait(running[size_t(i)].get(), 120000);
            const bool expected = inShare(id, "v2", share);
            QVERIFY2(result.finished && result.exitCode == (expected ? 0 : 1),
                     qPrintable(QStringLiteral("%1 (%2 expected, finished %3, exit code %4): %5 | %6")
                                        .arg(QString::fromLatin1(id), expected ? "update" : "none")
                                        .arg(result.finished)
                                        .arg(result.exitCode)
                                        .arg(QString::fromUtf8(result.standardOutput),
                                             QString::fromUtf8(result.standardError))));
            QCOMPARE(runner.readFile("app.bin"), release(expected ? 2 : 1).value("app.bin"));
            QCOMPARE(runner.readFile(installationIdName()), id + '\n');
            updated += expected ? 1 : 0;
        }
    }
    // the rule draws some and leaves some
    QVERIFY(updated > 0 && updated < ids.size());
    qInfo("%d of %d installations took the release", updated, int(ids.size()));
}

// An installation outside the share: the fallback when it is newer than what it has, else
// nothing; an installation that has the release keeps it, halted or not.
void tst_Rollout::leftOut_data()
{
    QTest::addColumn<int>("installed"); // its release, recorded
    QTest::addColumn<QByteArray>("percent");
    QTest::addColumn<int>("fallback"); // 0: none
    QTest::addColumn<bool>("inShare");
    QTest::addColumn<int>("after"); // the release it then has
    QTest::addColumn<QString>("message"); // how the report's error starts; empty: none

    QTest::newRow("in-share") << 1 << QByteArray("30") << 2 << true << 3 << "";
    QTest::newRow("out-to-fallback") << 1 << QByteArray("30") << 2 << false << 2 << "";
    QTest::newRow("out-without-fallback") << 1 << QByteArray("30") << 0 << false << 1 << "";
    QTest::newRow("fallback-not-newer") << 2 << QByteArray("30") << 2 << false << 2 << "";
    QTest::newRow("fallback-older") << 2 << QByteArray("30") << 1 << false << 2 << "";
    QTest::newRow("halted") << 1 << QByteArray("0") << 0 << true << 1 << "";
    QTest::newRow("halted-to-fallback") << 1 << QByteArray("0") << 2 << true << 2 << "";
    // those that took it keep it
    QTest::newRow("halted-release-kept") << 3 << QByteArray("0") << 2 << false << 3 << "";
    QTest::newRow("everyone") << 1 << QByteArray("100") << 2 << false << 3 << "";
    QTest::newRow("percent-not-a-number") << 1 << QByteArray("30%") << 2 << true << 1
                                          << "升级描述文件中的发布比例不合法:30%";
    // a decimal comma reads as a list, never as no share at all (which is everyone)
    QTest::newRow("percent-with-comma") << 1 << QByteArray("12,5") << 2 << true << 1
                                        << "升级描述文件中的发布比例不合法:12,5";
    QTest::newRow("percent-empty") << 1 << QByteArray("") << 2 << true << 1
                                   << "升级描述文件中的发布比例不合法:";
    QTest::newRow("percent-above-100") << 1 << QByteArray("100.5") << 2 << true << 1
                                       << "升级描述文件中的发布比例不合法:100.5";
}

void tst_Rollout::leftOut()
{
    QFETCH(int, installed);
    QFETCH(QByteArray, percent);
    QFETCH(int, fallback);
    QFETCH(bool, inShare);
    QFETCH(int, after);
    QFETCH(QString, message);

    Installation installation;
    QVERIFY(installation.isValid());
    installation.installHost();
    installation.writeConfig({{"URL", server->baseUrl() + '/'}, {"ExeName", "host.sh"}});
    QVERIFY(writeTree(installation.root(), release(installed)));
    installation.writeFile(appliedManifestName(), manifestText(release(installed)));
    installation.writeFile(releaseRecordName(), "release " + QByteArray::number(installed) + '\n');
    const QByteArray id = idFor("v3", 300000, inShare);
    installation.writeFile(installationIdName(), id + '\n');
    server->setFile("/update.ini", descriptor(3, percent, fallback));

    const Installation::Result result = installation.run({"console"});
    QVERIFY(result.finished);
    const QJsonObject report = QJsonDocument::fromJson(result.standardOutput.trimmed().split('\n').last()).object();
    if (!message.isEmpty())
        QCOMPARE(report.value("errormsg").toString(), message);
    QCOMPARE(report.value("success").toBool(), message.isEmpty());
    QCOMPARE(result.exitCode, after != installed ? 0 : 1);
    QCOMPARE(installation.readFile("app.bin"), release(after).value("app.bin"));
    // an installation that moved records the release it took, and a release it does not take
    // is never recorded
    QCOMPARE(installation.readFile(releaseRecordName()).split('\n').first(),
             "release " + QByteArray::number(after));
    // the fallback's files are asked for only by those that take it
    if (fallback > 0)
        QCOMPARE(server->requestedPaths().contains("/v" + QByteArray::number(fallback) + "//md5.txt"),
                 after == fallback && installed != fallback);
}

// The identifier is made once, kept, and replaced when it is not one; a link in its place is
// neither read nor written through.
void tst_Rollout::identifier_data()
{
    QTest::addColumn<QByteArray>("before"); // the file's content; null: none
    QTest::addColumn<bool>("link"); // a link to a file of that content, elsewhere
    QTest::addColumn<bool>("kept");

    const QByteArray id = idFor("v3", 300000, true);
    QTest::newRow("missing") << QByteArray() << false << false;
    QTest::newRow("kept") << id + '\n' << false << true;
    QTest::newRow("upper-case") << id.toUpper() + '\n' << false << false;
    QTest::newRow("too-short") << id.left(31) + '\n' << false << false;
#ifdef Q_OS_UNIX
    QTest::newRow("link") << id + '\n' << true << false;
#endif
}

void tst_Rollout::identifier()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, link);
    QFETCH(bool, kept);

    Installation installation;
    QVERIFY(installation.isValid());
    installation.installHost();
    installation.writeConfig({{"URL", server->baseUrl() + '/'}, {"ExeName", "host.sh"}});
    QVERIFY(writeTree(installation.root(), release(1)));
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath("id");
    if (link) {
        QFile out(target);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(before) == before.size());
        out.close();
        QVERIFY(QFile::link(target, installation.path(installationIdName())));
    } else if (!before.isNull()) {
        installation.writeFile(installationIdName(), before);
    }
    server->setFile("/update.ini", descriptor(3, "30"));

    const Installation::Result result = installation.run({"console"});
    QVERIFY(result.finished);
    const QFileInfo file(installation.path(installationIdName()));
    QVERIFY(file.isFile() && !file.isSymLink());
    const QByteArray after = installation.readFile(installationIdName());
    QVERIFY2(QRegularExpression("^[0-9a-f]{32}\n$").match(QString::fromLatin1(after)).hasMatch(),
             after.constData());
    QCOMPARE(after == before, kept);
    // the run that kept its identifier is in the share, as its identifier says
    if (kept)
        QCOMPARE(installation.readFile("app.bin"), release(3).value("app.bin"));
    if (link) {
        QFile in(target);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), before);
    }
}

// One report for each attempt that found something to update, with what happened; none without
// a ReportUrl, none when there is nothing to update.
void tst_Rollout::reports_data()
{
    QTest::addColumn<QByteArray>("percent");
    QTest::addColumn<int>("fallback");
    QTest::addColumn<bool>("reportUrl");
    QTest::addColumn<bool>("brokenFile");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // the query's fields; empty: no report

    QTest::newRow("installed") << QByteArray() << 0 << true << false << 0
                               << "event=installed&version=3.0&folder=v3&from_version=1.0&from_folder=v1&bytes=5&signed=0&fallback=0";
    QTest::newRow("fallback") << QByteArray("0") << 2 << true << false << 0
                              << "event=installed&version=2.0&folder=v2&from_version=1.0&from_folder=v1&bytes=5&signed=0&fallback=1";
    QTest::newRow("left-out") << QByteArray("0") << 0 << true << false << 1
                              << "event=left-out&version=3.0&folder=v3&from_version=1.0&from_folder=v1&bytes=0&signed=0&fallback=0";
    QTest::newRow("failed") << QByteArray() << 0 << true << true << 1
                            << "event=failed&version=3.0&folder=v3&from_version=1.0&from_folder=v1&error=&bytes=9&signed=0&fallback=0";
    QTest::newRow("no-report-url") << QByteArray() << 0 << false << false << 0 << "";
}

void tst_Rollout::reports()
{
    QFETCH(QByteArray, percent);
    QFETCH(int, fallback);
    QFETCH(bool, reportUrl);
    QFETCH(bool, brokenFile);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    Installation installation;
    QVERIFY(installation.isValid());
    installation.installHost();
    QMap<QString, QString> config {{"URL", server->baseUrl() + '/'}, {"ExeName", "host.sh"}};
    if (reportUrl)
        config.insert("ReportUrl", server->url("/report?app=demo"));
    installation.writeConfig(config);
    QVERIFY(writeTree(installation.root(), release(1)));
    installation.writeFile(appliedManifestName(), manifestText(release(1)));
    installation.writeFile(releaseRecordName(), "release 1\nfolder v1\nversion 1.0\n");
    server->setFile("/update.ini", descriptor(3, percent, fallback));
    if (brokenFile)
        server->setFile("/v3/app.bin", "not app 3");
    TestServer::Response answer; // the first row's report server never answers
    answer.status = 204;
    answer.delayMs = QTest::currentDataTag() == QByteArray("installed") ? 60000 : 0;
    server->setResponse("/report", answer);

    QElapsedTimer clock;
    clock.start();
    const Installation::Result result = installation.run({"console"});
    const qint64 elapsed = clock.elapsed();
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    QList<TestServer::Request> reports;
    for (const TestServer::Request &request : server->requests()) {
        if (request.rawPath.startsWith("/report"))
            reports.append(request);
    }
    if (expected.isEmpty()) {
        QVERIFY(reports.isEmpty());
        return;
    }
    QCOMPARE(reports.size(), 1);
    const QUrlQuery query(QUrl::fromEncoded("http://x" + reports.first().rawPath));
    QCOMPARE(query.queryItemValue("app"), QString("demo")); // the URL's own query kept
    for (const QString &field : expected.split('&')) {
        const QString key = field.section('=', 0, 0);
        const QString value = field.section('=', 1);
        if (key == "error") // the worker's reason, whatever its words
            QVERIFY2(!query.queryItemValue(key, QUrl::FullyDecoded).isEmpty(), qPrintable(key));
        else
            QCOMPARE(query.queryItemValue(key, QUrl::FullyDecoded), value);
    }
    // the report's wait has its bound: a hang, not a slow run, is what this catches
    QVERIFY2(elapsed < 20000, qPrintable(QString::number(elapsed)));
    qInfo("run with this report server: %lld ms", elapsed);
}

// Texts reach the query as UTF-8, percent-encoded, whatever they hold; nothing is lost or
// taken for a separator.
void tst_Rollout::reportUrlFields()
{
    OutcomeReport report;
    report.event = "failed";
    report.error = QString::fromUtf8("下载失败: a&b=c %41 +#?/");
    report.version = "2.0 beta";
    const QUrl url = outcomeReportUrl("https://example.com/r?x=1#frag", report);
    const QUrlQuery query(url);
    QCOMPARE(query.queryItemValue("error", QUrl::FullyDecoded), report.error);
    QCOMPARE(query.queryItemValue("version", QUrl::FullyDecoded), report.version);
    QCOMPARE(query.queryItemValue("x"), QString("1"));
    QVERIFY(!url.toEncoded().contains(' '));
}

QTEST_GUILESS_MAIN(tst_Rollout)
#include "tst_rollout.moc"
