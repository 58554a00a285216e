#include "artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace {

const QSize backgroundSize(640, 455);
const QSize iconSize(64, 64);
// everything at or below this line is covered by labels and buttons
const int quietBandTop = 280;

const QColor headerDark(0x1f, 0x57, 0xd6);
const QColor headerLight(0x4b, 0x8e, 0xf1);
const QColor accent(0x23, 0x63, 0xe6);
const QColor quietBand(0xf5, 0xf7, 0xfa);
const QColor frame(0xcf, 0xd7, 0xe2);

const double pi = 3.14159265358979323846;

QPointF onCircle(const QPointF &centre, qreal radius, qreal degrees)
{
    const qreal radians = degrees * pi / 180.0;
    // screen y grows downwards, angles grow counter-clockwise as in QPainter::drawArc
    return centre + QPointF(radius * std::cos(radians), -radius * std::sin(radians));
}

// An arc from startDegrees sweeping spanDegrees (negative: clockwise) that ends in a
// filled arrowhead pointing along the direction of travel.
void drawArcArrow(QPainter *painter, const QPointF &centre, qreal radius, qreal startDegrees,
    qreal spanDegrees, qreal penWidth, qreal headLength, qreal headWidth)
{
    const qreal direction = spanDegrees < 0 ? -1.0 : 1.0;
    const qreal endDegrees = startDegrees + spanDegrees;
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);

    painter->save();
    painter->setBrush(Qt::NoBrush);
    QPen pen = painter->pen();
    pen.setWidthF(penWidth);
    pen.setCapStyle(Qt::RoundCap);
    painter->setPen(pen);
    // the stroke ends at the arrowhead's base; its round cap hides under the head
    painter->drawArc(box, qRound(startDegrees * 16), qRound(spanDegrees * 16));

    const qreal radians = endDegrees * pi / 180.0;
    const QPointF base = onCircle(centre, radius, endDegrees);
    const QPointF tangent(-std::sin(radians) * direction, -std::cos(radians) * direction);
    const QPointF normal(std::cos(radians), -std::sin(radians));
    QPainterPath head;
    head.moveTo(base + tangent * headLength);
    head.lineTo(base + normal * headWidth * 0.5);
    head.lineTo(base - normal * headWidth * 0.5);
    head.closeSubpath();
    painter->setPen(Qt::NoPen);
    painter->setBrush(pen.color());
    painter->drawPath(head);
    painter->restore();
}

// two clockwise arcs chasing each other round the centre
void drawRefreshRing(QPainter *painter, const QPointF &centre, qreal radius, qreal penWidth,
    qreal headLength, qreal headWidth, const QColor &colour)
{
    painter->save();
    painter->setPen(QPen(colour, penWidth));
    drawArcArrow(painter, centre, radius, 150, -135, penWidth, headLength, headWidth);
    drawArcArrow(painter, centre, radius, -30, -135, penWidth, headLength, headWidth);
    painter->restore();
}

// a downward arrow dropping into an open tray, centred on centre; unit scales the shape
void drawDownloadMark(
    QPainter *painter, const QPointF &centre, qreal unit, qreal penWidth, const QColor &colour)
{
    painter->save();
    QPen pen(colour, penWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    const qreal x = centre.x();
    const qreal y = centre.y();
    painter->drawLine(QPointF(x, y - unit * 3.0), QPointF(x, y + unit * 0.9));
    QPainterPath chevron;
    chevron.moveTo(x - unit * 1.7, y - unit * 0.6);
    chevron.lineTo(x, y + unit * 1.1);
    chevron.lineTo(x + unit * 1.7, y - unit * 0.6);
    painter->drawPath(chevron);
    QPainterPath tray;
    tray.moveTo(x - unit * 2.8, y + unit * 1.2);
    tray.lineTo(x - unit * 2.8, y + unit * 2.7);
    tray.lineTo(x + unit * 2.8, y + unit * 2.7);
    tray.lineTo(x + unit * 2.8, y + unit * 1.2);
    painter->drawPath(tray);
    painter->restore();
}

QPainterPath headerShape(qreal offset)
{
    const qreal w = backgroundSize.width();
    QPainterPath path;
    path.moveTo(0, 0);
    path.lineTo(w, 0);
    path.lineTo(w, 206 + offset);
    path.cubicTo(w - 110, 246 + offset, w - 250, 196 + offset, w - 380, 222 + offset);
    path.cubicTo(w - 480, 242 + offset, w - 570, 250 + offset, 0, 226 + offset);
    path.closeSubpath();
    return path;
}

} // namespace

QImage renderBackground(int scale)
{
    QImage image(backgroundSize * scale, QImage::Format_RGB32);
    image.fill(quietBand);
    QPainter painter(&image);
    painter.scale(scale, scale);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);

    // a paler swell behind the header gives the edge some depth; both stay well above the band
    QColor swell = headerLight;
    swell.setAlpha(40);
    painter.setBrush(swell);
    painter.drawPath(headerShape(20));

    const QPainterPath header = headerShape(0);
    QLinearGradient sky(0, 0, backgroundSize.width(), 250);
    sky.setColorAt(0, headerDark);
    sky.setColorAt(1, headerLight);
    painter.setBrush(sky);
    painter.drawPath(header);

    // large faint discs, clipped to the header, keep the blue from looking flat
    painter.save();
    painter.setClipPath(header);
    painter.setBrush(QColor(255, 255, 255, 16));
    painter.drawEllipse(QPointF(585, 20), 150, 150);
    painter.setBrush(QColor(255, 255, 255, 11));
    painter.drawEllipse(QPointF(40, 230), 110, 110);
    painter.setBrush(QColor(255, 255, 255, 9));
    painter.drawEllipse(QPointF(150, -40), 95, 95);
    painter.restore();

    const QPointF centre(320, 122);
    QRadialGradient glow(centre, 120);
    glow.setColorAt(0, QColor(255, 255, 255, 60));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    painter.setBrush(glow);
    painter.drawEllipse(centre, 120, 120);

    drawRefreshRing(&painter, centre, 80, 8, 20, 24, QColor(255, 255, 255, 235));

    // the disc's soft shadow: a few widening, fading rings
    for (int i = 6; i >= 1; --i) {
        painter.setBrush(QColor(8, 32, 96, 7));
        painter.drawEllipse(centre + QPointF(0, 4), 54.0 + i, 54.0 + i);
    }
    painter.setBrush(Qt::white);
    painter.drawEllipse(centre, 54, 54);
    drawDownloadMark(&painter, centre + QPointF(0, -2), 8.5, 8.5, accent);

    // a scatter of small dots around the motif
    const struct
    {
        QPointF at;
        qreal radius;
        int alpha;
    } dots[] = {
        {{196, 70}, 4, 120},
        {{214, 176}, 3, 90},
        {{446, 82}, 3, 100},
        {{430, 186}, 5, 70},
        {{470, 128}, 2, 130},
        {{172, 124}, 2, 110},
    };
    for (const auto &dot : dots) {
        painter.setBrush(QColor(255, 255, 255, dot.alpha));
        painter.drawEllipse(dot.at, dot.radius, dot.radius);
    }

    // a hairline edge so the frameless window stands apart from a light desktop: one
    // device-independent pixel wide, whole device pixels at every scale
    painter.setRenderHint(QPainter::Antialiasing, false);
    const int w = backgroundSize.width();
    const int h = backgroundSize.height();
    painter.fillRect(QRect(0, quietBandTop - 40, 1, h - quietBandTop + 40), frame);
    painter.fillRect(QRect(w - 1, quietBandTop - 40, 1, h - quietBandTop + 40), frame);
    painter.fillRect(QRect(0, h - 1, w, 1), frame);
    painter.end();
    return image;
}

QImage renderIcon(int scale)
{
    QImage image(iconSize * scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.scale(scale, scale);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);

    const QRectF tile(2, 2, 60, 60);
    QLinearGradient fill(tile.topLeft(), tile.bottomRight());
    fill.setColorAt(0, headerLight);
    fill.setColorAt(1, headerDark);
    painter.setBrush(fill);
    painter.drawRoundedRect(tile, 14, 14);

    const QPointF centre = tile.center();
    // a 4-pixel shaft on the centre line covers whole pixels and stays crisp at 64 x 64
    drawRefreshRing(&painter, centre, 20.5, 4.5, 8, 11, Qt::white);
    drawDownloadMark(&painter, centre + QPointF(0, -0.5), 3.2, 4, Qt::white);
    painter.end();
    return image;
}

QImage renderIconPreview(const QImage &icon)
{
    const int zoom = 4;
    QImage sheet(24 + 64 * zoom + 24 + 64 + 24, 24 + 64 * zoom + 24, QImage::Format_RGB32);
    sheet.fill(QColor(0xee, 0xee, 0xee));
    QPainter painter(&sheet);

    // a checkerboard under the enlarged copy makes the transparent corners visible
    const QRect big(24, 24, 64 * zoom, 64 * zoom);
    for (int y = 0; y < big.height(); y += 8) {
        for (int x = 0; x < big.width(); x += 8) {
            const bool dark = ((x + y) / 8) % 2;
            painter.fillRect(big.x() + x, big.y() + y, 8, 8,
                dark ? QColor(0xcc, 0xcc, 0xcc) : QColor(0xff, 0xff, 0xff));
        }
    }
    painter.drawImage(big, icon.scaled(big.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation));

    const int column = big.right() + 25;
    painter.fillRect(column - 8, 16, 64 + 16, 64 + 16, Qt::white);
    painter.drawImage(column, 24, icon);
    painter.fillRect(column - 8, 104, 64 + 16, 64 + 16, QColor(0x20, 0x24, 0x2c));
    painter.drawImage(column, 112, icon);
    // the sizes Windows scales a single 64-pixel image down to in lists and the taskbar
    painter.fillRect(column - 8, 192, 64 + 16, 64 + 16, Qt::white);
    painter.drawImage(
        column, 200, icon.scaled(32, 32, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    painter.drawImage(
        column + 40, 200, icon.scaled(16, 16, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    painter.end();
    return sheet;
}
