#include "support/installation.h"
#include "support/testserver.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

// Black-box runs of the built updater: modes, the single-instance lock and start-up failures.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void restartStartsHost_data();
    void restartStartsHost();
    void restartWhileAnotherRuns();
    void consoleBadUrl_data();
    void consoleBadUrl();
    void consoleWithoutDisplay();
    void secondInstance();
    void crashedInstanceDoesNotBlock();
    void otherDirectoryNotBlocked();
    void directoriesPrepared();

private:
    // an updater that holds its lock: its descriptor request is answered only after a long delay
    QProcess *startHolder(Installation &installation, TestServer &server);
};

namespace {
const QByteArray AlreadyRunning =
        QByteArray("{\"errormsg\":\"") + QStringLiteral("升级程序已运行").toUtf8() + "\",\"success\":false,\"update\":false}";

QString closedPortUrl()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return QStringLiteral("http://127.0.0.1:%1/").arg(probe.serverPort());
}
} // namespace

QProcess *tst_Startup::startHolder(Installation &installation, TestServer &server)
{
    TestServer::Response slow;
    slow.delayMs = 4000; // within the 5 s limit of the descriptor fetch
    slow.body = "[Summary]\n";
    server.setResponse("/update.ini", slow);
    installation.writeConfig({{"URL", server.baseUrl() + QLatin1Char('/')}});
    QSignalSpy received(&server, &TestServer::requestReceived);
    QProcess *holder = installation.start({QStringLiteral("console")});
    // once its request arrived, the holder has long taken its lock
    if (!received.wait(20000)) {
        delete holder;
        return nullptr;
    }
    return holder;
}

void tst_Startup::restartStartsHost_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("subdir");
    QTest::newRow("restart") << "restart" << QString();
    QTest::newRow("RESTART") << "RESTART" << QString();
    QTest::newRow("ReStart-in-bin") << "ReStart" << "bin";
}

void tst_Startup::restartStartsHost()
{
    QFETCH(QString, argument);
    QFETCH(QString, subdir);
    Installation installation(subdir);
    QVERIFY2(installation.isValid(), qPrintable(installation.errorString()));
    // an empty URL does not matter in this mode; a relative host lies beside the updater
    const QString hostName = QStringLiteral("host.sh");
    installation.installHost(subdir.isEmpty() ? hostName : subdir + QLatin1Char('/') + hostName);
    installation.writeConfig({{"ExeName", hostName}});

    const Installation::Result result = installation.run({argument});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.standardOutput, QByteArray());
    QCOMPARE(installation.waitForHost(), (QStringList{installation.updaterPath(), "no_check"}));
    QVERIFY(!installation.exists(QStringLiteral("update"))); // no directory work in this mode
}

void tst_Startup::restartWhileAnotherRuns()
{
    TestServer server;
    QVERIFY(server.isListening());
    Installation installation;
    QVERIFY2(installation.isValid(), qPrintable(installation.errorString()));
    QScopedPointer<QProcess> holder(startHolder(installation, server));
    QVERIFY(holder);
    installation.writeConfig({{"ExeName", installation.installHost()}});
    const Installation::Result result = installation.run({QStringLiteral("restart")});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(installation.waitForHost(), (QStringList{installation.updaterPath(), "no_check"}));
    QVERIFY(holder->state() != QProcess::NotRunning);
    holder->kill();
    holder->waitForFinished();
}

void tst_Startup::consoleBadUrl_data()
{
    QTest::addColumn<QString>("url"); // null: the key is missing
    QTest::newRow("missing") << QString();
    QTest::newRow("empty") << "";
    QTest::newRow("bad-port") << "http://127.0.0.1:99999/";
    QTest::newRow("bad-ipv6") << "http://[::1/";
}

void tst_Startup::consoleBadUrl()
{
    QFETCH(QString, url);
    Installation installation;
    QVERIFY2(installation.isValid(), qPrintable(installation.errorString()));
    installation.installHost();
    QMap<QString, QString> config{{"ExeName", QStringLiteral("host.sh")}};
    if (!url.isNull())
        config.insert(QStringLiteral("URL"), url);
    installation.writeConfig(config);

    const Installation::Result result = installation.run({QStringLiteral("Console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    const QByteArray expected = QByteArray("{\"errormsg\":\"")
            + QStringLiteral("升级地址不合法:%1").arg(url).toUtf8() + "\",\"success\":false,\"update\":false}";
    QCOMPARE(result.standardOutput, expected);
    QTest::qWait(300);
    QVERIFY(!installation.hostStarted()); // console leaves the relaunch to its caller
}

void tst_Startup::consoleWithoutDisplay()
{
    Installation installation;
    QVERIFY2(installation.isValid(), qPrintable(installation.errorString()));
    installation.environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    installation.environment.remove(QStringLiteral("DISPLAY"));
    installation.environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const Installation::Result result = installation.run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardOutput.startsWith("{\"errormsg\":\""), result.standardError.constData());
}

void tst_Startup::secondInstance()
{
    TestServer server;
    QVERIFY(server.isListening());
    Installation installation;
    QVERIFY2(installation.isValid(), qPrintable(installation.errorString()));
    QScopedPointer<QProcess> holder(startHolder(installation, server));
    QVERIFY(holder);

    const Installation::Result second = installation.run({QStringLiteral("console")});
    QCOMPARE(second.exitCode, 1);
    QCOMPARE(second.standardOutput, AlreadyRunning);
    QCOMPARE(server.requests().size(), 1); // the second one fetched nothing

    // the holder goes on undisturbed and reports its own outcome
    const Installation::Result first = Installation::wait(holder.data());
    QVERIFY(first.finished);
    QVERIFY(!first.standardOutput.contains("已运行"));
}

void tst_Startup::crashedInstanceDoesNotBlock()
{
    TestServer server;
    QVERIFY(server.isListening());
    Installation installation;
    QVERIFY2(installation.isValid(), qPrintable(installation.errorString()));
    QScopedPointer<QProcess> holder(startHolder(installation, server));
    QVERIFY(holder);
    holder->kill(); // SIGKILL, or TerminateProcess on Windows
    QVERIFY(holder->waitForFinished(5000));

    server.setFile("/update.ini", "[Summary]\n");
    const Installation::Result next = installation.run({QStringLiteral("console")});
    QVERIFY(next.finished);
    QVERIFY2(!next.standardOutput.contains(QStringLiteral("已运行").toUtf8()), next.standardOutput.constData());
    QCOMPARE(server.requestCount("/update.ini"), 2);
}

void tst_Startup::otherDirectoryNotBlocked()
{
    TestServer server;
    QVERIFY(server.isListening());
    Installation first;
    Installation second;
    QVERIFY(first.isValid() && second.isValid());
    QScopedPointer<QProcess> holder(startHolder(first, server));
    QVERIFY(holder);
    second.writeConfig({{"URL", closedPortUrl()}});
    const Installation::Result result = second.run({QStringLiteral("console")});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardOutput.contains(QStringLiteral("下载升级描述文件失败:").toUtf8()),
             result.standardOutput.constData());
    holder->kill();
    holder->waitForFinished();
}

void tst_Startup::directoriesPrepared()
{
    // a relative cache lies below the working directory, not beside the updater
    Installation installation(QStringLiteral("App/bin"));
    QVERIFY2(installation.isValid(), qPrintable(installation.errorString()));
    installation.writeConfig({{"URL", closedPortUrl()}, {"Cache", "cache/deep/er"}});
    const Installation::Result result = installation.run({QStringLiteral("console")});
    QCOMPARE(result.exitCode, 1);
    QVERIFY(QFileInfo(installation.path(QStringLiteral("cache/deep/er"))).isDir());
    QVERIFY(!installation.exists(QStringLiteral("App/bin/cache")));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
