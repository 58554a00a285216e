#include "httprequest.h"
#include "support/testserver.h"

#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QTest>

class tst_HttpRequest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void statuses_data();
    void statuses();
    void unreachable();
    void fileUrlHasNoStatus();
    void timeLimit_data();
    void timeLimit();
    void earlierTimerDoesNotEndLaterWait();
    void brokenTransfers_data();
    void brokenTransfers();
    void requestSentAsGiven();

private:
    TestServer server;
    QNetworkAccessManager manager;
};

void tst_HttpRequest::initTestCase()
{
    QVERIFY(server.isListening());
}

void tst_HttpRequest::statuses_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");

    QTest::newRow("200") << 200 << QByteArray("content\0with nul", 16) << true;
    QTest::newRow("200-empty") << 200 << QByteArray() << true;
    QTest::newRow("204") << 204 << QByteArray() << false;
    QTest::newRow("206") << 206 << QByteArray("part") << false;
    QTest::newRow("404") << 404 << QByteArray("not here") << false;
    QTest::newRow("500") << 500 << QByteArray("broken") << false;
    QTest::newRow("301-not-followed") << 301 << QByteArray() << false;
    QTest::newRow("302-not-followed") << 302 << QByteArray() << false;
}

void tst_HttpRequest::statuses()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);

    const QByteArray path = "/status/" + QByteArray::number(status) + '/' + QTest::currentDataTag();
    if (status == 301 || status == 302) {
        server.setRedirect(path, status, "/target");
        server.setFile("/target", "redirected");
    } else {
        TestServer::Response response;
        response.status = status;
        response.body = body;
        server.setResponse(path, response);
    }
    server.clearLog();

    QByteArray received = "earlier body";
    QString error = QStringLiteral("earlier error");
    const bool result = httpRequest(&manager, QUrl(server.url(path)), received, error, 5);
    QCOMPARE(result, ok);
    if (ok) {
        QCOMPARE(received, body); // replaced, not appended to
        QCOMPARE(error, QStringLiteral("earlier error"));
    } else {
        QCOMPARE(received, QByteArray("earlier body"));
        QVERIFY(!error.isEmpty());
        QVERIFY(error != QLatin1String("earlier error"));
        QVERIFY(error != QStringLiteral("网络超时"));
    }
    QCOMPARE(server.requestedPaths(), QList<QByteArray>{path}); // no redirect target fetched
}

void tst_HttpRequest::unreachable()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    QByteArray body = "kept";
    QString error;
    QVERIFY(!httpRequest(&manager, QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(port)), body,
                         error, 5));
    QVERIFY(!error.isEmpty());
    QCOMPARE(body, QByteArray("kept"));
}

void tst_HttpRequest::fileUrlHasNoStatus()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write("local");
    file.flush();
    QByteArray body;
    QString error;
    QVERIFY(!httpRequest(&manager, QUrl::fromLocalFile(file.fileName()), body, error, 5));
    QVERIFY(!error.isEmpty());
    QVERIFY(body.isEmpty());
}

void tst_HttpRequest::timeLimit_data()
{
    QTest::addColumn<int>("timeoutSeconds");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("chunks"); // body pieces, 400 ms apart
    QTest::addColumn<bool>("ok");

    QTest::newRow("answered-in-time") << 5 << 100 << 1 << true;
    // the status 200 has arrived, the body is still flowing when the limit ends the wait
    QTest::newRow("body-still-flowing") << 1 << 0 << 6 << false;
    QTest::newRow("no-answer-yet") << 1 << 2500 << 1 << false;
    QTest::newRow("zero-means-no-limit") << 0 << 1500 << 3 << true;
    QTest::newRow("negative-means-no-limit") << -1 << 1500 << 1 << true;
}

void tst_HttpRequest::timeLimit()
{
    QFETCH(int, timeoutSeconds);
    QFETCH(int, delayMs);
    QFETCH(int, chunks);
    QFETCH(bool, ok);

    TestServer::Response response;
    response.body = QByteArray(chunks * 10, 'x');
    response.delayMs = delayMs;
    response.chunkSize = 10;
    response.chunkIntervalMs = chunks > 1 ? 400 : 0;
    const QByteArray path = "/slow/" + QByteArray(QTest::currentDataTag());
    server.setResponse(path, response);

    QByteArray body = "kept";
    QString error;
    const bool result = httpRequest(&manager, QUrl(server.url(path)), body, error, timeoutSeconds);
    QCOMPARE(result, ok);
    if (ok) {
        QCOMPARE(body, response.body);
    } else {
        QCOMPARE(error, QStringLiteral("网络超时"));
        QCOMPARE(body, QByteArray("kept")); // never a truncated body
    }
}

void tst_HttpRequest::earlierTimerDoesNotEndLaterWait()
{
    server.setFile("/quick", "q");
    TestServer::Response slow;
    slow.delayMs = 1500;
    slow.body = "slow";
    server.setResponse("/slower", slow);
    QByteArray body;
    QString error;
    QVERIFY(httpRequest(&manager, QUrl(server.url("/quick")), body, error, 1));
    // the first call's one-second timer would fire during this wait
    QVERIFY(httpRequest(&manager, QUrl(server.url("/slower")), body, error, 0));
    QCOMPARE(body, QByteArray("slow"));
}

void tst_HttpRequest::brokenTransfers_data()
{
    QTest::addColumn<qint64>("closeAfterBytes");
    QTest::addColumn<bool>("contentLength");
    QTest::addColumn<qint64>("maxBodySize");
    QTest::addColumn<bool>("ok");

    // a 200 whose connection closes before the announced length carries half a body
    QTest::newRow("closed-mid-body") << qint64(5000) << true << qint64(0) << false;
    QTest::newRow("larger-than-allowed") << qint64(-1) << true << qint64(4096) << false;
    QTest::newRow("larger-than-allowed-no-length") << qint64(-1) << false << qint64(4096) << false;
    QTest::newRow("exactly-allowed") << qint64(-1) << true << qint64(10000) << true;
}

void tst_HttpRequest::brokenTransfers()
{
    QFETCH(qint64, closeAfterBytes);
    QFETCH(bool, contentLength);
    QFETCH(qint64, maxBodySize);
    QFETCH(bool, ok);

    TestServer::Response response;
    response.body = QByteArray(10000, 'b');
    response.closeAfterBytes = closeAfterBytes;
    response.contentLength = contentLength;
    const QByteArray path = "/broken/" + QByteArray(QTest::currentDataTag());
    server.setResponse(path, response);
    QByteArray body = "kept";
    QString error;
    QCOMPARE(httpRequest(&manager, QUrl(server.url(path)), body, error, 5, maxBodySize),
             ok);
    QCOMPARE(body, ok ? response.body : QByteArray("kept"));
    QCOMPARE(error.isEmpty(), ok);
}

// the one request a server sees: a GET without a body
void tst_HttpRequest::requestSentAsGiven()
{
    server.setFile("/verb", "ok");
    server.clearLog();
    QByteArray body;
    QString error;
    QVERIFY(httpRequest(&manager, QUrl(server.url("/verb")), body, error, 5));
    const QList<TestServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().verb, QByteArray("GET"));
    QCOMPARE(requests.first().body, QByteArray());
}

QTEST_GUILESS_MAIN(tst_HttpRequest)
#include "tst_httprequest.moc"
