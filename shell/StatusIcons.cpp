#include "shell/StatusIcons.h"

#include <QPainter>
#include <QPixmap>

namespace {

QPixmap Screen() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setPen(QColor(40, 40, 40));
    p.setBrush(QColor(70, 130, 200));
    p.drawRect(1, 2, 13, 9);
    p.fillRect(6, 12, 4, 2, QColor(40, 40, 40));
    p.fillRect(4, 14, 8, 1, QColor(40, 40, 40));
    return pixmap;
}

}  // namespace

QIcon PlainClientIcon() {
    static const QIcon icon(Screen());
    return icon;
}

QIcon SecureClientIcon() {
    static const QIcon icon = [] {
        QPixmap pixmap = Screen();
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(60, 60, 60), 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(8.5, 5.5, 6, 6), 0, 180 * 16);
        p.setPen(QColor(60, 60, 60));
        p.setBrush(QColor(230, 180, 40));
        p.drawRect(QRectF(7.5, 8.5, 8, 6.5));
        return QIcon(pixmap);
    }();
    return icon;
}

QIcon ApplicationIcon() {
    static const QIcon icon = [] {
        QIcon result;
        for (int size : {16, 32, 64}) {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(30, 90, 160));
            p.drawRoundedRect(QRectF(0, 0, size, size), size / 5.0, size / 5.0);
            p.setPen(Qt::white);
            QFont font;
            font.setBold(true);
            font.setPixelSize(size * 11 / 16);
            p.setFont(font);
            p.drawText(QRect(0, 0, size, size), Qt::AlignCenter, "Q");
            result.addPixmap(pixmap);
        }
        return result;
    }();
    return icon;
}
