#include "support/testserver.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

bool waitFinished(QNetworkReply *reply, int timeoutMs = 10000)
{
    if (reply->isFinished())
        return true;
    QSignalSpy spy(reply, &QNetworkReply::finished);
    return spy.wait(timeoutMs);
}

QNetworkRequest requestFor(const TestServer &server, const QByteArray &rawPath)
{
    return QNetworkRequest(QUrl(server.url(rawPath)));
}

// Qt knows a HEAD answer has no body only when the request went out through head()
QNetworkReply *send(QNetworkAccessManager &manager, const QNetworkRequest &request,
    const QByteArray &verb, const QByteArray &body)
{
    if (verb == "HEAD")
        return manager.head(request);
    return manager.sendCustomRequest(request, verb, body);
}

// Sends bytes as they are and collects everything until the server closes the connection.
bool exchange(const TestServer &server, const QByteArray &sent, QByteArray &received)
{
    QTcpSocket client;
    QObject::connect(
        &client, &QTcpSocket::readyRead, &client, [&] { received += client.readAll(); });
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!client.waitForConnected(5000))
        return false;
    client.write(sent);
    return QTest::qWaitFor(
        [&] { return client.state() == QAbstractSocket::UnconnectedState; }, 10000);
}

TestServer::Response body(const QByteArray &content)
{
    TestServer::Response response;
    response.body = content;
    return response;
}

} // namespace

class tst_TestServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void answer_data();
    void answer();
    void missingBodyFile();
    void rawPath_data();
    void rawPath();
    void verbs_data();
    void verbs();
    void redirect_data();
    void redirect();
    void delay();
    void drip();
    void truncation_data();
    void truncation();
    void stall_data();
    void stall();
    void clientAbort_data();
    void clientAbort();
    void keepAlive_data();
    void keepAlive();
    void rawSocket_data();
    void rawSocket();
    void destroyWithOpenConnections();

private:
    QTemporaryDir dir;
    QString bigFile;
    QByteArray bigData;
};

void tst_TestServer::initTestCase()
{
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    // several pieces and several refills of the socket buffer, with an odd tail
    bigData.resize(3 * 1024 * 1024 + 17);
    for (int i = 0; i < bigData.size(); ++i)
        bigData[i] = char((i * 7 + i / 4099) & 0xff);
    bigFile = dir.filePath(QStringLiteral("big.bin"));
    QFile file(bigFile);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    QCOMPARE(file.write(bigData), qint64(bigData.size()));
}

void tst_TestServer::answer_data()
{
    QTest::addColumn<bool>("registered");
    QTest::addColumn<TestServer::Response>("response");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<QByteArray>("body");

    TestServer::Response ok = body("hello");
    ok.headers = {{"X-Test", "yes"}, {"Content-Type", "text/plain"}};
    QTest::newRow("ok") << true << ok << 200 << QByteArray("OK") << QByteArray("hello");

    TestServer::Response unavailable = body("later");
    unavailable.status = 503;
    unavailable.reason = "Go Away";
    QTest::newRow("custom-reason")
        << true << unavailable << 503 << QByteArray("Go Away") << QByteArray("later");

    QTest::newRow("empty-body") << true << body(QByteArray()) << 200 << QByteArray("OK")
                                << QByteArray();
    QTest::newRow("unknown-path") << false << TestServer::Response() << 404
                                  << QByteArray("Not Found") << QByteArray("not found\n");

    TestServer::Response fromFile;
    fromFile.bodyFile = bigFile;
    QTest::newRow("big-file") << true << fromFile << 200 << QByteArray("OK") << bigData;
    TestServer::Response fromMemory = body(bigData);
    QTest::newRow("big-memory") << true << fromMemory << 200 << QByteArray("OK") << bigData;
}

void tst_TestServer::answer()
{
    QFETCH(bool, registered);
    QFETCH(TestServer::Response, response);
    QFETCH(int, status);
    QFETCH(QByteArray, reason);
    QFETCH(QByteArray, body);

    TestServer server;
    QVERIFY(server.isListening());
    QNetworkAccessManager manager;
    if (registered)
        server.setResponse("/r", response);

    std::unique_ptr<QNetworkReply> reply(manager.get(requestFor(server, "/r")));
    QVERIFY(waitFinished(reply.get()));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray(), reason);
    QCOMPARE(reply->rawHeader("Content-Length"), QByteArray::number(body.size()));
    for (const auto &header : qAsConst(response.headers))
        QCOMPARE(reply->rawHeader(header.first), header.second);
    const QByteArray received = reply->readAll();
    QCOMPARE(received.size(), body.size());
    QVERIFY(received == body);
}

void tst_TestServer::missingBodyFile()
{
    TestServer server;
    QNetworkAccessManager manager;
    TestServer::Response response;
    response.bodyFile = dir.filePath(QStringLiteral("absent.bin"));
    server.setResponse("/r", response);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot open .*absent")));
    std::unique_ptr<QNetworkReply> reply(manager.get(requestFor(server, "/r")));
    QVERIFY(waitFinished(reply.get()));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 500);
    QVERIFY(reply->readAll().startsWith("cannot open "));
}

void tst_TestServer::rawPath_data()
{
    QTest::addColumn<QByteArray>("registered");
    QTest::addColumn<QByteArray>("requested");
    QTest::addColumn<bool>("rawClient");

    // Qt 5.15 turns a leading "//" into "/" before sending (inner ones it keeps), so only a raw
    // client can show that the server keeps it
    QTest::newRow("double-slash") << QByteArray("//md5.txt") << QByteArray("//md5.txt") << true;
    QTest::newRow("inner-double-slash")
        << QByteArray("/v2//md5.txt") << QByteArray("/v2//md5.txt") << false;
    QTest::newRow("escaped-space") << QByteArray("/a%20b") << QByteArray("/a%20b") << false;
    QTest::newRow("escaped-slash")
        << QByteArray("/dir%2Ffile") << QByteArray("/dir%2Ffile") << false;
    QTest::newRow("query") << QByteArray("/list?v=1&w=2") << QByteArray("/list?v=1&w=2") << false;
    QTest::newRow("query-fallback") << QByteArray("/list") << QByteArray("/list?v=3") << false;
}

void tst_TestServer::rawPath()
{
    QFETCH(QByteArray, registered);
    QFETCH(QByteArray, requested);
    QFETCH(bool, rawClient);

    TestServer server;
    const QByteArray content = "content of " + registered;
    server.setFile(registered, content);
    server.setFile("/md5.txt", "collapsed path");

    if (rawClient) {
        QByteArray received;
        QVERIFY(exchange(
            server, "GET " + requested + " HTTP/1.1\r\nConnection: close\r\n\r\n", received));
        QVERIFY2(received.startsWith("HTTP/1.1 200 OK\r\n"), received.constData());
        QVERIFY2(received.endsWith("\r\n\r\n" + content), received.constData());
    } else {
        QNetworkAccessManager manager;
        std::unique_ptr<QNetworkReply> reply(manager.get(requestFor(server, requested)));
        QVERIFY(waitFinished(reply.get()));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(reply->readAll(), content);
    }
    QCOMPARE(server.requestedPaths(), QList<QByteArray> {requested});
    QCOMPARE(server.requestCount(requested), 1);
}

void tst_TestServer::verbs_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("requestBody");
    QTest::addColumn<QByteArray>("replyBody");

    QTest::newRow("get") << QByteArray("GET") << QByteArray() << QByteArray("answer");
    QTest::newRow("post") << QByteArray("POST") << QByteArray("a=1&b=2") << QByteArray("answer");
    QTest::newRow("put") << QByteArray("PUT") << QByteArray(70000, 'p') << QByteArray("answer");
    QTest::newRow("custom") << QByteArray("FOO") << QByteArray("x") << QByteArray("answer");
    QTest::newRow("head") << QByteArray("HEAD") << QByteArray() << QByteArray();
}

void tst_TestServer::verbs()
{
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, requestBody);
    QFETCH(QByteArray, replyBody);

    TestServer server;
    QNetworkAccessManager manager;
    server.setFile("/v", "answer");

    QNetworkRequest request = requestFor(server, "/v");
    request.setRawHeader("X-Client", "tst");
    std::unique_ptr<QNetworkReply> reply(send(manager, request, verb, requestBody));
    QVERIFY(waitFinished(reply.get()));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), replyBody);
    // a HEAD answer announces the length of the body it leaves out
    QCOMPARE(reply->rawHeader("Content-Length"), QByteArray("6"));

    const QList<TestServer::Request> log = server.requests();
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.first().verb, verb);
    QCOMPARE(log.first().rawPath, QByteArray("/v"));
    QCOMPARE(log.first().header("x-client"), QByteArray("tst"));
    QCOMPARE(log.first().body, requestBody);
}

void tst_TestServer::redirect_data()
{
    QTest::addColumn<int>("status");

    for (int status : {301, 302, 303, 307, 308})
        QTest::newRow(QByteArray::number(status).constData()) << status;
}

void tst_TestServer::redirect()
{
    QFETCH(int, status);

    TestServer server;
    QNetworkAccessManager manager;
    server.setRedirect("/old", status, "/new");
    server.setFile("/new", "moved here");

    QNetworkRequest request = requestFor(server, "/old");
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QVERIFY(waitFinished(reply.get()));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray("moved here"));
    QCOMPARE(reply->url().path(), QStringLiteral("/new"));
    // When Qt 5.15 follows a redirect from a server in its own process it now and then sends the
    // first request a second time on the same connection (seen in the raw bytes, never with the
    // server in another process); the order of what arrived is what matters here.
    const QList<QByteArray> paths = server.requestedPaths();
    QVERIFY(!paths.isEmpty());
    QCOMPARE(paths.first(), QByteArray("/old"));
    QCOMPARE(paths.last(), QByteArray("/new"));
    QCOMPARE(server.requestCount("/new"), 1);
    QCOMPARE(server.requestCount("/old") + 1, paths.size());
}

void tst_TestServer::delay()
{
    TestServer server;
    QNetworkAccessManager manager;
    TestServer::Response response = body("late");
    response.delayMs = 300;
    server.setResponse("/slow", response);
    QSignalSpy received(&server, &TestServer::requestReceived);

    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QNetworkReply> reply(manager.get(requestFor(server, "/slow")));
    QVERIFY(received.wait());
    // logged on arrival, answered only later
    QCOMPARE(server.requestCount("/slow"), 1);
    QVERIFY(!reply->isFinished());
    QVERIFY(waitFinished(reply.get()));
    QVERIFY2(timer.elapsed() >= 300, QByteArray::number(timer.elapsed()).constData());
    QCOMPARE(reply->readAll(), QByteArray("late"));
}

void tst_TestServer::drip()
{
    TestServer server;
    QNetworkAccessManager manager;
    TestServer::Response response = body("0123456789");
    response.chunkSize = 4;
    response.chunkIntervalMs = 100;
    server.setResponse("/drip", response);

    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QNetworkReply> reply(manager.get(requestFor(server, "/drip")));
    QByteArray received;
    int pieces = 0;
    connect(reply.get(), &QNetworkReply::readyRead, this, [&] {
        received += reply->readAll();
        ++pieces;
    });
    QVERIFY(waitFinished(reply.get()));
    received += reply->readAll();
    QCOMPARE(received, QByteArray("0123456789"));
    QCOMPARE(pieces, 3);
    QVERIFY2(timer.elapsed() >= 200, QByteArray::number(timer.elapsed()).constData());
}

void tst_TestServer::truncation_data()
{
    QTest::addColumn<TestServer::Response>("response");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("lengthField");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<bool>("closes");

    const QByteArray full(100, 'x');
    QTest::newRow("complete") << body(full) << full << QByteArray("100") << false << false;

    TestServer::Response response = body(full);
    response.closeAfterBytes = 40;
    QTest::newRow("close-after") << response << full.left(40) << QByteArray("100") << true << true;

    response.contentLength = false;
    QTest::newRow("close-after-no-length")
        << response << full.left(40) << QByteArray() << false << true;

    response = body(full);
    response.contentLength = false;
    QTest::newRow("no-content-length") << response << full << QByteArray() << false << true;

    response = body(full);
    response.declaredLength = 150;
    QTest::newRow("declared-longer") << response << full << QByteArray("150") << true << true;

    response = body(full);
    response.closeConnection = true;
    QTest::newRow("close-connection") << response << full << QByteArray("100") << false << true;
}

void tst_TestServer::truncation()
{
    QFETCH(TestServer::Response, response);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, lengthField);
    QFETCH(bool, fails);
    QFETCH(bool, closes);

    TestServer server;
    QNetworkAccessManager manager;
    server.setResponse("/t", response);

    std::unique_ptr<QNetworkReply> reply(manager.get(requestFor(server, "/t")));
    QVERIFY(waitFinished(reply.get()));
    QCOMPARE(reply->readAll(), body);
    QCOMPARE(reply->rawHeader("Content-Length"), lengthField);
    QCOMPARE(reply->error() != QNetworkReply::NoError, fails);
    if (closes)
        QTRY_COMPARE(server.openConnections(), 0);
    else
        QCOMPARE(server.openConnections(), 1);
}

void tst_TestServer::stall_data()
{
    QTest::addColumn<bool>("contentLength");

    // without a length a stall must not turn into the close that would end the body
    QTest::newRow("with-length") << true;
    QTest::newRow("without-length") << false;
}

void tst_TestServer::stall()
{
    QFETCH(bool, contentLength);

    TestServer server;
    QNetworkAccessManager manager;
    TestServer::Response response = body(QByteArray(100, 's'));
    response.stallAfterBytes = 30;
    response.contentLength = contentLength;
    server.setResponse("/stall", response);

    std::unique_ptr<QNetworkReply> reply(manager.get(requestFor(server, "/stall")));
    QTRY_COMPARE(reply->bytesAvailable(), qint64(30));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(!finished.wait(500));
    QCOMPARE(reply->bytesAvailable(), qint64(30));
    QCOMPARE(server.openConnections(), 1);
}

void tst_TestServer::clientAbort_data()
{
    QTest::addColumn<TestServer::Response>("response");
    QTest::addColumn<bool>("waitForData");

    TestServer::Response response = body("never sent");
    response.delayMs = 60000;
    QTest::newRow("during-delay") << response << false;

    response = body(QByteArray(1000, 'd'));
    response.chunkSize = 10;
    response.chunkIntervalMs = 20;
    QTest::newRow("during-drip") << response << true;

    response = body(QByteArray(1000, 's'));
    response.stallAfterBytes = 10;
    QTest::newRow("during-stall") << response << true;

    response = TestServer::Response();
    response.bodyFile = bigFile;
    response.chunkSize = 64 * 1024;
    response.chunkIntervalMs = 10;
    QTest::newRow("during-file") << response << true;
}

void tst_TestServer::clientAbort()
{
    QFETCH(TestServer::Response, response);
    QFETCH(bool, waitForData);

    TestServer server;
    server.setResponse("/gone", response);
    server.setFile("/after", "still serving");
    QSignalSpy received(&server, &TestServer::requestReceived);
    {
        QNetworkAccessManager manager;
        std::unique_ptr<QNetworkReply> reply(manager.get(requestFor(server, "/gone")));
        if (waitForData)
            QTRY_VERIFY(reply->bytesAvailable() > 0);
        else
            QVERIFY(received.wait());
        QCOMPARE(server.openConnections(), 1);
        reply->abort();
    }
    QTRY_COMPARE(server.openConnections(), 0);

    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(requestFor(server, "/after")));
    QVERIFY(waitFinished(reply.get()));
    QCOMPARE(reply->readAll(), QByteArray("still serving"));
}

void tst_TestServer::keepAlive_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("requestBody");

    // a body left unread or an answer body sent to a HEAD would corrupt the second exchange
    QTest::newRow("get") << QByteArray("GET") << QByteArray();
    QTest::newRow("post") << QByteArray("POST") << QByteArray("form=data");
    QTest::newRow("head") << QByteArray("HEAD") << QByteArray();
    QTest::newRow("custom") << QByteArray("FOO") << QByteArray("payload");
}

void tst_TestServer::keepAlive()
{
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, requestBody);

    TestServer server;
    QNetworkAccessManager manager;
    server.setFile("/first", "first answer");
    server.setFile("/second", "second answer");

    std::unique_ptr<QNetworkReply> first(
        send(manager, requestFor(server, "/first"), verb, requestBody));
    QVERIFY(waitFinished(first.get()));
    QCOMPARE(first->error(), QNetworkReply::NoError);
    std::unique_ptr<QNetworkReply> second(manager.get(requestFor(server, "/second")));
    QVERIFY(waitFinished(second.get()));
    QCOMPARE(second->error(), QNetworkReply::NoError);
    QCOMPARE(second->readAll(), QByteArray("second answer"));

    const QList<TestServer::Request> log = server.requests();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0).verb, verb);
    QCOMPARE(log.at(0).body, requestBody);
    QCOMPARE(log.at(1).verb, QByteArray("GET"));
    QCOMPARE(log.at(0).connection, log.at(1).connection);
    QCOMPARE(server.openConnections(), 1);
}

void tst_TestServer::rawSocket_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("loggedBody");

    const QByteArray answer = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none";
    const QByteArray lastAnswer
        = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\none";

    QTest::newRow("pipelined") << QByteArray("GET /one HTTP/1.1\r\nHost: x\r\n\r\n"
                                             "GET /one HTTP/1.1\r\nConnection: close\r\n\r\n")
                               << QByteArray(answer + lastAnswer) << QByteArray();
    QTest::newRow("http-1.0") << QByteArray("GET /one HTTP/1.0\r\n\r\n") << lastAnswer
                              << QByteArray();
    QTest::newRow("bare-newlines")
        << QByteArray("GET /one HTTP/1.1\nConnection: close\n\n") << lastAnswer << QByteArray();
    QTest::newRow("chunked-upload")
        << QByteArray("POST /one HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
                      "Connection: close\r\n\r\n4;ext=1\r\nWiki\r\n5\r\npedia\r\n0\r\n\r\n")
        << lastAnswer << QByteArray("Wikipedia");
    QTest::newRow("malformed") << QByteArray("GARBAGE\r\n\r\n")
                               << QByteArray("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                                             "Connection: close\r\n\r\n")
                               << QByteArray();
    QTest::newRow("bad-length") << QByteArray("POST /one HTTP/1.1\r\nContent-Length: -5\r\n\r\n")
                                << QByteArray("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                                              "Connection: close\r\n\r\n")
                                << QByteArray();
    QTest::newRow("body-too-large")
        << QByteArray("POST /one HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\n")
        << QByteArray("HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n"
                      "Connection: close\r\n\r\n")
        << QByteArray();
    QTest::newRow("head-too-large")
        << QByteArray("GET /one HTTP/1.1\r\nX-Filler: " + QByteArray(70000, 'f') + "\r\n\r\n")
        << QByteArray("HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
                      "Connection: close\r\n\r\n")
        << QByteArray();
}

void tst_TestServer::rawSocket()
{
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, loggedBody);

    TestServer server;
    server.setFile("/one", "one");
    if (!expected.startsWith("HTTP/1.1 200"))
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("^TestServer: refusing a request")));

    // every row ends with the server closing the connection
    QByteArray received;
    QVERIFY(exchange(server, sent, received));
    QCOMPARE(received, expected);
    if (!loggedBody.isNull())
        QCOMPARE(server.requests().last().body, loggedBody);
}

void tst_TestServer::destroyWithOpenConnections()
{
    auto server = std::make_unique<TestServer>();
    QNetworkAccessManager manager;
    TestServer::Response response = body(QByteArray(100, 's'));
    response.stallAfterBytes = 50;
    server->setResponse("/stall", response);

    // two requests at once travel on two connections, both stuck mid-body
    std::unique_ptr<QNetworkReply> first(manager.get(requestFor(*server, "/stall")));
    std::unique_ptr<QNetworkReply> second(manager.get(requestFor(*server, "/stall")));
    QTRY_COMPARE(first->bytesAvailable(), qint64(50));
    QTRY_COMPARE(second->bytesAvailable(), qint64(50));
    QCOMPARE(server->openConnections(), 2);

    server.reset();
    QVERIFY(waitFinished(first.get()));
    QVERIFY(waitFinished(second.get()));
    QVERIFY(first->error() != QNetworkReply::NoError);
    QVERIFY(second->error() != QNetworkReply::NoError);
}

QTEST_GUILESS_MAIN(tst_TestServer)

#include "tst_testserver.moc"
