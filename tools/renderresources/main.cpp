#include "artwork.h"
#include "icofile.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QSaveFile>
#include <QTextStream>

#include <cstdlib>

namespace {

QTextStream &errorStream()
{
    static QTextStream stream(stderr);
    return stream;
}

// the whole file is replaced or left as it was; a half-written picture never lands in ui/
bool writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        errorStream() << "render-resources: cannot write " << path << ": " << file.errorString()
                      << Qt::endl;
        return false;
    }
    QTextStream(stdout) << "wrote " << QDir::toNativeSeparators(path) << " (" << bytes.size()
                        << " bytes)" << Qt::endl;
    return true;
}

quint32 bigEndian32(const QByteArray &bytes, int offset)
{
    return (quint32(quint8(bytes.at(offset))) << 24) | (quint32(quint8(bytes.at(offset + 1))) << 16)
        | (quint32(quint8(bytes.at(offset + 2))) << 8) | quint32(quint8(bytes.at(offset + 3)));
}

// The dialogs expect a plain 8-bit RGB picture; what QImage writes depends on the format it
// is handed, so the bytes are checked rather than trusted.
QByteArray encodeBackground(const QImage &image, QString *errorString)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.convertToFormat(QImage::Format_RGB888).save(&buffer, "PNG")) {
        *errorString = QStringLiteral("the PNG writer failed");
        return QByteArray();
    }
    const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    if (bytes.size() < 33 || !bytes.startsWith(signature) || bytes.mid(12, 4) != "IHDR") {
        *errorString = QStringLiteral("the PNG writer produced no IHDR chunk");
        return QByteArray();
    }
    if (bigEndian32(bytes, 16) != quint32(image.width())
        || bigEndian32(bytes, 20) != quint32(image.height()) || bytes.at(24) != 8
        || bytes.at(25) != 2 || bytes.at(28) != 0) {
        *errorString = QStringLiteral("the PNG is not a non-interlaced 8-bit RGB image "
                                      "(bit depth %1, colour type %2, interlace %3)")
                           .arg(int(bytes.at(24)))
                           .arg(int(bytes.at(25)))
                           .arg(int(bytes.at(28)));
        return QByteArray();
    }
    return bytes;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("render-resources"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Draws icon.ico and update_bg.png, the pictures embedded in the "
                       "updater, and their 2x pictures icon@2x.png and update_bg@2x.png."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("directory"),
        QStringLiteral("Where to write them (default: %1).")
            .arg(QDir::toNativeSeparators(QStringLiteral(DEFAULT_OUTPUT_DIR))),
        QStringLiteral("[directory]"));
    const QCommandLineOption previewOption(QStringLiteral("preview"),
        QStringLiteral("Also write an enlarged view of the icon, as PNG, to <file>."),
        QStringLiteral("file"));
    parser.addOption(previewOption);
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        errorStream() << "render-resources: expected at most one directory" << Qt::endl;
        return EXIT_FAILURE;
    }
    const QString directory
        = positional.isEmpty() ? QStringLiteral(DEFAULT_OUTPUT_DIR) : positional.first();
    if (!QDir().mkpath(directory)) {
        errorStream() << "render-resources: cannot create " << directory << Qt::endl;
        return EXIT_FAILURE;
    }
    const QDir outputDir(directory);

    QString error;
    const QImage icon = renderIcon();
    const QByteArray icoBytes = encodeIco(icon, &error);
    if (icoBytes.isEmpty()) {
        errorStream() << "render-resources: icon.ico: " << error << Qt::endl;
        return EXIT_FAILURE;
    }
    const QByteArray pngBytes = encodeBackground(renderBackground(), &error);
    if (pngBytes.isEmpty()) {
        errorStream() << "render-resources: update_bg.png: " << error << Qt::endl;
        return EXIT_FAILURE;
    }
    // the pictures of screens that scale (Qt draws these where the device pixel ratio is above 1)
    const QByteArray sharpPngBytes = encodeBackground(renderBackground(2), &error);
    if (sharpPngBytes.isEmpty()) {
        errorStream() << "render-resources: update_bg@2x.png: " << error << Qt::endl;
        return EXIT_FAILURE;
    }
    QByteArray sharpIconBytes;
    QBuffer sharpIconBuffer(&sharpIconBytes);
    sharpIconBuffer.open(QIODevice::WriteOnly);
    if (!renderIcon(2).save(&sharpIconBuffer, "PNG")) {
        errorStream() << "render-resources: icon@2x.png: the PNG writer failed" << Qt::endl;
        return EXIT_FAILURE;
    }

    if (!writeFile(outputDir.filePath(QStringLiteral("icon.ico")), icoBytes)
        || !writeFile(outputDir.filePath(QStringLiteral("update_bg.png")), pngBytes)
        || !writeFile(outputDir.filePath(QStringLiteral("icon@2x.png")), sharpIconBytes)
        || !writeFile(outputDir.filePath(QStringLiteral("update_bg@2x.png")), sharpPngBytes))
        return EXIT_FAILURE;

    if (parser.isSet(previewOption)) {
        QByteArray previewBytes;
        QBuffer buffer(&previewBytes);
        buffer.open(QIODevice::WriteOnly);
        if (!renderIconPreview(icon).save(&buffer, "PNG")
            || !writeFile(parser.value(previewOption), previewBytes))
            return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
