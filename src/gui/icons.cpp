#include "gui/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <functional>
#include <vector>

namespace vs::gui {
namespace {

// Everything is drawn on a 16-unit grid and scaled, so one drawing serves
// the grid cell, the tray and the window manager's larger sizes.
constexpr qreal kGrid = 16.0;

using Drawing = std::function<void(QPainter&)>;

QPixmap Paint(const Drawing& draw, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kGrid, size / kGrid);
    draw(painter);
    return pixmap;
}

QIcon Icon(const Drawing& draw, std::initializer_list<int> sizes) {
    QIcon icon;
    for (int size : sizes) {
        icon.addPixmap(Paint(draw, size));
    }
    return icon;
}

QIcon SmallIcon(const Drawing& draw) {
    return Icon(draw, {16, 32});
}

void Sheet(QPainter& p, const QColor& paper) {
    QPainterPath outline;
    outline.moveTo(3, 1);
    outline.lineTo(10, 1);
    outline.lineTo(13, 4);
    outline.lineTo(13, 15);
    outline.lineTo(3, 15);
    outline.closeSubpath();
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(paper);
    p.drawPath(outline);
    p.drawLine(QPointF(10, 1), QPointF(10, 4));
    p.drawLine(QPointF(10, 4), QPointF(13, 4));
}

void SheetLines(QPainter& p) {
    p.setPen(QPen(QColor(70, 110, 200), 1));
    for (int y : {6, 8, 10, 12}) {
        p.drawLine(QPointF(5, y + 0.5), QPointF(11, y + 0.5));
    }
}

// The store: a cylinder, the usual picture of something kept on disk.
void Cylinder(QPainter& p, const QRectF& box, const QColor& body) {
    const qreal lid = box.height() / 4;
    QPainterPath side;
    side.moveTo(box.left(), box.top() + lid / 2);
    side.lineTo(box.left(), box.bottom() - lid / 2);
    side.arcTo(QRectF(box.left(), box.bottom() - lid, box.width(), lid), 180, 180);
    side.lineTo(box.right(), box.top() + lid / 2);
    side.closeSubpath();
    p.setPen(QPen(body.darker(170), 1));
    p.setBrush(body);
    p.drawPath(side);
    p.setBrush(body.lighter(130));
    p.drawEllipse(QRectF(box.left(), box.top(), box.width(), lid));
}

void DownArrow(QPainter& p, qreal x, qreal top, const QColor& color) {
    QPainterPath arrow;
    arrow.moveTo(x - 1.5, top);
    arrow.lineTo(x + 1.5, top);
    arrow.lineTo(x + 1.5, top + 3);
    arrow.lineTo(x + 3.5, top + 3);
    arrow.lineTo(x, top + 6.5);
    arrow.lineTo(x - 3.5, top + 3);
    arrow.lineTo(x - 1.5, top + 3);
    arrow.closeSubpath();
    p.setPen(QPen(color.darker(160), 0.8));
    p.setBrush(color);
    p.drawPath(arrow);
}

void PlainAnswer(QPainter& p) {
    Sheet(p, Qt::white);
    SheetLines(p);
}

// A 304: the copy kept was confirmed, hence the tick over the page.
void NotModified(QPainter& p) {
    Sheet(p, Qt::white);
    QPainterPath tick;
    tick.moveTo(4.5, 9);
    tick.lineTo(7, 12);
    tick.lineTo(12, 5.5);
    p.setPen(QPen(QColor(30, 150, 40), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
}

void FromCache(QPainter& p) {
    Cylinder(p, QRectF(2.5, 1.5, 11, 13), QColor(235, 190, 40));
}

void Refused(QPainter& p) {
    p.setPen(QPen(QColor(140, 0, 0), 1));
    p.setBrush(QColor(215, 30, 30));
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4, 6.75, 8, 2.5));
}

void Failed(QPainter& p) {
    Sheet(p, QColor(225, 225, 225));
    p.setPen(QPen(QColor(210, 20, 20), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(5.5, 6.5), QPointF(10.5, 12.5));
    p.drawLine(QPointF(10.5, 6.5), QPointF(5.5, 12.5));
}

// States: an empty ring while waiting, a green light for a good answer, a
// grey block for anything else or the end of the connection.
void Waiting(QPainter& p) {
    p.setPen(QPen(QColor(120, 120, 120), 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(3.5, 3.5, 9, 9));
}

void Answered(QPainter& p) {
    p.setPen(QPen(QColor(20, 110, 30), 1));
    p.setBrush(QColor(60, 190, 70));
    p.drawEllipse(QRectF(3.5, 3.5, 9, 9));
}

void Ended(QPainter& p) {
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(QColor(150, 150, 150));
    p.drawRect(QRectF(4.5, 4.5, 7, 7));
}

// The application's picture: the store with an arrow bringing bytes in.
// The tray frames move the arrow down into the store while traffic flows.
void Store(QPainter& p, qreal arrowTop) {
    Cylinder(p, QRectF(1.5, 6.5, 13, 9), QColor(70, 130, 210));
    DownArrow(p, 8, arrowTop, QColor(80, 200, 90));
}

const std::vector<QIcon>& Kinds() {
    static const std::vector<QIcon> icons{SmallIcon(PlainAnswer), SmallIcon(NotModified),
                                          SmallIcon(FromCache), SmallIcon(Refused),
                                          SmallIcon(Failed)};
    return icons;
}

const std::vector<QIcon>& States() {
    static const std::vector<QIcon> icons{SmallIcon(Waiting), SmallIcon(Answered),
                                          SmallIcon(Ended)};
    return icons;
}

const std::vector<QIcon>& Frames() {
    static const std::vector<QIcon> icons = [] {
        std::vector<QIcon> frames;
        for (int i = 0; i < kTrayFrameCount; ++i) {
            const qreal top = 0.5 + 2.0 * i;
            frames.push_back(Icon([top](QPainter& p) { Store(p, top); }, {16, 22, 32}));
        }
        return frames;
    }();
    return icons;
}

QIcon At(const std::vector<QIcon>& icons, int index) {
    if (index < 0 || index >= static_cast<int>(icons.size())) {
        return {};
    }
    return icons[static_cast<std::size_t>(index)];
}

}  // namespace

QIcon MonitorKindIcon(int kind) {
    return At(Kinds(), kind);
}

QIcon MonitorStateIcon(int state) {
    return At(States(), state);
}

QIcon TrayFrame(int frame) {
    const int count = kTrayFrameCount;
    return Frames()[static_cast<std::size_t>(((frame % count) + count) % count)];
}

QIcon ApplicationIcon() {
    static const QIcon icon = Icon([](QPainter& p) { Store(p, 0.5); }, {16, 32, 48, 64, 128});
    return icon;
}

}  // namespace vs::gui
