#include "vyr/app/popup_row.hpp"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "vyr/app/drawing.hpp"
#include "vyr/app/metric_meta.hpp"
#include "vyr/app/text.hpp"

namespace vyr::app {

namespace {

const MetricMeta& meta_of(const QString& key) {
    const MetricMeta* m = find_metric_meta(key.toUtf8().constData());
    if (!m) throw std::invalid_argument("no metric named '" + key.toStdString() + "'");
    return *m;
}

}  // namespace

double row_fill_width(int w, double percent) {
    if (!(percent > 0.5)) return 0.0;
    return std::max(3.0, (w - 20) * (percent / 100.0));
}

PopupMetricRow::PopupMetricRow(const QString& metric_key_, QWidget* parent)
    : QWidget(parent),
      metric_key(metric_key_),
      title_text(qs(meta_of(metric_key_).title)),
      default_accent(qs(meta_of(metric_key_).accent)),
      current_accent(default_accent) {
    setFixedSize(276, 48);
    setCursor(Qt::PointingHandCursor);
    setMouseTracking(true);
}

void PopupMetricRow::update_row(double percent_, const QString& sub_detail_, const QString& custom_color) {
    double p = percent_ < 100.0 ? percent_ : 100.0;
    p = p > 0.0 ? p : 0.0;
    QString accent = !custom_color.isEmpty() ? custom_color : level_color(p, default_accent);
    // The same figure, detail and colour paint the same row.
    if (p == percent && sub_detail_ == sub_detail && accent == current_accent) return;
    percent = p;
    sub_detail = sub_detail_;
    current_accent = std::move(accent);
    update();
}

void PopupMetricRow::clear_hover() {
    if (!is_hovered) return;
    is_hovered = false;
    update();
}

void PopupMetricRow::enterEvent(QEvent* event) {
    is_hovered = true;
    update();
    QWidget::enterEvent(event);
}

void PopupMetricRow::leaveEvent(QEvent* event) {
    is_hovered = false;
    update();
    QWidget::leaveEvent(event);
}

void PopupMetricRow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        is_hovered = false;
        update();
        emit clicked(metric_key);
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void PopupMetricRow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const int w = width();
    const int h = height();
    const QColor accent(current_accent);

    const QRectF card(1.0, 1.0, w - 2.0, h - 2.0);
    if (is_hovered) {
        p.setBrush(QColor(236, 253, 245, 250));
        p.setPen(QPen(accent, 1.1));
    } else {
        p.setBrush(QColor(255, 255, 255, 250));
        p.setPen(QPen(QColor(203, 213, 225, 255), 0.9));
    }
    p.drawRoundedRect(card, 8, 8);

    draw_metric_vector_icon(p, metric_key, 18.0, 19.0, accent);

    p.setFont(make_clean_font(10));
    p.setPen(QColor(QStringLiteral("#0F172A")));
    p.drawText(QRectF(34, 4, w - 92, 18), Qt::AlignLeft | Qt::AlignVCenter, title_text);

    p.setFont(make_clean_font(8));
    p.setPen(QColor(QStringLiteral("#475569")));
    p.drawText(QRectF(34, 21, w - 42, 16), Qt::AlignLeft | Qt::AlignVCenter, sub_detail);

    p.setFont(make_clean_font(11));
    p.setPen(accent);
    p.drawText(QRectF(w - 58, 3, 50, 20), Qt::AlignRight | Qt::AlignVCenter, percent_text(percent, 0));

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 28));
    p.drawRoundedRect(QRectF(10, h - 6.5, w - 20, 3.0), 1.5, 1.5);

    if (percent > 0.5) {
        p.setBrush(accent);
        p.drawRoundedRect(QRectF(10, h - 6.5, row_fill_width(w, percent), 3.0), 1.5, 1.5);
    }
    p.end();
}

}  // namespace vyr::app
