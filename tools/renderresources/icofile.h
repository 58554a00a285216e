#ifndef ICOFILE_H
#define ICOFILE_H

#include <QByteArray>
#include <QString>

class QImage;

// A Windows .ico holding one 32-bit image: a BITMAPINFOHEADER DIB whose height counts the
// colour rows and the 1-bit AND mask, bottom-up rows, straight (not premultiplied) BGRA.
// Returns an empty array and sets errorString for images an .ico cannot carry.
QByteArray encodeIco(const QImage &image, QString *errorString);

// the size encodeIco() produces for a width x height image
qint64 icoFileSize(int width, int height);

#endif // ICOFILE_H
