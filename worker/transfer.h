#ifndef TRANSFER_H
#define TRANSFER_H

#include <QObject>
#include <QString>

// One file on its way into the cache: downloaded whole (FileTransfer) or made from a patch
// (PatchTransfer). Ends with finished(), once, unless aborted first.
class Transfer : public QObject
{
    Q_OBJECT

public:
    // ends the transfer without a signal
    virtual void abort() = 0;
    // of the file, kept bytes included
    virtual qint64 bytesReceived() const = 0;
    virtual qint64 bytesTotal() const = 0;
    // after finished(): the cache file holds the file; otherwise errorMessage() says why not
    bool succeeded() const { return success; }
    QString errorMessage() const { return error; }

signals:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void finished();

protected:
    using QObject::QObject;

    // the end, told once
    void succeed()
    {
        success = true;
        emit finished();
    }
    void fail(const QString &message)
    {
        error = message;
        emit finished();
    }

private:
    bool success = false;
    QString error;
};

#endif // TRANSFER_H
