#include "support/installation.h"
#include "support/release.h"
#include "support/testserver.h"

#include <QTest>

// Black-box console runs of the built updater against the test server: what the update check
// fetches, saves, compares and reports.
class tst_UpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void nothingToUpdate_data();
    void nothingToUpdate();
    void updateMember_data();
    void updateMember();
    void joinedUrls_data();
    void joinedUrls();
    void plainSlashFallback_data();
    void plainSlashFallback();
    void fetchFailures_data();
    void fetchFailures();
    void unwritableCache();
    void descriptorSavedAsReceived();

private:
    QScopedPointer<TestServer> server;
    QScopedPointer<Installation> installation;
};

namespace {
const Files Version2{{"app.bin", "version 2 app"}, {"data/readme.txt", "v2 readme"}};

QByteArray report(bool success, bool update, const QString &message = QString())
{
    return "{\"errormsg\":\"" + message.toUtf8() + "\",\"success\":" + (success ? "true" : "false")
            + ",\"update\":" + (update ? "true" : "false") + '}';
}
} // namespace

void tst_UpdateCheck::init()
{
    server.reset(new TestServer);
    QVERIFY(server->isListening());
    installation.reset(new Installation);
    QVERIFY2(installation->isValid(), qPrintable(installation->errorString()));
    installation->installHost();
    installation->writeConfig({{"URL", server->baseUrl() + QLatin1Char('/')}, {"ExeName", "host.sh"}});
}

void tst_UpdateCheck::nothingToUpdate_data()
{
    QTest::addColumn<bool>("withAppliedManifest");
    QTest::newRow("files-hashed") << false;
    QTest::newRow("applied-manifest") << true;
}

void tst_UpdateCheck::nothingToUpdate()
{
    QFETCH(bool, withAppliedManifest);
    server->setFile("/update.ini", descriptorText("1", "v2", "2.0"));
    serveRelease(*server, "/v2/", Version2);
    if (withAppliedManifest)
        installation->writeFile(QStringLiteral("update_md5.info"), manifestText(Version2));
    else
        QVERIFY(writeTree(installation->root(), Version2));

    const Installation::Result result = installation->run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.standardOutput, QByteArray("{\"errormsg\":\"\",\"success\":true,\"update\":false}"));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(installation->readFile(QStringLiteral("update_md5.info")), manifestText(Version2));
    QCOMPARE(installation->readFile(QStringLiteral("update/update.ini")),
             descriptorText("1", "v2", "2.0"));
    // nothing was downloaded, and the caller, not the updater, starts the host in console mode
    QCOMPARE(server->requestedPaths(), (QList<QByteArray>{"/update.ini", "/v2//md5.txt"}));
    QVERIFY(installation->waitForStartedProcesses());
    QVERIFY(!installation->hostStarted());
}

void tst_UpdateCheck::updateMember_data()
{
    QTest::addColumn<QString>("updateType"); // null: no key
    QTest::addColumn<bool>("update");

    QTest::newRow("missing-is-forced") << QString() << true;
    QTest::newRow("0-optional") << "0" << false;
    QTest::newRow("empty-optional") << "" << false;
    QTest::newRow("yes-optional") << "yes" << false;
    QTest::newRow("1-forced") << "1" << true;
    QTest::newRow("2-forced") << "2" << true;
    QTest::newRow("minus-1-forced") << "-1" << true;
}

void tst_UpdateCheck::updateMember()
{
    QFETCH(QString, updateType);
    QFETCH(bool, update);
    server->setFile("/update.ini", descriptorText(updateType, "v2", "2.0"));
    // the manifest lists a file that is not served: the worker then fails and adds its report
    server->setFile("/v2//md5.txt", manifestText({{"missing.bin", "x"}}));

    const Installation::Result result = installation->run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardOutput.startsWith(report(true, update) + '{'), result.standardOutput.constData());
}

void tst_UpdateCheck::joinedUrls_data()
{
    QTest::addColumn<QString>("basePath");   // appended to http://127.0.0.1:PORT
    QTest::addColumn<QString>("folder");     // null: no key
    QTest::addColumn<QByteArray>("descriptorPath");
    QTest::addColumn<QByteArray>("manifestPath");

    QTest::newRow("default-folder") << "/" << QString() << QByteArray("/update.ini") << QByteArray("/Base//md5.txt");
    QTest::newRow("no-final-slash") << "/app" << "v3" << QByteArray("/app/update.ini") << QByteArray("/appv3//md5.txt");
    QTest::newRow("final-slash") << "/app/" << "v3" << QByteArray("/app//update.ini") << QByteArray("/app/v3//md5.txt");
}

void tst_UpdateCheck::joinedUrls()
{
    QFETCH(QString, basePath);
    QFETCH(QString, folder);
    QFETCH(QByteArray, descriptorPath);
    QFETCH(QByteArray, manifestPath);
    installation->writeConfig({{"URL", server->baseUrl() + basePath}});
    server->setFile(descriptorPath, descriptorText("1", folder, "2.0"));
    server->setFile(manifestPath, QByteArray()); // an empty manifest: nothing to update

    const Installation::Result result = installation->run({QStringLiteral("console")});
    QCOMPARE(result.standardOutput, report(true, false));
    QCOMPARE(server->requestedPaths(), (QList<QByteArray>{descriptorPath, manifestPath}));
}

// An object store keeps the doubled slash of a key: "app//update.ini" is not "app/update.ini".
// After a 404 there the updater asks once more with the slash single.
void tst_UpdateCheck::plainSlashFallback_data()
{
    QTest::addColumn<QString>("basePath"); // appended to http://127.0.0.1:PORT
    QTest::addColumn<QList<QByteArray>>("served");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QList<QByteArray>>("requested");

    const QByteArray descriptor = "/app/update.ini";
    const QByteArray manifest = "/app/v3/md5.txt";
    QTest::newRow("both-plain") << "/app/" << QList<QByteArray>{descriptor, manifest} << report(true, false)
                                << QList<QByteArray>{"/app//update.ini", descriptor, "/app/v3//md5.txt", manifest};
    QTest::newRow("manifest-doubled") << "/app/" << QList<QByteArray>{descriptor, "/app/v3//md5.txt"} << report(true, false)
                                      << QList<QByteArray>{"/app//update.ini", descriptor, "/app/v3//md5.txt"};
    // the message is the one of the first URL, as without the second request
    QTest::newRow("manifest-nowhere") << "/app/" << QList<QByteArray>{descriptor}
                                      << report(false, false, "下载更新列表文件失败:Error transferring "
                                                "BASE/app/v3//md5.txt - server replied: Not Found")
                                      << QList<QByteArray>{"/app//update.ini", descriptor, "/app/v3//md5.txt", manifest};
    // at the top of the server "//update.ini" goes out as "/update.ini": nothing to ask again
    QTest::newRow("top-nowhere") << "/" << QList<QByteArray>{"/elsewhere"}
                                 << report(false, false, "下载升级描述文件失败:Error transferring "
                                           "BASE//update.ini - server replied: Not Found")
                                 << QList<QByteArray>{"/update.ini"};
}

void tst_UpdateCheck::plainSlashFallback()
{
    QFETCH(QString, basePath);
    QFETCH(QList<QByteArray>, served);
    QFETCH(QByteArray, output);
    QFETCH(QList<QByteArray>, requested);
    installation->writeConfig({{"URL", server->baseUrl() + basePath}});
    server->setFile(served.at(0), descriptorText("1", "v3", "2.0"));
    if (served.size() > 1)
        server->setFile(served.at(1), QByteArray()); // an empty manifest: nothing to update

    const Installation::Result result = installation->run({QStringLiteral("console")});
    QCOMPARE(result.standardOutput, QByteArray(output).replace("BASE", server->baseUrl().toUtf8()));
    QCOMPARE(server->requestedPaths(), requested);
}

void tst_UpdateCheck::fetchFailures_data()
{
    QTest::addColumn<bool>("descriptorServed");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("detail");

    QTest::newRow("descriptor-404") << false << 404 << QStringLiteral("下载升级描述文件失败:") << "Not Found";
    QTest::newRow("descriptor-500") << false << 500 << QStringLiteral("下载升级描述文件失败:") << "Internal Server Error";
    QTest::newRow("descriptor-redirect") << false << 302 << QStringLiteral("下载升级描述文件失败:") << "";
    QTest::newRow("manifest-404") << true << 404 << QStringLiteral("下载更新列表文件失败:") << "Not Found";
    QTest::newRow("manifest-403") << true << 403 << QStringLiteral("下载更新列表文件失败:") << "Forbidden";
}

void tst_UpdateCheck::fetchFailures()
{
    QFETCH(bool, descriptorServed);
    QFETCH(int, status);
    QFETCH(QString, prefix);
    QFETCH(QString, detail);

    TestServer::Response failure;
    failure.status = status;
    if (status == 302)
        failure.headers = {{"Location", "/elsewhere"}};
    if (descriptorServed) {
        server->setFile("/update.ini", descriptorText("1", "v2", "2.0"));
        server->setResponse("/v2//md5.txt", failure);
    } else {
        server->setResponse("/update.ini", failure);
    }
    const Installation::Result result = installation->run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    // exactly one report, the failure with the reply's own error text
    const QByteArray out = result.standardOutput;
    QVERIFY2(out.startsWith("{\"errormsg\":\"" + prefix.toUtf8()), out.constData());
    QVERIFY2(out.endsWith("\",\"success\":false,\"update\":false}"), out.constData());
    QCOMPARE(out.count("errormsg"), 1);
    QVERIFY2(out.contains(detail.toUtf8()), out.constData());
    // the URL was joined as text, double slashes included (on the wire the network layer sends
    // a leading "//" of the path as "/", so the server sees "/update.ini")
    if (status != 302)
        QVERIFY2(out.contains(descriptorServed ? "/v2//md5.txt" : "//update.ini"), out.constData());
    QVERIFY(out.size() > report(false, false, prefix).size()); // the error text is not empty
    QVERIFY(!installation->exists(QStringLiteral("update_md5.info")));
    QVERIFY(!server->requestedPaths().contains("/elsewhere"));
}

void tst_UpdateCheck::unwritableCache()
{
    // a file where the cache directory should be: the descriptor cannot be saved
    installation->writeFile(QStringLiteral("blocked"), "not a directory");
    installation->writeConfig({{"URL", server->baseUrl() + QLatin1Char('/')}, {"Cache", installation->path("blocked")}});
    server->setFile("/update.ini", descriptorText("1", "v2", "2.0"));
    const Installation::Result result = installation->run({QStringLiteral("console")});
    QCOMPARE(result.exitCode, 1);
    const QByteArray prefix = QStringLiteral("创建文件[%1]失败:").arg(installation->path("blocked/update.ini")).toUtf8();
    QVERIFY2(result.standardOutput.startsWith("{\"errormsg\":\"" + prefix), result.standardOutput.constData());
    QVERIFY(result.standardOutput.endsWith("\",\"success\":false,\"update\":false}"));
    QCOMPARE(server->requestedPaths(), QList<QByteArray>{"/update.ini"});
}

void tst_UpdateCheck::descriptorSavedAsReceived()
{
    // an updater in "bin" keeps its applied manifest in the parent, the installation root
    installation.reset(new Installation(QStringLiteral("bin")));
    QVERIFY(installation->isValid());
    installation->writeConfig({{"URL", server->baseUrl() + QLatin1Char('/')}});
    const QByteArray descriptor = "\xEF\xBB\xBF; a comment\r\n[Version]\r\nFolder=v2\r\n[Other]\r\nx=1\r\n";
    server->setFile("/update.ini", descriptor);
    serveRelease(*server, "/v2/", {});
    const Installation::Result result = installation->run({QStringLiteral("console")});
    QCOMPARE(result.standardOutput, report(true, false));
    QCOMPARE(installation->readFile(QStringLiteral("bin/update/update.ini")), descriptor);
    QVERIFY(installation->exists(QStringLiteral("update_md5.info")));
    QVERIFY(!installation->exists(QStringLiteral("bin/update_md5.info")));
}

QTEST_GUILESS_MAIN(tst_UpdateCheck)
#include "tst_updatecheck.moc"
