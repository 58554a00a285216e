#include <QApplication>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QPalette>
#include <QTest>

#include <cmath>

// The pictures compiled into the updater: the file and window icon (":/icon") and the dialog
// background (":/update_bg"). They are read back from the resource system, exactly as the
// program sees them.
class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void resourceRoot();
    void icoHeader_data();
    void icoHeader();
    void icoLayout();
    void icoPixels_data();
    void icoPixels();
    void icoMaskMatchesAlpha();
    void pngHeader_data();
    void pngHeader();
    void decodes_data();
    void decodes();
    void quietBand_data();
    void quietBand();
    void headerCarriesPicture();

private:
    QByteArray icon;
    QByteArray background;
    QImage backgroundImage;
};

namespace {

const int iconSide = 64;
const qint64 icoFileSize = 16958;
const int icoImageOffset = 6 + 16;
const int dibHeaderSize = 40;
const int dibPixelsOffset = icoImageOffset + dibHeaderSize;
const int dibMaskOffset = dibPixelsOffset + iconSide * iconSide * 4;
const int maskStride = 8;
// the dialogs put their labels and buttons from this line down
const int quietBandTop = 280;

quint32 littleEndian(const QByteArray &bytes, int offset, int size)
{
    quint32 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(offset + i));
    return value;
}

// alpha of the icon pixel at (x, y), counted from the top; the DIB stores rows bottom-up
int iconAlpha(const QByteArray &ico, int x, int y)
{
    const int row = iconSide - 1 - y;
    return quint8(ico.at(dibPixelsOffset + (row * iconSide + x) * 4 + 3));
}

bool iconMaskBit(const QByteArray &ico, int x, int y)
{
    const int row = iconSide - 1 - y;
    const quint8 byte = quint8(ico.at(dibMaskOffset + row * maskStride + x / 8));
    return byte & (0x80 >> (x % 8));
}

qreal channelToLinear(int value)
{
    const qreal c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// relative luminance as used for contrast ratios, 0 (black) to 1 (white)
qreal relativeLuminance(QRgb rgb)
{
    return 0.2126 * channelToLinear(qRed(rgb)) + 0.7152 * channelToLinear(qGreen(rgb))
        + 0.0722 * channelToLinear(qBlue(rgb));
}

qreal contrastRatio(QRgb first, QRgb second)
{
    const qreal a = relativeLuminance(first);
    const qreal b = relativeLuminance(second);
    return (qMax(a, b) + 0.05) / (qMin(a, b) + 0.05);
}

struct LumaStatistics
{
    qreal mean = 0;
    qreal deviation = 0;
};

// mean and standard deviation of the 8-bit luma over a region
LumaStatistics lumaStatistics(const QImage &image, const QRect &region)
{
    qreal sum = 0;
    qreal squares = 0;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            const QRgb rgb = image.pixel(x, y);
            const qreal luma = 0.2126 * qRed(rgb) + 0.7152 * qGreen(rgb) + 0.0722 * qBlue(rgb);
            sum += luma;
            squares += luma * luma;
        }
    }
    const qreal count = qreal(region.width()) * region.height();
    LumaStatistics result;
    result.mean = sum / count;
    result.deviation = std::sqrt(qMax<qreal>(0, squares / count - result.mean * result.mean));
    return result;
}

} // namespace

void tst_Resources::initTestCase()
{
    QFile iconFile(QStringLiteral(":/icon"));
    QVERIFY2(iconFile.open(QIODevice::ReadOnly), qPrintable(iconFile.errorString()));
    icon = iconFile.readAll();
    QFile backgroundFile(QStringLiteral(":/update_bg"));
    QVERIFY2(backgroundFile.open(QIODevice::ReadOnly), qPrintable(backgroundFile.errorString()));
    background = backgroundFile.readAll();
    // every later check indexes into the bytes; a short file must stop here, not read past it
    QCOMPARE(qint64(icon.size()), icoFileSize);
    QVERIFY(background.size() > 33);
    backgroundImage = QImage::fromData(background, "PNG").convertToFormat(QImage::Format_RGB32);
    QVERIFY(!backgroundImage.isNull());
}

void tst_Resources::resourceRoot()
{
    QStringList entries
        = QDir(QStringLiteral(":/"))
              .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDir::Name);
    // Qt's own libraries register resources in the same tree, which the updater neither ships
    // nor reads: QtGui 5.15 adds :/qgradient (the QGradient presets) and :/qpdf (the PDF
    // writer's colour profile and PDF/A metadata), QtWidgets adds :/qt-project.org (style
    // images) once a style has been created
    for (const char *qtRoot : {"qgradient", "qpdf", "qt-project.org"})
        entries.removeAll(QString::fromLatin1(qtRoot));
    // qt/etc/qt.conf pins the updater's own Qt paths, so that a host's qt.conf beside it is
    // never read
    // icon@2x and update_bg@2x are drawn on screens that scale, translations/ holds the catalogs
    const QStringList expected({QStringLiteral("icon"), QStringLiteral("icon@2x"), QStringLiteral("qt"),
                                QStringLiteral("translations"), QStringLiteral("update_bg"),
                                QStringLiteral("update_bg@2x")});
    QVERIFY2(entries == expected, qPrintable(QStringLiteral("found: ") + entries.join(u',')));
    QVERIFY(QFileInfo(QStringLiteral(":/qt/etc/qt.conf")).isFile());
    QVERIFY(QFileInfo(QStringLiteral(":/icon")).isFile());
    QVERIFY(QFileInfo(QStringLiteral(":/update_bg")).isFile());
}

void tst_Resources::icoHeader_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("size");
    QTest::addColumn<quint32>("expected");

    // ICONDIR
    QTest::newRow("reserved") << 0 << 2 << 0u;
    QTest::newRow("type-icon") << 2 << 2 << 1u;
    QTest::newRow("one-image") << 4 << 2 << 1u;
    // ICONDIRENTRY
    QTest::newRow("entry-width") << 6 << 1 << 64u;
    QTest::newRow("entry-height") << 7 << 1 << 64u;
    QTest::newRow("entry-no-palette") << 8 << 1 << 0u;
    QTest::newRow("entry-reserved") << 9 << 1 << 0u;
    QTest::newRow("entry-planes") << 10 << 2 << 1u;
    QTest::newRow("entry-bit-count") << 12 << 2 << 32u;
    QTest::newRow("entry-bytes") << 14 << 4 << 16936u;
    QTest::newRow("entry-offset") << 18 << 4 << 22u;
    // BITMAPINFOHEADER: the height counts the colour rows and the AND mask rows
    QTest::newRow("dib-header-size") << 22 << 4 << 40u;
    QTest::newRow("dib-width") << 26 << 4 << 64u;
    QTest::newRow("dib-height") << 30 << 4 << 128u;
    QTest::newRow("dib-planes") << 34 << 2 << 1u;
    QTest::newRow("dib-bit-count") << 36 << 2 << 32u;
    QTest::newRow("dib-uncompressed") << 38 << 4 << 0u;
    QTest::newRow("dib-no-palette") << 54 << 4 << 0u;
}

void tst_Resources::icoHeader()
{
    QFETCH(int, offset);
    QFETCH(int, size);
    QFETCH(quint32, expected);
    QCOMPARE(littleEndian(icon, offset, size), expected);
}

void tst_Resources::icoLayout()
{
    // the one image runs from the offset its entry gives to the end of the file, nothing more
    const quint32 bytesInRes = littleEndian(icon, 14, 4);
    const quint32 imageOffset = littleEndian(icon, 18, 4);
    QCOMPARE(qint64(imageOffset) + bytesInRes, qint64(icon.size()));
    QCOMPARE(qint64(icon.size()), icoFileSize);
    QCOMPARE(dibMaskOffset + iconSide * maskStride, icon.size());
    // biSizeImage may be left 0 for uncompressed bitmaps; if given, it covers pixels and mask
    const quint32 sizeImage = littleEndian(icon, 42, 4);
    if (sizeImage != 0)
        QCOMPARE(sizeImage, quint32(iconSide * iconSide * 4 + iconSide * maskStride));
}

void tst_Resources::icoPixels_data()
{
    QTest::addColumn<QPoint>("pixel");
    QTest::addColumn<int>("minimumAlpha");
    QTest::addColumn<int>("maximumAlpha");

    // rounded corners show whatever lies beneath the icon
    QTest::newRow("top-left-corner") << QPoint(0, 0) << 0 << 0;
    QTest::newRow("top-right-corner") << QPoint(63, 0) << 0 << 0;
    QTest::newRow("bottom-left-corner") << QPoint(0, 63) << 0 << 0;
    QTest::newRow("bottom-right-corner") << QPoint(63, 63) << 0 << 0;
    // the body of the shape is solid
    QTest::newRow("centre") << QPoint(32, 32) << 255 << 255;
    QTest::newRow("left-edge-middle") << QPoint(8, 32) << 255 << 255;
    QTest::newRow("top-edge-middle") << QPoint(32, 8) << 255 << 255;
}

void tst_Resources::icoPixels()
{
    QFETCH(QPoint, pixel);
    QFETCH(int, minimumAlpha);
    QFETCH(int, maximumAlpha);
    const int alpha = iconAlpha(icon, pixel.x(), pixel.y());
    QVERIFY2(alpha >= minimumAlpha && alpha <= maximumAlpha,
        qPrintable(QStringLiteral("alpha %1").arg(alpha)));
}

void tst_Resources::icoMaskMatchesAlpha()
{
    // programs that ignore alpha fall back on the AND mask; both must outline the same shape
    int transparent = 0;
    int partial = 0;
    for (int y = 0; y < iconSide; ++y) {
        for (int x = 0; x < iconSide; ++x) {
            const int alpha = iconAlpha(icon, x, y);
            if (iconMaskBit(icon, x, y) != (alpha == 0))
                QFAIL(qPrintable(QStringLiteral("mask bit at %1,%2 disagrees with alpha %3")
                                     .arg(x)
                                     .arg(y)
                                     .arg(alpha)));
            transparent += alpha == 0;
            partial += alpha > 0 && alpha < 255;
        }
    }
    QVERIFY(transparent > 0);
    // an antialiased outline has soft edge pixels, not only on and off
    QVERIFY(partial > 0);
}

void tst_Resources::pngHeader_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("signature") << 0 << QByteArray("\x89PNG\r\n\x1a\n", 8);
    QTest::newRow("ihdr-first") << 8 << (QByteArray::fromHex("0000000d") + "IHDR");
    QTest::newRow("width-640") << 16 << QByteArray::fromHex("00000280");
    QTest::newRow("height-455") << 20 << QByteArray::fromHex("000001c7");
    QTest::newRow("bit-depth-8") << 24 << QByteArray::fromHex("08");
    // colour type 2: RGB without alpha; the dialogs cover their whole surface with it
    QTest::newRow("colour-type-rgb") << 25 << QByteArray::fromHex("02");
    QTest::newRow("deflate") << 26 << QByteArray::fromHex("00");
    QTest::newRow("adaptive-filter") << 27 << QByteArray::fromHex("00");
    QTest::newRow("not-interlaced") << 28 << QByteArray::fromHex("00");
}

void tst_Resources::pngHeader()
{
    QFETCH(int, offset);
    QFETCH(QByteArray, expected);
    QCOMPARE(background.mid(offset, expected.size()).toHex(), expected.toHex());
}

void tst_Resources::decodes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("alpha");

    QTest::newRow("icon") << QStringLiteral(":/icon") << QByteArray("ico") << QSize(64, 64) << true;
    QTest::newRow("background") << QStringLiteral(":/update_bg") << QByteArray("png")
                                << QSize(640, 455) << false;
    // twice the detail in the same device-independent size
    QTest::newRow("icon@2x") << QStringLiteral(":/icon@2x") << QByteArray("png") << QSize(128, 128) << true;
    QTest::newRow("background@2x") << QStringLiteral(":/update_bg@2x") << QByteArray("png")
                                   << QSize(1280, 910) << false;
}

void tst_Resources::decodes()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, format);
    QFETCH(QSize, size);
    QFETCH(bool, alpha);

    // the aliases carry no suffix, so the format is recognised from the content
    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
    QCOMPARE(image.hasAlphaChannel(), alpha);

    const QIcon asIcon(path);
    QVERIFY(!asIcon.isNull());
    QVERIFY(asIcon.availableSizes().contains(size));
    QCOMPARE(asIcon.pixmap(size).size(), size);
}

void tst_Resources::quietBand_data()
{
    QTest::addColumn<QRect>("region");

    // the whole band and the places the three dialogs draw on it
    QTest::newRow("band") << QRect(0, quietBandTop, 640, 455 - quietBandTop);
    QTest::newRow("headline") << QRect(30, 280, 580, 40);
    QTest::newRow("failure-headline") << QRect(30, 300, 580, 40);
    QTest::newRow("progress-and-details") << QRect(30, 330, 580, 64);
    QTest::newRow("buttons") << QRect(380, 400, 230, 30);
}

void tst_Resources::quietBand()
{
    QFETCH(QRect, region);
    QVERIFY(backgroundImage.rect().contains(region));

    // labels draw straight onto the picture in the style's text colour
    const QRgb text = QApplication::palette().color(QPalette::WindowText).rgb();
    qreal worst = 21;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x)
            worst = qMin(worst, contrastRatio(text, backgroundImage.pixel(x, y)));
    }
    QVERIFY2(worst >= 7.0, qPrintable(QStringLiteral("text contrast drops to %1:1").arg(worst)));

    // light and nearly uniform: no pattern or photograph behind the text
    const LumaStatistics luma = lumaStatistics(backgroundImage, region);
    QVERIFY2(
        luma.mean >= 200, qPrintable(QStringLiteral("mean luma %1 is too dark").arg(luma.mean)));
    QVERIFY2(luma.deviation <= 6,
        qPrintable(QStringLiteral("luma varies by %1 (standard deviation)").arg(luma.deviation)));
}

void tst_Resources::headerCarriesPicture()
{
    // above the band there is artwork, not a flat fill
    const LumaStatistics luma
        = lumaStatistics(backgroundImage, QRect(0, 0, backgroundImage.width(), quietBandTop));
    QVERIFY2(luma.deviation > 10,
        qPrintable(QStringLiteral("luma deviation only %1").arg(luma.deviation)));
}

QTEST_MAIN(tst_Resources)
#include "tst_resources.moc"
