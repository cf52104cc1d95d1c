#include "vyr/app/capsule.hpp"

#include <QCursor>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <utility>

#include "vyr/app/drawing.hpp"
#include "vyr/app/monitor_controller.hpp"
#include "vyr/app/settings_store.hpp"
#include "vyr/app/text.hpp"

namespace vyr::app {

namespace {

// The plate transparency setting as a whole number; a value without a
// whole-number reading counts as the default 210.
long long read_bg_alpha(MonitorController* monitor) {
    const SettingValue v = monitor->settings().get("bg_alpha", SettingValue(210));
    return v.to_int().value_or(210);
}

}  // namespace

double capsule_fill_width(int w, double percent) {
    if (!(percent > 0.5)) return 0.0;
    return std::max(3.2, (w - 14) * (percent / 100.0));
}

SingleMainCapsule::SingleMainCapsule(MonitorController* parent_monitor_)
    : QWidget(parent_monitor_->monitor_window()), parent_monitor(parent_monitor_) {
    setFixedSize(82, 48);
    setCursor(Qt::PointingHandCursor);
    setMouseTracking(true);
}

void SingleMainCapsule::update_main(double percent_, const QString& accent_hex_) {
    double p = percent_ < 100 ? percent_ : 100.0;
    p = p > 0 ? p : 0.0;
    QString accent = !accent_hex_.isEmpty() ? accent_hex_ : level_color(p, QStringLiteral("#15803D"));
    // The same figure in the same colour paints the same capsule.
    if (p == percent && accent == accent_hex) return;
    percent = p;
    accent_hex = std::move(accent);
    update();
}

QRectF SingleMainCapsule::_close_btn_rect() const { return QRectF(width() - 17, 2, 15, 15); }

bool SingleMainCapsule::draws_no_plate() const { return !is_hovered && read_bg_alpha(parent_monitor) <= 0; }

void SingleMainCapsule::paint_figures(QPainter& p, bool with_track) const {
    const int w = width();
    const int h = height();
    const QColor accent(accent_hex);

    draw_metric_vector_icon(p, QStringLiteral("workload"), 17.5, 16.0, accent);

    p.setFont(make_clean_font(7));
    p.setPen(QColor(QStringLiteral("#334155")));
    p.drawText(QRectF(5, 23, 26, 13), Qt::AlignCenter, QStringLiteral("Vyr"));

    p.setFont(make_clean_font(10));
    p.setPen(QColor(QStringLiteral("#0F172A")));
    p.drawText(QRectF(28, 8, w - 36, 24), Qt::AlignRight | Qt::AlignVCenter, percent_text(percent, 0));

    p.setPen(Qt::NoPen);
    if (with_track) {
        p.setBrush(QColor(255, 255, 255, 34));
        p.drawRoundedRect(QRectF(7, h - 8.5, w - 14, 3.2), 1.6, 1.6);
    }

    const double fill_w = capsule_fill_width(w, percent);
    if (fill_w > 0) {
        p.setBrush(accent);
        p.drawRoundedRect(QRectF(7, h - 8.5, fill_w, 3.2), 1.6, 1.6);
    }
}

void SingleMainCapsule::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const int w = width();
    const int h = height();
    const QColor accent(accent_hex);
    const long long bg_alpha = read_bg_alpha(parent_monitor);

    const QRectF plate(1, 1, w - 2, h - 2);
    if (is_hovered) {
        p.setBrush(QColor(236, 253, 245, 245));
        p.setPen(QPen(accent, 1.3));
        p.drawRoundedRect(plate, 10, 10);
    } else if (bg_alpha > 0) {
        p.setBrush(QColor(255, 255, 255, 245));
        p.setPen(QPen(QColor(153, 213, 201, 95), 1.1));
        p.drawRoundedRect(plate, 10, 10);
    }

    paint_figures(p, true);

    if (is_hovered) {
        const QRectF r = _close_btn_rect();
        p.setPen(Qt::NoPen);
        p.setBrush(close_btn_hovered ? QColor(229, 152, 155, 235) : QColor(46, 52, 64, 210));
        p.drawRoundedRect(r, 4, 4);
        p.setPen(QPen(QColor(close_btn_hovered ? QStringLiteral("#14161B") : QStringLiteral("#DC2626")), 1.4,
                      Qt::SolidLine, Qt::RoundCap));
        const double cx = r.center().x();
        const double cy = r.center().y();
        p.drawLine(QPointF(cx - 3, cy - 3), QPointF(cx + 3, cy + 3));
        p.drawLine(QPointF(cx + 3, cy - 3), QPointF(cx - 3, cy + 3));
    }
    p.end();

    // The shape follows the figure and the bar while no plate is drawn; it
    // is told after the paint, never from inside it.
    const QString key = see_through_key();
    if (key != see_through_key_) {
        see_through_key_ = key;
        QMetaObject::invokeMethod(this, &SingleMainCapsule::shape_changed, Qt::QueuedConnection);
    }
}

QString SingleMainCapsule::see_through_key() const {
    if (!draws_no_plate()) return QString();
    return percent_text(percent, 0) + QLatin1Char(' ') + QString::number(capsule_fill_width(width(), percent));
}

bool SingleMainCapsule::plate_follows_hover() {
    const QString key = see_through_key();
    if (key == see_through_key_) return false;
    see_through_key_ = key;
    emit shape_changed();
    return true;
}

std::optional<QRegion> SingleMainCapsule::see_through_shape() const {
    if (!draws_no_plate()) return std::nullopt;
    // The faint bar track is left out: a window without a compositing
    // manager would show it as a dark bar where a composited one shows
    // next to nothing.
    QImage image(size(), QImage::Format_ARGB32_Premultiplied);
    // Fonts are sized in points: the image takes the widget's resolution so
    // that the glyphs come out as the capsule paints them on its screen.
    image.setDotsPerMeterX(qRound(logicalDpiX() / 0.0254));
    image.setDotsPerMeterY(qRound(logicalDpiY() / 0.0254));
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        paint_figures(p, false);
    }
    QRegion painted;
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width();) {
            if (qAlpha(row[x]) == 0) {
                ++x;
                continue;
            }
            const int start = x;
            while (x < image.width() && qAlpha(row[x]) != 0) ++x;
            painted += QRect(start - 1, y - 1, x - start + 2, 3);
        }
    }
    return painted & rect();
}

void SingleMainCapsule::recheck_pointer() {
    if (!is_hovered) return;
    if (isVisible() && rect().contains(mapFromGlobal(QCursor::pos()))) return;
    QEvent leave(QEvent::Leave);
    leaveEvent(&leave);
}

void SingleMainCapsule::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        if (_close_btn_rect().contains(QPointF(event->pos()))) {
            emit close_requested();
            event->accept();
            return;
        }
        _press_global_pos = event->globalPos();
        _dragging = false;
        parent_monitor->begin_drag(event->globalPos());
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void SingleMainCapsule::mouseMoveEvent(QMouseEvent* event) {
    const bool was_hovered = close_btn_hovered;
    close_btn_hovered = _close_btn_rect().contains(QPointF(event->pos()));
    if (close_btn_hovered != was_hovered) update();

    if ((event->buttons() & Qt::LeftButton) && _press_global_pos) {
        if ((event->globalPos() - *_press_global_pos).manhattanLength() >= 6) {
            _dragging = true;
            parent_monitor->close_vertical_popup(0.8);
            parent_monitor->perform_drag(event->globalPos());
        }
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void SingleMainCapsule::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const bool was_dragging = _dragging;
        // Only a press that began outside the close button stored its position:
        // the release of a press on the close button is no click.
        const bool was_pressed = _press_global_pos.has_value();
        _press_global_pos.reset();
        _dragging = false;
        parent_monitor->end_drag();
        if (was_pressed && !was_dragging) emit clicked();
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void SingleMainCapsule::enterEvent(QEvent* event) {
    is_hovered = true;
    // The plate that the window has just grown to show is painted at once,
    // before the window system asks for the part that it uncovered.
    if (plate_follows_hover())
        repaint();
    else
        update();
    emit hovered_enter();
    QWidget::enterEvent(event);
}

void SingleMainCapsule::leaveEvent(QEvent* event) {
    is_hovered = false;
    close_btn_hovered = false;
    plate_follows_hover();
    update();
    emit hovered_leave();
    QWidget::leaveEvent(event);
}

}  // namespace vyr::app
