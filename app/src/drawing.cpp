#include "vyr/app/drawing.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPen>

namespace vyr::app {

QString level_color(double percent, const QString& default_hex) {
    if (percent >= 88) return QStringLiteral("#DC2626");
    if (percent >= 75) return QStringLiteral("#D97706");
    return default_hex;
}

QFont make_clean_font(int size_pt) {
    QFont f(QStringLiteral("Roboto"), size_pt, QFont::Bold);
    f.setBold(true);
    f.setWeight(QFont::Bold);
    f.setStyleStrategy(QFont::StyleStrategy(QFont::PreferAntialias | QFont::PreferQuality));
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

void draw_metric_vector_icon(QPainter& p, const QString& metric_key, double cx, double cy, const QColor& color) {
    QPen pen(color, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    auto pt = [cx, cy](double dx, double dy) { return QPointF(cx + dx, cy + dy); };
    auto line = [&p, &pt](double x1, double y1, double x2, double y2) { p.drawLine(pt(x1, y1), pt(x2, y2)); };

    if (metric_key == QLatin1String("workload")) {
        QPainterPath path;
        path.moveTo(pt(-8, 1));
        path.lineTo(pt(-4, 1));
        path.lineTo(pt(-1.8, -5.5));
        path.lineTo(pt(1.8, 5.5));
        path.lineTo(pt(4, -2));
        path.lineTo(pt(8, 1));
        p.drawPath(path);
    } else if (metric_key == QLatin1String("cpu")) {
        p.drawRoundedRect(QRectF(cx - 5.5, cy - 5.5, 11, 11), 2, 2);
        p.drawRect(QRectF(cx - 2, cy - 2, 4, 4));
        for (double d : {-3.2, 0.0, 3.2}) {
            line(d, -8, d, -5.5);
            line(d, 5.5, d, 8);
            line(-8, d, -5.5, d);
            line(5.5, d, 8, d);
        }
    } else if (metric_key == QLatin1String("ram")) {
        p.drawRoundedRect(QRectF(cx - 7.5, cy - 5, 15, 8), 1.8, 1.8);
        for (double x : {-4.0, 0.0, 4.0}) {
            line(x, -2, x, 0.5);
            line(x, 3, x, 5.5);
        }
    } else if (metric_key == QLatin1String("disk")) {
        p.drawRoundedRect(QRectF(cx - 7, cy - 5.5, 14, 11), 2, 2);
        line(-7, 1.5, 7, 1.5);
        p.setBrush(color);
        p.setPen(Qt::NoPen);
        p.drawEllipse(pt(3.8, 3.5), 1.3, 1.3);
    } else if (metric_key == QLatin1String("swap")) {
        line(-6.5, -2.8, 5.5, -2.8);
        line(2.5, -5.5, 6, -2.8);
        line(2.5, 0, 6, -2.8);
        line(6.5, 2.8, -5.5, 2.8);
        line(-2.5, 0, -6, 2.8);
        line(-2.5, 5.5, -6, 2.8);
    }
}

}  // namespace vyr::app
