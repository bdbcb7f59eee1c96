#include "shell/RowPictures.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <functional>

namespace {

// Every drawing is made in a 16 x 16 design grid and scaled to the size asked
// for, so the same code gives the list pictures and the larger icon sizes.
QPixmap Paint(int side, const std::function<void(QPainter&)>& draw) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(side / 16.0, side / 16.0);
    draw(painter);
    return pixmap;
}

QPen Stroke(const QColor& color, qreal width) {
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

void Hourglass(QPainter& p) {
    const QColor frame(0x5a, 0x3a, 0x1a);
    p.setPen(Stroke(frame, 1.5));
    p.drawLine(QPointF(3, 1.5), QPointF(13, 1.5));
    p.drawLine(QPointF(3, 14.5), QPointF(13, 14.5));
    QPainterPath glass;
    glass.moveTo(4, 2);
    glass.lineTo(12, 2);
    glass.lineTo(8.6, 8);
    glass.lineTo(12, 14);
    glass.lineTo(4, 14);
    glass.lineTo(7.4, 8);
    glass.closeSubpath();
    p.setPen(Stroke(frame, 1));
    p.setBrush(QColor(0xf4, 0xf4, 0xff));
    p.drawPath(glass);
    // Sand: a little left above, a heap below.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe8, 0xa3, 0x17));
    p.drawPolygon(QPolygonF({QPointF(6, 5), QPointF(10, 5), QPointF(8, 7.6)}));
    p.drawPolygon(QPolygonF({QPointF(8, 10), QPointF(11, 13.5), QPointF(5, 13.5)}));
}

void Tick(QPainter& p) {
    p.setPen(Stroke(QColor(0x1c, 0x8c, 0x2c), 2.6));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({QPointF(2.5, 8.5), QPointF(6.2, 12.2), QPointF(13.5, 3.5)}));
}

void CircledCross(QPainter& p) {
    p.setPen(Stroke(QColor(0x8a, 0x10, 0x10), 1));
    p.setBrush(QColor(0xd8, 0x22, 0x22));
    p.drawEllipse(QPointF(8, 8), 7, 7);
    p.setPen(Stroke(Qt::white, 2));
    p.drawLine(QPointF(5.2, 5.2), QPointF(10.8, 10.8));
    p.drawLine(QPointF(10.8, 5.2), QPointF(5.2, 10.8));
}

void PlainCross(QPainter& p) {
    p.setPen(Stroke(QColor(0xc8, 0x1e, 0x1e), 2.8));
    p.drawLine(QPointF(3, 3), QPointF(13, 13));
    p.drawLine(QPointF(13, 3), QPointF(3, 13));
}

void StartUp(QPainter& p) {
    p.setPen(Stroke(QColor(0x15, 0x6b, 0x1f), 1));
    p.setBrush(QColor(0x2e, 0xa8, 0x3a));
    p.drawEllipse(QPointF(8, 8), 7, 7);
    // Power symbol: an open ring and a bar.
    p.setPen(Stroke(Qt::white, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(4.5, 4.8, 7, 7), 120 * 16, 300 * 16);
    p.drawLine(QPointF(8, 3.5), QPointF(8, 8));
}

void Eye(QPainter& p, const QColor& color) {
    QPainterPath lids;
    lids.moveTo(1, 8);
    lids.quadTo(8, 1, 15, 8);
    lids.quadTo(8, 15, 1, 8);
    p.setPen(Stroke(color, 1.2));
    p.setBrush(Qt::white);
    p.drawPath(lids);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(8, 8), 2.6, 2.6);
}

void EyeShown(QPainter& p) {
    Eye(p, QColor(0x1d, 0x4f, 0xa8));
}

void EyeHidden(QPainter& p) {
    Eye(p, QColor(0x80, 0x80, 0x80));
    p.setPen(Stroke(QColor(0x50, 0x50, 0x50), 1.8));
    p.drawLine(QPointF(2.5, 13.5), QPointF(13.5, 2.5));
}

void Exchange(QPainter& p) {
    // Two opposite arrows: a conversation with a reader under way.
    p.setPen(Stroke(QColor(0x0b, 0x6e, 0x79), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(2, 5), QPointF(13, 5));
    p.drawPolyline(QPolygonF({QPointF(10, 2.5), QPointF(13, 5), QPointF(10, 7.5)}));
    p.drawLine(QPointF(14, 11), QPointF(3, 11));
    p.drawPolyline(QPolygonF({QPointF(6, 8.5), QPointF(3, 11), QPointF(6, 13.5)}));
}

void Information(QPainter& p) {
    p.setPen(Stroke(QColor(0x12, 0x3c, 0x8c), 1));
    p.setBrush(QColor(0x2f, 0x6f, 0xd0));
    p.drawEllipse(QPointF(8, 8), 7, 7);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(8, 4.6), 1.2, 1.2);
    p.drawRoundedRect(QRectF(7, 6.8, 2, 6), 0.6, 0.6);
}

void Play(QPainter& p) {
    p.setPen(Stroke(QColor(0x15, 0x6b, 0x1f), 1));
    p.setBrush(QColor(0x2e, 0xa8, 0x3a));
    p.drawPolygon(QPolygonF({QPointF(4, 2.5), QPointF(13.5, 8), QPointF(4, 13.5)}));
}

void Pausa(QPainter& p) {
    p.setPen(Stroke(QColor(0x12, 0x3c, 0x8c), 1));
    p.setBrush(QColor(0x2f, 0x6f, 0xd0));
    p.drawRoundedRect(QRectF(3.5, 2.5, 3.2, 11), 0.8, 0.8);
    p.drawRoundedRect(QRectF(9.3, 2.5, 3.2, 11), 0.8, 0.8);
}

void Exit(QPainter& p) {
    // An open door and an arrow leaving through it.
    p.setPen(Stroke(QColor(0x5a, 0x3a, 0x1a), 1));
    p.setBrush(QColor(0xb8, 0x7a, 0x3c));
    p.drawRect(QRectF(2, 1.5, 7, 13));
    p.setPen(Stroke(QColor(0xc8, 0x1e, 0x1e), 1.8));
    p.drawLine(QPointF(6, 8), QPointF(14, 8));
    p.drawPolyline(QPolygonF({QPointF(11.5, 5.2), QPointF(14.3, 8), QPointF(11.5, 10.8)}));
}

void Agent(QPainter& p) {
    // A reader's face: a dark blue case with a key in front of it.
    p.setPen(Stroke(QColor(0x0c, 0x22, 0x4e), 0.8));
    p.setBrush(QColor(0x1d, 0x4f, 0xa8));
    p.drawRoundedRect(QRectF(0.8, 0.8, 14.4, 14.4), 3, 3);
    p.setPen(Stroke(QColor(0xf2, 0xc2, 0x2e), 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(5.2, 8), 2.4, 2.4);
    p.drawLine(QPointF(7.6, 8), QPointF(13.2, 8));
    p.drawLine(QPointF(11.2, 8), QPointF(11.2, 10.8));
    p.drawLine(QPointF(13.2, 8), QPointF(13.2, 10.2));
}

using Drawing = void (*)(QPainter&);
constexpr Drawing kStates[RowPictures::kStateCount] = {Hourglass, Tick, CircledCross, PlainCross};
constexpr Drawing kSmall[RowPictures::kSmallCount] = {StartUp, EyeShown, EyeHidden, Exchange,
                                                      Information};

QIcon IconOf(Drawing draw) {
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128}) icon.addPixmap(Paint(side, draw));
    return icon;
}

}  // namespace

QPixmap RowPictures::State(int index) {
    if (index < 0 || index >= kStateCount)
        return {};
    return Paint(kSize, kStates[index]);
}

QPixmap RowPictures::Small(int index) {
    if (index < 0 || index >= kSmallCount)
        return {};
    return Paint(kSize, kSmall[index]);
}

QPixmap RowPictures::Row(int image, int state) {
    // A long list shows the same few pairs over and over.
    static QHash<int, QPixmap> cache;
    const int key = image * 256 + state;
    auto found = cache.constFind(key);
    if (found != cache.constEnd())
        return *found;

    QPixmap row(kRowWidth, kSize);
    row.fill(Qt::transparent);
    QPainter painter(&row);
    const QPixmap statePicture = State(state);
    if (!statePicture.isNull())
        painter.drawPixmap(0, 0, statePicture);
    const QPixmap smallPicture = Small(image);
    if (!smallPicture.isNull())
        painter.drawPixmap(kSize + kGap, 0, smallPicture);
    painter.end();
    cache.insert(key, row);
    return row;
}

QIcon RowPictures::PlayIcon() {
    return IconOf(Play);
}
QIcon RowPictures::PausaIcon() {
    return IconOf(Pausa);
}
QIcon RowPictures::ExitIcon() {
    return IconOf(Exit);
}
QIcon RowPictures::AgentIcon() {
    return IconOf(Agent);
}
