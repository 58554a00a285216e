#include "testserver.h"

#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

// Bodies go to the socket a piece at a time and only while little is waiting in its buffer;
// the next piece follows on bytesWritten. Serving a file of a gigabyte then costs about a
// megabyte of memory.
const qint64 PieceSize = 256 * 1024;
const qint64 HighWater = 1024 * 1024;
// a request head that has not ended by this size is refused
const int MaxHeadSize = 64 * 1024;
// request bodies are kept whole in the log
const qint64 MaxRequestBody = 512 * 1024 * 1024;

enum class Parse { Incomplete, Complete, Malformed, HeadTooLarge, BodyTooLarge };

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return QByteArrayLiteral("Continue");
    case 200:
        return QByteArrayLiteral("OK");
    case 201:
        return QByteArrayLiteral("Created");
    case 202:
        return QByteArrayLiteral("Accepted");
    case 204:
        return QByteArrayLiteral("No Content");
    case 206:
        return QByteArrayLiteral("Partial Content");
    case 301:
        return QByteArrayLiteral("Moved Permanently");
    case 302:
        return QByteArrayLiteral("Found");
    case 303:
        return QByteArrayLiteral("See Other");
    case 304:
        return QByteArrayLiteral("Not Modified");
    case 307:
        return QByteArrayLiteral("Temporary Redirect");
    case 308:
        return QByteArrayLiteral("Permanent Redirect");
    case 400:
        return QByteArrayLiteral("Bad Request");
    case 401:
        return QByteArrayLiteral("Unauthorized");
    case 403:
        return QByteArrayLiteral("Forbidden");
    case 404:
        return QByteArrayLiteral("Not Found");
    case 405:
        return QByteArrayLiteral("Method Not Allowed");
    case 408:
        return QByteArrayLiteral("Request Timeout");
    case 410:
        return QByteArrayLiteral("Gone");
    case 411:
        return QByteArrayLiteral("Length Required");
    case 413:
        return QByteArrayLiteral("Payload Too Large");
    case 416:
        return QByteArrayLiteral("Range Not Satisfiable");
    case 429:
        return QByteArrayLiteral("Too Many Requests");
    case 431:
        return QByteArrayLiteral("Request Header Fields Too Large");
    case 500:
        return QByteArrayLiteral("Internal Server Error");
    case 501:
        return QByteArrayLiteral("Not Implemented");
    case 502:
        return QByteArrayLiteral("Bad Gateway");
    case 503:
        return QByteArrayLiteral("Service Unavailable");
    case 504:
        return QByteArrayLiteral("Gateway Timeout");
    }
    return QByteArrayLiteral("Unknown");
}

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

bool hasHeader(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// whether a comma-separated header value such as "keep-alive, Upgrade" holds the token
bool hasToken(const QByteArray &value, const QByteArray &token)
{
    const QList<QByteArray> items = value.split(',');
    for (const QByteArray &item : items) {
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isHexNumber(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

bool isDecimalNumber(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Index just past the empty line that ends a request head, or -1 while it has not arrived.
// Lines may end in CRLF or in a bare LF.
int headEnd(const QByteArray &data)
{
    int position = 0;
    for (;;) {
        const int newline = data.indexOf('\n', position);
        if (newline < 0)
            return -1;
        int length = newline - position;
        if (length > 0 && data.at(newline - 1) == '\r')
            --length;
        if (length == 0 && position > 0)
            return newline + 1;
        position = newline + 1;
    }
}

// Decodes a chunked request body that starts at offset from; end is set just past it.
Parse decodeChunked(const QByteArray &data, int from, QByteArray &body, int &end)
{
    body.clear();
    int position = from;
    for (;;) {
        const int lineEnd = data.indexOf("\r\n", position);
        if (lineEnd < 0)
            return data.size() - position > 1024 ? Parse::Malformed : Parse::Incomplete;
        QByteArray sizeField = data.mid(position, lineEnd - position);
        const int semicolon = sizeField.indexOf(';');
        if (semicolon >= 0)
            sizeField.truncate(semicolon);
        sizeField = sizeField.trimmed();
        if (!isHexNumber(sizeField) || sizeField.size() > 8)
            return Parse::Malformed;
        const qint64 size = sizeField.toLongLong(nullptr, 16);
        position = lineEnd + 2;
        if (size == 0) {
            // trailer fields, if any, up to an empty line
            for (;;) {
                const int trailerEnd = data.indexOf("\r\n", position);
                if (trailerEnd < 0)
                    return Parse::Incomplete;
                if (trailerEnd == position) {
                    end = trailerEnd + 2;
                    return Parse::Complete;
                }
                position = trailerEnd + 2;
            }
        }
        if (body.size() + size > MaxRequestBody)
            return Parse::BodyTooLarge;
        if (data.size() - position < size + 2)
            return Parse::Incomplete;
        if (data.at(position + int(size)) != '\r' || data.at(position + int(size) + 1) != '\n')
            return Parse::Malformed;
        body.append(data.constData() + position, int(size));
        position += int(size) + 2;
    }
}

} // namespace

// One accepted socket. Requests on it are answered strictly one after another; whatever
// arrives while an answer is going out waits in the input buffer.
class TestServerConnection : public QObject
{
    Q_OBJECT
public:
    TestServerConnection(TestServer *server, QTcpSocket *socket, int serial);
    ~TestServerConnection() override;

private:
    enum class State { Idle, Delaying, Sending, Stalled, Closing, Gone };

    void readInput();
    void processInput();
    Parse parseRequest(TestServer::Request &request, bool &keepAlive, int &consumed);
    void answer(const TestServer::Request &request, bool keepAlive);
    void beginResponse();
    QByteArray responseHead() const;
    void pump();
    bool writeBody(qint64 size);
    void endBody();
    void refuse(int status);
    void closeGracefully();
    void handleDisconnected();

    bool hasNoBody() const;
    bool isDripping() const { return response.chunkSize > 0 && response.chunkIntervalMs > 0; }

    TestServer *server;
    QTcpSocket *socket;
    int serial;
    State state = State::Idle;
    QByteArray input;
    bool processing = false;
    bool continueSent = false;

    // the answer going out
    TestServer::Response response;
    bool headRequest = false;
    bool clientWantsClose = false;
    std::unique_ptr<QFile> file;
    qint64 bodySize = 0;
    qint64 bodyLimit = 0;
    qint64 bodySent = 0;
    QTimer delayTimer;
    QTimer dripTimer;
};

TestServerConnection::TestServerConnection(TestServer *server, QTcpSocket *socket, int serial)
    : QObject(server)
    , server(server)
    , socket(socket)
    , serial(serial)
{
    socket->setParent(this);
    delayTimer.setSingleShot(true);
    delayTimer.setTimerType(Qt::PreciseTimer);
    dripTimer.setSingleShot(true);
    dripTimer.setTimerType(Qt::PreciseTimer);

    connect(socket, &QTcpSocket::readyRead, this, &TestServerConnection::readInput);
    connect(socket, &QTcpSocket::bytesWritten, this, &TestServerConnection::pump);
    connect(socket, &QTcpSocket::disconnected, this, &TestServerConnection::handleDisconnected);
    connect(&delayTimer, &QTimer::timeout, this, &TestServerConnection::beginResponse);
    connect(&dripTimer, &QTimer::timeout, this, &TestServerConnection::pump);
}

TestServerConnection::~TestServerConnection()
{
    // the server is going away with this connection still open: cut it without calling back
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
}

void TestServerConnection::readInput()
{
    if (state == State::Stalled || state == State::Closing || state == State::Gone) {
        socket->readAll(); // nobody will answer this any more
        return;
    }
    input += socket->readAll();
    processInput();
}

void TestServerConnection::processInput()
{
    // an answer that completes at once ends in here again; the outer loop carries on
    if (processing)
        return;
    processing = true;
    QPointer<TestServerConnection> self(this);
    while (self && state == State::Idle && !input.isEmpty()) {
        TestServer::Request request;
        bool keepAlive = true;
        int consumed = 0;
        const Parse result = parseRequest(request, keepAlive, consumed);
        if (result == Parse::Incomplete)
            break;
        if (result == Parse::Malformed) {
            refuse(400);
            break;
        }
        if (result == Parse::HeadTooLarge) {
            refuse(431);
            break;
        }
        if (result == Parse::BodyTooLarge) {
            refuse(413);
            break;
        }
        input.remove(0, consumed);
        continueSent = false;
        answer(request, keepAlive);
    }
    if (self)
        processing = false;
}

Parse TestServerConnection::parseRequest(
    TestServer::Request &request, bool &keepAlive, int &consumed)
{
    // empty lines ahead of a request line are to be ignored
    int start = 0;
    while (start < input.size() && (input.at(start) == '\r' || input.at(start) == '\n'))
        ++start;
    input.remove(0, start);

    const int bodyStart = headEnd(input);
    if (bodyStart < 0)
        return input.size() > MaxHeadSize ? Parse::HeadTooLarge : Parse::Incomplete;
    if (bodyStart > MaxHeadSize)
        return Parse::HeadTooLarge;

    QList<QByteArray> lines = input.left(bodyStart).split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }

    const QList<QByteArray> requestLine = lines.first().split(' ');
    if (requestLine.size() != 3 || requestLine.at(0).isEmpty() || requestLine.at(1).isEmpty()
        || !requestLine.at(2).startsWith("HTTP/1.")) {
        return Parse::Malformed;
    }
    request.verb = requestLine.at(0);
    request.rawPath = requestLine.at(1);
    request.connection = serial;
    const bool http11 = requestLine.at(2) != "HTTP/1.0";

    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if (line.isEmpty())
            continue;
        const int colon = line.indexOf(':');
        // folded continuation lines are obsolete and refused, as are names with blanks
        if (colon <= 0 || line.at(0) == ' ' || line.at(0) == '\t' || line.left(colon).contains(' ')
            || line.left(colon).contains('\t')) {
            return Parse::Malformed;
        }
        request.headers.append(qMakePair(line.left(colon), line.mid(colon + 1).trimmed()));
    }

    const QByteArray connectionHeader = request.header("Connection");
    keepAlive
        = http11 ? !hasToken(connectionHeader, "close") : hasToken(connectionHeader, "keep-alive");

    const QByteArray transferEncoding = request.header("Transfer-Encoding");
    if (!transferEncoding.isNull()) {
        if (transferEncoding.trimmed().compare("chunked", Qt::CaseInsensitive) != 0)
            return Parse::Malformed; // no other coding is understood here
        int end = 0;
        const Parse result = decodeChunked(input, bodyStart, request.body, end);
        if (result == Parse::Complete)
            consumed = end;
        return result;
    }

    // a body has the one length all Content-Length fields agree on; none means no body
    qint64 length = 0;
    QByteArray lengthText;
    for (const auto &header : qAsConst(request.headers)) {
        if (header.first.compare("Content-Length", Qt::CaseInsensitive) != 0)
            continue;
        if (!isDecimalNumber(header.second) || header.second.size() > 12
            || (!lengthText.isNull() && header.second != lengthText)) {
            return Parse::Malformed;
        }
        lengthText = header.second;
        length = lengthText.toLongLong();
    }
    if (length > MaxRequestBody)
        return Parse::BodyTooLarge;
    if (input.size() - bodyStart < length) {
        if (!continueSent && hasToken(request.header("Expect"), "100-continue")) {
            socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            continueSent = true;
        }
        return Parse::Incomplete;
    }
    request.body = input.mid(bodyStart, int(length));
    consumed = bodyStart + int(length);
    return Parse::Complete;
}

void TestServerConnection::answer(const TestServer::Request &request, bool keepAlive)
{
    state = State::Delaying;
    // the request is in the log before a single byte of the answer leaves
    QPointer<TestServerConnection> self(this);
    server->recordRequest(request);
    if (!self || state != State::Delaying)
        return; // whoever handled requestReceived closed this connection or the server
    response = server->responseFor(request.rawPath);
    headRequest = request.verb == "HEAD";
    clientWantsClose = !keepAlive;
    if (response.delayMs > 0)
        delayTimer.start(response.delayMs);
    else
        beginResponse();
}

bool TestServerConnection::hasNoBody() const
{
    // answers to HEAD, 1xx, 204 and 304 never carry a body whatever the script says; sending
    // one would be read as the start of the next answer
    return headRequest || (response.status >= 100 && response.status < 200)
        || response.status == 204 || response.status == 304;
}

void TestServerConnection::beginResponse()
{
    if (state != State::Delaying)
        return;
    state = State::Sending;
    bodySent = 0;
    file.reset();
    if (!response.bodyFile.isEmpty()) {
        file = std::make_unique<QFile>(response.bodyFile);
        if (file->open(QIODevice::ReadOnly)) {
            bodySize = file->size();
        } else {
            // never a 200 with a wrong body: the test sees a server error
            const QByteArray message = "cannot open " + QFile::encodeName(response.bodyFile) + ": "
                + file->errorString().toUtf8() + '\n';
            qWarning("TestServer: %s", message.trimmed().constData());
            file.reset();
            response = TestServer::Response();
            response.status = 500;
            response.body = message;
            bodySize = message.size();
        }
    } else {
        bodySize = response.body.size();
    }

    bodyLimit = 0;
    if (!hasNoBody()) {
        bodyLimit = bodySize;
        if (response.closeAfterBytes >= 0)
            bodyLimit = qMin(bodyLimit, response.closeAfterBytes);
        if (response.stallAfterBytes >= 0)
            bodyLimit = qMin(bodyLimit, response.stallAfterBytes);
    }
    if (headRequest)
        file.reset(); // its size was all a HEAD needs

    socket->write(responseHead());
    pump();
}

QByteArray TestServerConnection::responseHead() const
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + (response.reason.isEmpty() ? reasonPhrase(response.status) : response.reason) + "\r\n";
    for (const auto &header : response.headers)
        head += header.first + ": " + header.second + "\r\n";

    const bool noLengthField
        = response.status < 200 || response.status == 204 || response.status == 304;
    if (response.contentLength && !noLengthField
        && !hasHeader(response.headers, "Content-Length")) {
        const qint64 length = response.declaredLength >= 0 ? response.declaredLength : bodySize;
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    const bool announcedClose
        = response.closeConnection || clientWantsClose || (!response.contentLength && !hasNoBody());
    if (announcedClose && !hasHeader(response.headers, "Connection"))
        head += "Connection: close\r\n";
    head += "\r\n";
    return head;
}

void TestServerConnection::pump()
{
    while (state == State::Sending && bodySent < bodyLimit) {
        if (isDripping() ? dripTimer.isActive() : socket->bytesToWrite() >= HighWater)
            return; // the timer or the next bytesWritten brings us back
        const qint64 pieceSize = response.chunkSize > 0 ? response.chunkSize : PieceSize;
        if (!writeBody(qMin(pieceSize, bodyLimit - bodySent)))
            return;
        if (isDripping() && bodySent < bodyLimit) {
            dripTimer.start(response.chunkIntervalMs);
            return;
        }
    }
    if (state == State::Sending && bodySent == bodyLimit)
        endBody();
}

bool TestServerConnection::writeBody(qint64 size)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return false; // the client went away; disconnected() cleans up
    qint64 written = 0;
    if (file) {
        const QByteArray piece = file->read(size);
        if (piece.size() != size) {
            // the file shrank or failed under us; cutting the connection makes the client see
            // a short body instead of a complete-looking wrong one
            qWarning("TestServer: cannot read %s: %s", qPrintable(response.bodyFile),
                qPrintable(file->errorString()));
            socket->abort();
            return false;
        }
        written = socket->write(piece);
    } else {
        written = socket->write(response.body.constData() + bodySent, size);
    }
    if (written != size) {
        socket->abort();
        return false;
    }
    bodySent += size;
    return true;
}

void TestServerConnection::endBody()
{
    file.reset();
    const bool body = !hasNoBody();
    const bool closeFirst = body && response.closeAfterBytes >= 0
        && (response.stallAfterBytes < 0 || response.closeAfterBytes <= response.stallAfterBytes);
    if (body && response.stallAfterBytes >= 0 && !closeFirst) {
        state = State::Stalled;
        return;
    }
    const bool lengthWrong = body && response.contentLength && response.declaredLength >= 0
        && response.declaredLength != bodySize;
    if (closeFirst || lengthWrong || response.closeConnection || clientWantsClose
        || (body && !response.contentLength)) {
        closeGracefully();
        return;
    }
    state = State::Idle;
    processInput();
}

void TestServerConnection::refuse(int status)
{
    qWarning("TestServer: refusing a request with %d", status);
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
        + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    closeGracefully();
}

void TestServerConnection::closeGracefully()
{
    state = State::Closing;
    delayTimer.stop();
    dripTimer.stop();
    file.reset();
    input.clear();
    // sends what is still buffered, then closes; may call handleDisconnected right away
    socket->disconnectFromHost();
}

void TestServerConnection::handleDisconnected()
{
    if (state == State::Gone)
        return;
    state = State::Gone;
    delayTimer.stop();
    dripTimer.stop();
    file.reset();
    input.clear();
    server->forgetConnection(this);
    deleteLater();
}

QByteArray TestServer::Request::header(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second.isNull() ? QByteArray("") : header.second;
    }
    return QByteArray();
}

TestServer::TestServer(QObject *parent)
    : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &TestServer::acceptConnections);
    if (!listen(QHostAddress::LocalHost, 0))
        qWarning("TestServer: cannot listen: %s", qPrintable(errorString()));
}

TestServer::~TestServer()
{
    close();
    const QList<TestServerConnection *> open = connections;
    connections.clear();
    qDeleteAll(open);
}

QString TestServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(serverPort());
}

QString TestServer::url(const QByteArray &rawPath) const
{
    return baseUrl() + QString::fromLatin1(rawPath);
}

void TestServer::setResponse(const QByteArray &rawPath, const Response &response)
{
    responses.insert(rawPath, response);
}

void TestServer::setFile(const QByteArray &rawPath, const QByteArray &body)
{
    Response response;
    response.body = body;
    setResponse(rawPath, response);
}

void TestServer::setRedirect(const QByteArray &rawPath, int status, const QByteArray &location)
{
    Response response;
    response.status = status;
    response.headers.append(qMakePair(QByteArrayLiteral("Location"), location));
    setResponse(rawPath, response);
}

void TestServer::removeResponse(const QByteArray &rawPath)
{
    responses.remove(rawPath);
}

void TestServer::setDefaultResponse(const Response &response)
{
    defaultResponse = response;
}

QList<TestServer::Request> TestServer::requests() const
{
    return requestLog;
}

QList<QByteArray> TestServer::requestedPaths() const
{
    QList<QByteArray> paths;
    paths.reserve(requestLog.size());
    for (const Request &request : requestLog)
        paths.append(request.rawPath);
    return paths;
}

int TestServer::requestCount(const QByteArray &rawPath) const
{
    int count = 0;
    for (const Request &request : requestLog) {
        if (request.rawPath == rawPath)
            ++count;
    }
    return count;
}

void TestServer::clearLog()
{
    requestLog.clear();
}

int TestServer::openConnections() const
{
    return connections.size();
}

void TestServer::acceptConnections()
{
    while (QTcpSocket *socket = nextPendingConnection())
        connections.append(new TestServerConnection(this, socket, ++connectionSerial));
}

void TestServer::recordRequest(const Request &request)
{
    requestLog.append(request);
    emit requestReceived(request.rawPath);
}

TestServer::Response TestServer::responseFor(const QByteArray &rawPath) const
{
    auto it = responses.constFind(rawPath);
    if (it == responses.constEnd()) {
        const int query = rawPath.indexOf('?');
        if (query >= 0)
            it = responses.constFind(rawPath.left(query));
    }
    return it == responses.constEnd() ? defaultResponse : it.value();
}

void TestServer::forgetConnection(TestServerConnection *connection)
{
    connections.removeOne(connection);
}

TestServer::Response TestServer::notFound()
{
    Response response;
    response.status = 404;
    response.body = QByteArrayLiteral("not found\n");
    return response;
}

#include "testserver.moc"
