#include "transferrequest.h"

#include "bodysink.h"
#include "httprequest.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
// an answer that is not the file: its body is only counted, up to this much
constexpr qint64 DiscardLimit = 1024 * 1024;

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}
} // namespace

TransferRequest::TransferRequest(QNetworkAccessManager &manager, const TransferSettings &settings,
    qint64 replyBufferSize, BodySink &sink, QObject *parent)
    : QObject(parent)
    , manager(manager)
    , settings(settings)
    , replyBufferSize(replyBufferSize)
    , sink(sink)
{
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(settings.stallTimeout);
    connect(&stallTimer, &QTimer::timeout, this, &TransferRequest::onStalled);
    rateTimer.setInterval(settings.rateWindow);
    connect(&rateTimer, &QTimer::timeout, this, &TransferRequest::onRateCheck);
}

TransferRequest::~TransferRequest()
{
    abort();
}

void TransferRequest::setRange(qint64 first, const QByteArray &validator)
{
    rangeFirst = first;
    rangeValidator = validator;
}

bool TransferRequest::start(const QUrl &url)
{
    redirectsLeft = MaxDownloadRedirects;
    tooSlow = false;
    if (settings.minimumRate > 0 && settings.rateWindow > 0)
        rateTimer.start();
    return send(url);
}

bool TransferRequest::send(const QUrl &url)
{
    // Redirections are followed here, each hop a request of its own: with Qt 5.15's own
    // following the body of a redirection is read to its end before anything is reported, so
    // a redirection whose body never ends would hold the download without a signal.
    QNetworkRequest request(url);
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // the rest of the file, unless it changed on the server since the kept bytes came: then the
    // server sends all of it
    if (rangeFirst > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(rangeFirst) + '-');
        request.setRawHeader("If-Range", rangeValidator);
    }
    // Over TLS, where the server offers it, one connection carries every transfer. Not over
    // plain HTTP: there Qt 5.15 first asks the server to upgrade and holds every other request
    // back until that first one has ended, one transfer at a time.
    if (url.scheme() == QLatin1String("https"))
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
    QNetworkReply *sent = manager.get(request);
    if (!sent)
        return false;
    reply = sent;
    discarded = 0;
    answerChecked = false;
    answerRefused = false;
    sinkRefused = false;
    stalled = false;
    redirectEnd = End::Body;
    progressOffset = 0;
    receivedAtWindowStart = 0; // each hop's progress counts from zero
    cutShortError.clear();

    sent->setReadBufferSize(replyBufferSize);
    connect(sent, &QNetworkReply::downloadProgress, this,
        [this](qint64 bytesReceived, qint64 bytesTotal) {
            stallTimer.start();
            // the kept bytes count too: the progress is the whole file's
            progressReceived = progressOffset + bytesReceived;
            progressTotal = bytesTotal < 0 ? bytesTotal : progressOffset + bytesTotal;
            emit progress(progressReceived, progressTotal);
        });
    connect(sent, &QNetworkReply::metaDataChanged, this, &TransferRequest::onMetaData);
    connect(sent, &QNetworkReply::readyRead, this, &TransferRequest::onReadyRead);
    connect(sent, &QNetworkReply::finished, this, &TransferRequest::onReplyFinished);
    stallTimer.start();
    return true;
}

void TransferRequest::refuseAnswer()
{
    answerRefused = true;
    if (reply)
        reply->abort();
}

void TransferRequest::abort()
{
    stallTimer.stop();
    rateTimer.stop();
    if (reply) {
        QNetworkReply *inFlight = reply;
        reply = nullptr;
        inFlight->disconnect(this);
        inFlight->abort();
        inFlight->deleteLater();
    }
}

TransferRequest::End TransferRequest::end() const
{
    if (stalled)
        return End::Stalled;
    if (tooSlow)
        return End::TooSlow;
    if (redirectEnd != End::Body)
        return redirectEnd;
    return isFileBody(answerStatus) ? End::Body : End::NotTheFile;
}

const char *TransferRequest::redirectReason(End end)
{
    return end == End::InsecureRedirect ? "Insecure redirect" : "Too many redirects";
}

bool TransferRequest::isFileBody(int status) const
{
    return status == 200 || (status == 206 && rangeFirst > 0);
}

void TransferRequest::onMetaData()
{
    auto *source = qobject_cast<QNetworkReply *>(sender());
    if (source && source == reply)
        checkAnswer(source);
}

void TransferRequest::checkAnswer(QNetworkReply *source)
{
    // once per answer, before its first byte is taken: what the body is part of
    if (answerChecked)
        return;
    answerChecked = true;
    emit answered(source);
}

void TransferRequest::consume(QNetworkReply *source)
{
    checkAnswer(source);
    if (answerRefused)
        return;
    const int status = statusOf(source);
    if (status >= 300 && status < 400) {
        // the body of a redirection that is about to be followed: dropped, and cut short when
        // it goes on and on (the redirection is followed all the same)
        discarded += source->readAll().size();
        if (discarded > DiscardLimit)
            cutShort(source, status);
        return;
    }
    const bool fileBody = isFileBody(status);
    while (source->bytesAvailable() > 0) {
        // the body lands in the sink's own buffer (a hasher's block: hashed on its thread while
        // this one writes it and receives the next)
        qint64 capacity = 0;
        char *buffer = sink.nextBuffer(capacity);
        const qint64 count = source->read(buffer, capacity);
        if (count <= 0)
            break;
        if (!fileBody) {
            // an answer that is not the file: only counted, and cut short when it goes on
            discarded += count;
            if (discarded > DiscardLimit) {
                cutShort(source, status);
                return;
            }
            continue; // the buffer is not handed over, the next read fills it again
        }
        if (!sink.take(count)) {
            sinkRefused = true;
            source->abort();
            return;
        }
    }
}

void TransferRequest::cutShort(QNetworkReply *source, int status)
{
    // the abort would replace the reply's own error text with "Operation canceled": the text
    // it would have ended with is kept for the message
    if (status >= 400) {
        const QString reason
            = source->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        cutShortError = QCoreApplication::translate(
            "QNetworkReply", "Error transferring %1 - server replied: %2")
                            .arg(source->url().toString(), reason);
    } else {
        cutShortError = source->errorString();
    }
    source->abort();
}

void TransferRequest::onReadyRead()
{
    auto *source = qobject_cast<QNetworkReply *>(sender());
    if (!source || source != reply)
        return;
    stallTimer.start();
    consume(source);
}

void TransferRequest::onStalled()
{
    if (!reply)
        return;
    stalled = true;
    reply->abort();
}

void TransferRequest::onRateCheck()
{
    // every byte of every hop counts, as the stall limit counts them
    if (!reply || progressReceived < 0)
        return;
    const qint64 arrived = qMax<qint64>(0, progressReceived - receivedAtWindowStart);
    receivedAtWindowStart = progressReceived;
    if (arrived * 1000 >= settings.minimumRate * settings.rateWindow)
        return;
    tooSlow = true;
    reply->abort();
}

void TransferRequest::onReplyFinished()
{
    auto *source = qobject_cast<QNetworkReply *>(sender());
    if (!source)
        return;
    source->deleteLater();
    if (source != reply)
        return;
    stallTimer.stop();

    answerStatus = statusOf(source);
    if (!sinkRefused && !stalled && !tooSlow && !answerRefused)
        consume(source); // whatever arrived with the end of the reply
    reply = nullptr;
    answerError = cutShortError.isEmpty() ? source->errorString() : cutShortError;

    const QUrl redirect = source->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!answerRefused && !stalled && !tooSlow && answerStatus >= 300 && answerStatus < 400
        && redirect.isValid()) {
        const QUrl next = source->url().resolved(redirect);
        const bool allowed = downloadRedirectAllowed(source->url(), next);
        if (allowed && redirectsLeft-- > 0 && send(next))
            return;
        redirectEnd = allowed ? End::TooManyRedirects : End::InsecureRedirect;
    }
    emit ended();
}
