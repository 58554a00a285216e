#ifndef TESTSERVER_H
#define TESTSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QTcpServer>

class TestServerConnection;

// A scriptable HTTP/1.1 server for the network tests, after the MiniHttpServer of Qt's own
// network tests. It listens on 127.0.0.1 on a free port and lives in the test's event loop, so
// nothing in it may block: delays and slow drips are timers, and bodies are handed to the socket
// only as fast as it drains, which keeps memory flat even for a body of gigabytes.
//
// Answers are looked up by the raw request target exactly as the client sent it; a target with
// a query that has no answer of its own falls back to the answer for its path without the query.
// Connections are persistent unless the client or the scripted answer says otherwise.
class TestServer : public QTcpServer
{
    Q_OBJECT
public:
    struct Response
    {
        int status = 200;
        QByteArray reason; // empty: a standard reason phrase for the status
        // extra headers, sent in this order; a Content-Length or Connection given here replaces
        // the one the server would add itself
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        QString bodyFile; // when set, the body is streamed from this file, never loaded whole
        int delayMs = 0; // wait this long before sending anything
        int chunkSize = 0; // > 0: send the body in pieces of this size ...
        int chunkIntervalMs = 0; // ... this far apart (a slow drip)
        // >= 0: close the connection after this many body bytes (after the whole body when it
        // is shorter)
        qint64 closeAfterBytes = -1;
        // >= 0: after this many body bytes send nothing more but keep the connection open; when
        // both limits are set the smaller one acts
        qint64 stallAfterBytes = -1;
        bool contentLength = true; // false: no Content-Length; the body ends by closing
        // >= 0: announce this Content-Length instead of the real one; the real body is sent and
        // the connection closed after it, since the client can no longer find the next answer
        qint64 declaredLength = -1;
        bool closeConnection = false; // answer with "Connection: close" and close after the body
    };

    struct Request
    {
        QByteArray verb;
        QByteArray rawPath; // exactly as on the request line, double slashes and %-escapes kept
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        int connection = 0; // serial number of the connection it arrived on, counted from 1

        // the first header of that name, compared case-insensitively; a null array when absent
        QByteArray header(const QByteArray &name) const;
    };

    explicit TestServer(QObject *parent = nullptr); // listens at once
    ~TestServer() override;

    QString baseUrl() const; // "http://127.0.0.1:PORT", no trailing slash
    QString url(const QByteArray &rawPath) const; // baseUrl() + rawPath

    void setResponse(const QByteArray &rawPath, const Response &response);
    void setFile(const QByteArray &rawPath, const QByteArray &body); // 200 with that body
    void setRedirect(const QByteArray &rawPath, int status, const QByteArray &location);
    void removeResponse(const QByteArray &rawPath);
    void setDefaultResponse(const Response &response); // for unknown paths; initially a 404

    QList<Request> requests() const; // every request received, in order
    QList<QByteArray> requestedPaths() const;
    int requestCount(const QByteArray &rawPath) const;
    void clearLog();
    int openConnections() const;

signals:
    // emitted once a request has arrived whole and is in the log, before any answer is sent
    void requestReceived(const QByteArray &rawPath);

private:
    friend class TestServerConnection;

    void acceptConnections();
    void recordRequest(const Request &request);
    Response responseFor(const QByteArray &rawPath) const;
    void forgetConnection(TestServerConnection *connection);

    static Response notFound();

    QHash<QByteArray, Response> responses;
    Response defaultResponse = notFound();
    QList<Request> requestLog;
    QList<TestServerConnection *> connections;
    int connectionSerial = 0;
};

Q_DECLARE_METATYPE(TestServer::Response)

#endif // TESTSERVER_H
