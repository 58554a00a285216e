#ifndef TRANSFERREQUEST_H
#define TRANSFERREQUEST_H

#include "transfersettings.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class BodySink;
class QNetworkAccessManager;
class QNetworkReply;

// The request for one file (or its patch) and its limits: redirections, each followed here as a
// request of its own, only where net/ allows and only so many; the stall limit; the minimum rate
// over each window; what the network layer may hold of the body. The body of the file's answer
// goes to the sink as it arrives; the body of any other answer is only counted and cut short
// when it goes on. Ends with ended(), once for each answer that is not followed, unless aborted
// first; what ended it is then end().
class TransferRequest : public QObject
{
    Q_OBJECT

public:
    // why the last answer ended, in the order it is decided
    enum class End {
        Stalled, // no byte within the stall limit
        TooSlow, // below the minimum rate over a window
        TooManyRedirects,
        InsecureRedirect, // to a place net/ does not let a download go
        NotTheFile, // an answer that is not the file: status() and errorText() say which
        Body, // the file's body, whole or not: the sink has had all of it
    };

    TransferRequest(QNetworkAccessManager &manager, const TransferSettings &settings,
        qint64 replyBufferSize, BodySink &sink, QObject *parent = nullptr);
    ~TransferRequest() override;

    // Asks for the bytes from the first on, guarded by If-Range with the validator they were
    // fetched under, in the requests sent from now on (first 0: all of it). A 206 answer is
    // then the file's body too.
    void setRange(qint64 first, const QByteArray &validator);
    // the first request of a transfer: the redirections and the rate window count from here
    bool start(const QUrl &url);
    // a request within the same transfer (the file again)
    bool send(const QUrl &url);
    // Ends the answer in flight from within answered(): it is not the file's body that was
    // asked for. Its end is then refused().
    void refuseAnswer();
    // the request in flight ended, without a signal
    void abort();

    // of the last answer that ended
    End end() const;
    bool refused() const { return answerRefused; }
    int status() const { return answerStatus; }
    // Qt's own text for a redirection that was not followed, untranslated
    static const char *redirectReason(End end);
    QString errorText() const { return answerError; }
    // the bytes of the file before the current answer's first, which it does not send
    void setProgressOffset(qint64 bytes) { progressOffset = bytes; }
    qint64 offset() const { return progressOffset; }
    qint64 bytesReceived() const { return progressReceived; }
    qint64 bytesTotal() const { return progressTotal; }

signals:
    // an answer's status and headers, before its first byte is taken
    void answered(QNetworkReply *reply);
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void ended();

private:
    bool isFileBody(int status) const;
    void onMetaData();
    void onReadyRead();
    void onReplyFinished();
    void onStalled();
    void onRateCheck();
    void checkAnswer(QNetworkReply *source);
    void consume(QNetworkReply *source);
    void cutShort(QNetworkReply *source, int status);

    QNetworkAccessManager &manager;
    const TransferSettings settings;
    const qint64 replyBufferSize;
    BodySink &sink;

    qint64 rangeFirst = 0;
    QByteArray rangeValidator;
    QPointer<QNetworkReply> reply;
    int redirectsLeft = 0;
    End redirectEnd = End::Body; // a redirection that was not followed: why
    // of the answer in flight, or the last one
    bool answerChecked = false;
    bool answerRefused = false;
    bool sinkRefused = false;
    bool stalled = false;
    bool tooSlow = false; // for the whole transfer
    int answerStatus = 0;
    QString answerError;
    QString cutShortError; // the reply's own error text when its unwanted body was cut short
    qint64 discarded = 0; // of an answer that is not the file
    qint64 progressOffset = 0;
    qint64 progressReceived = 0;
    qint64 progressTotal = 0;
    qint64 receivedAtWindowStart = 0;
    QTimer stallTimer;
    QTimer rateTimer;
};

#endif // TRANSFERREQUEST_H
