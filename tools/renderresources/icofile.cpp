#include "icofile.h"

#include <QBuffer>
#include <QDataStream>
#include <QImage>

namespace {

const int iconDirSize = 6;
const int iconDirEntrySize = 16;
const int bitmapInfoHeaderSize = 40;

// AND mask rows are padded to whole 32-bit words
int maskStride(int width)
{
    return ((width + 31) / 32) * 4;
}

qint64 imageDataSize(int width, int height)
{
    return bitmapInfoHeaderSize + qint64(width) * height * 4 + qint64(maskStride(width)) * height;
}

} // namespace

qint64 icoFileSize(int width, int height)
{
    return iconDirSize + iconDirEntrySize + imageDataSize(width, height);
}

QByteArray encodeIco(const QImage &image, QString *errorString)
{
    if (image.isNull() || image.width() > 256 || image.height() > 256) {
        *errorString = QStringLiteral("an icon must be 1 to 256 pixels wide and high");
        return QByteArray();
    }
    // ARGB32 is straight alpha, which is what the .ico format stores
    const QImage pixels = image.convertToFormat(QImage::Format_ARGB32);
    const int width = pixels.width();
    const int height = pixels.height();
    const quint32 dataSize = quint32(imageDataSize(width, height));

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QDataStream out(&buffer);
    out.setByteOrder(QDataStream::LittleEndian);

    // ICONDIR
    out << quint16(0) << quint16(1) << quint16(1);
    // ICONDIRENTRY; a width or height of 256 is written as 0
    out << quint8(width & 0xff) << quint8(height & 0xff) << quint8(0) << quint8(0);
    out << quint16(1) << quint16(32) << dataSize << quint32(iconDirSize + iconDirEntrySize);
    // BITMAPINFOHEADER; the height covers the colour image and the mask below it
    out << quint32(bitmapInfoHeaderSize) << qint32(width) << qint32(height * 2);
    out << quint16(1) << quint16(32) << quint32(0) // BI_RGB
        << quint32(dataSize - bitmapInfoHeaderSize) << qint32(0) << qint32(0) << quint32(0)
        << quint32(0);

    for (int y = height - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(pixels.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = line[x];
            // fully transparent pixels carry no colour, so stray RGB values never show
            if (qAlpha(pixel) == 0)
                out << quint8(0) << quint8(0) << quint8(0) << quint8(0);
            else
                out << quint8(qBlue(pixel)) << quint8(qGreen(pixel)) << quint8(qRed(pixel))
                    << quint8(qAlpha(pixel));
        }
    }

    // the AND mask, for programs that ignore alpha: set where the pixel is fully transparent
    const int stride = maskStride(width);
    for (int y = height - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(pixels.constScanLine(y));
        QByteArray row(stride, '\0');
        for (int x = 0; x < width; ++x) {
            if (qAlpha(line[x]) == 0)
                row[x / 8] = char(quint8(row.at(x / 8)) | (0x80 >> (x % 8)));
        }
        out.writeRawData(row.constData(), row.size());
    }

    if (out.status() != QDataStream::Ok || bytes.size() != icoFileSize(width, height)) {
        *errorString = QStringLiteral("could not encode the icon");
        return QByteArray();
    }
    return bytes;
}
