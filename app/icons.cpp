#include "app/icons.h"

#include "app/commands.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace icons {
namespace {

QPixmap Blank(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void DrawCheckMark(QPainter& p) {
    QPainterPath path;
    path.moveTo(2.5, 8.5);
    path.lineTo(6.0, 12.5);
    path.lineTo(13.5, 3.5);
    p.setPen(QPen(QColor(0, 90, 0), 3.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(path);
    p.setPen(QPen(QColor(40, 170, 40), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(path);
}

void DrawCross(QPainter& p) {
    p.setPen(QPen(QColor(120, 0, 0), 3.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
    p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
    p.setPen(QPen(QColor(220, 30, 30), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
    p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
}

void DrawPadlock(QPainter& p, bool closed) {
    const QColor body = closed ? QColor(30, 30, 30) : QColor(140, 140, 140);
    const QColor shackle = closed ? QColor(60, 60, 60) : QColor(160, 160, 160);
    p.setPen(QPen(shackle, 1.8));
    p.setBrush(Qt::NoBrush);
    if (closed) {
        // Shackle closed into the body.
        QPainterPath s;
        s.moveTo(5.0, 8.0);
        s.lineTo(5.0, 5.0);
        s.arcTo(QRectF(5.0, 1.5, 6.0, 7.0), 180, -180);
        s.lineTo(11.0, 8.0);
        p.drawPath(s);
    } else {
        // Shackle swung open to the right.
        QPainterPath s;
        s.moveTo(5.0, 8.0);
        s.lineTo(5.0, 5.0);
        s.arcTo(QRectF(5.0, 1.5, 6.0, 7.0), 180, -180);
        s.lineTo(11.0, 5.5);
        p.translate(3.0, -1.5);
        p.drawPath(s);
        p.translate(-3.0, 1.5);
    }
    p.setPen(QPen(body.darker(130), 1.0));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(3.0, 7.5, 10.0, 7.5), 1.5, 1.5);
    p.setPen(Qt::NoPen);
    p.setBrush(closed ? QColor(200, 200, 200) : QColor(235, 235, 235));
    p.drawEllipse(QRectF(7.0, 9.5, 2.0, 2.0));
    p.drawRect(QRectF(7.6, 10.5, 0.8, 2.5));
}

void DrawExclamation(QPainter& p) {
    p.setPen(QPen(QColor(140, 0, 0), 1.0));
    p.setBrush(QColor(220, 30, 30));
    p.drawEllipse(QRectF(0.5, 0.5, 15.0, 15.0));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    QPainterPath bar;
    bar.moveTo(6.6, 3.0);
    bar.lineTo(9.4, 3.0);
    bar.lineTo(8.7, 9.8);
    bar.lineTo(7.3, 9.8);
    bar.closeSubpath();
    p.drawPath(bar);
    p.drawEllipse(QRectF(6.7, 11.0, 2.6, 2.6));
}

// A yellow warning triangle with a black exclamation mark.
void DrawWarning(QPainter& p) {
    QPainterPath triangle;
    triangle.moveTo(8.0, 0.8);
    triangle.lineTo(15.4, 14.6);
    triangle.lineTo(0.6, 14.6);
    triangle.closeSubpath();
    p.setPen(QPen(QColor(150, 110, 0), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(250, 200, 30));
    p.drawPath(triangle);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    QPainterPath bar;
    bar.moveTo(7.0, 5.0);
    bar.lineTo(9.0, 5.0);
    bar.lineTo(8.5, 10.0);
    bar.lineTo(7.5, 10.0);
    bar.closeSubpath();
    p.drawPath(bar);
    p.drawEllipse(QRectF(7.0, 11.2, 2.0, 2.0));
}

// 32781: an "IP" plate with a pencil below it on the right.
void DrawModify(QPainter& p) {
    p.setPen(QPen(QColor(20, 60, 130), 1.0));
    p.setBrush(QColor(60, 120, 205));
    p.drawRoundedRect(QRectF(0.5, 0.5, 13.0, 10.0), 1.5, 1.5);
    QFont font = p.font();
    font.setPixelSize(9);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(0.5, 0.5, 13.0, 10.0), Qt::AlignCenter, QStringLiteral("IP"));
    // Pencil lying from the upper right to its tip at the lower left.
    QPainterPath body;
    body.moveTo(16.0, 9.0);
    body.lineTo(17.5, 10.5);
    body.lineTo(11.0, 17.0);
    body.lineTo(9.5, 15.5);
    body.closeSubpath();
    p.setPen(QPen(QColor(90, 60, 10), 0.8));
    p.setBrush(QColor(250, 195, 30));
    p.drawPath(body);
    QPainterPath tip;
    tip.moveTo(9.5, 15.5);
    tip.lineTo(11.0, 17.0);
    tip.lineTo(8.2, 17.8);
    tip.closeSubpath();
    p.setBrush(QColor(60, 40, 20));
    p.drawPath(tip);
}

// 32782: a globe.
void DrawWeb(QPainter& p) {
    QRadialGradient sea(QPointF(7.0, 6.0), 9.0);
    sea.setColorAt(0.0, QColor(150, 200, 255));
    sea.setColorAt(1.0, QColor(30, 90, 190));
    p.setPen(QPen(QColor(20, 50, 120), 1.0));
    p.setBrush(sea);
    const QRectF ball(1.0, 1.0, 16.0, 16.0);
    p.drawEllipse(ball);
    p.setPen(QPen(QColor(230, 240, 255), 0.9));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(5.5, 1.0, 7.0, 16.0));
    p.drawLine(QPointF(9.0, 1.0), QPointF(9.0, 17.0));
    p.drawLine(QPointF(1.0, 9.0), QPointF(17.0, 9.0));
    p.drawLine(QPointF(2.5, 5.0), QPointF(15.5, 5.0));
    p.drawLine(QPointF(2.5, 13.0), QPointF(15.5, 13.0));
}

// 32783: a circular arrow.
void DrawRefresh(QPainter& p) {
    const QRectF ring(3.0, 3.0, 12.0, 12.0);
    p.setPen(QPen(QColor(10, 100, 10), 3.4, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(ring, 100 * 16, 290 * 16);
    p.setPen(QPen(QColor(50, 170, 50), 2.0, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(ring, 100 * 16, 290 * 16);
    // Arrow head at the start of the arc (top), pointing right.
    QPainterPath head;
    head.moveTo(8.0, -0.5);
    head.lineTo(13.0, 3.0);
    head.lineTo(8.0, 6.5);
    head.closeSubpath();
    p.setPen(QPen(QColor(10, 100, 10), 0.8));
    p.setBrush(QColor(50, 170, 50));
    p.drawPath(head);
}

void DrawCamera(QPainter& p, int size) {
    p.scale(size / 48.0, size / 48.0);
    // Body
    QLinearGradient body(0, 10, 0, 40);
    body.setColorAt(0.0, QColor(90, 95, 105));
    body.setColorAt(1.0, QColor(35, 38, 45));
    p.setPen(QPen(QColor(20, 20, 25), 2.0));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(4, 12, 40, 28), 5, 5);
    p.drawRect(QRectF(12, 7, 12, 6));
    // Thermal lens: hot centre
    QRadialGradient heat(QPointF(26, 26), 11);
    heat.setColorAt(0.0, QColor(255, 250, 200));
    heat.setColorAt(0.35, QColor(255, 200, 40));
    heat.setColorAt(0.7, QColor(230, 70, 20));
    heat.setColorAt(1.0, QColor(90, 20, 120));
    p.setPen(QPen(QColor(15, 15, 15), 2.5));
    p.setBrush(heat);
    p.drawEllipse(QPointF(26, 26), 11, 11);
    // Indicator
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(80, 220, 80));
    p.drawEllipse(QPointF(10, 18), 2.2, 2.2);
}

}  // namespace

QPixmap ListImage(int index) {
    QPixmap pixmap = Blank(16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (index) {
    case 0: DrawCheckMark(p); break;
    case 1: DrawCross(p); break;
    case 2: DrawPadlock(p, true); break;
    case 3: DrawPadlock(p, false); break;
    case 4: DrawExclamation(p); break;
    case 5: DrawWarning(p); break;
    default: break;
    }
    return pixmap;
}

std::vector<QIcon> ListImages() {
    std::vector<QIcon> images;
    for (int i = 0; i < kListImageCount; ++i) images.emplace_back(ListImage(i));
    return images;
}

QPixmap ToolbarImage(int commandId) {
    QPixmap pixmap = Blank(18);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (commandId) {
    case cmd::ID_TOOLBAR_MODIFY: DrawModify(p); break;
    case cmd::ID_TOOLBAR_WEB: DrawWeb(p); break;
    case cmd::ID_TOOLBAR_REFRESH: DrawRefresh(p); break;
    default: break;
    }
    return pixmap;
}

QPixmap ApplicationPixmap(int size) {
    QPixmap pixmap = Blank(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    DrawCamera(p, size);
    return pixmap;
}

QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) icon.addPixmap(ApplicationPixmap(size));
    return icon;
}

}  // namespace icons
