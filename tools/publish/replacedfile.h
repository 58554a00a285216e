#ifndef REPLACEDFILE_H
#define REPLACEDFILE_H

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

// A file beside update.ini (a statement) that a publication replaces or removes in one step,
// what it held kept until the publication is complete, so that a failure further on can put it
// back and nothing lies beside an update.ini it does not belong to.
class ReplacedFile
{
    Q_DECLARE_TR_FUNCTIONS(ReplacedFile)

public:
    // reads what path holds now, if anything; false with the reason in error when something is
    // there that is no file or cannot be read
    bool prepare(const QString &path, QString &error);
    // replaces the file by bytes in one step, or removes it for empty bytes
    bool replace(const QByteArray &bytes, QString &error);
    // puts back what prepare() found
    bool restore();

    QString path() const { return filePath; }
    bool existed() const { return hadPrevious; }

private:
    QString filePath;
    QByteArray previous;
    bool hadPrevious = false;
};

#endif // REPLACEDFILE_H
