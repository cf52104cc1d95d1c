// The desktop capsule: an 82 x 48 painted tile with the overall workload.
#pragma once

#include <QPoint>
#include <QRectF>
#include <QRegion>
#include <QString>
#include <QWidget>

#include <optional>

namespace vyr::app {

class MonitorController;

// Width of the capsule's bar fill for a widget `w` pixels wide: none at 0.5 % and
// below, else the track width's share of `percent`, at least 3.2.
double capsule_fill_width(int w, double percent);

class SingleMainCapsule : public QWidget {
    Q_OBJECT

public:
    explicit SingleMainCapsule(MonitorController* parent_monitor);

    // Takes a new measurement: percent clamped to 0..100, the accent as given
    // or, when empty, the level colour of the clamped percent.
    void update_main(double percent, const QString& accent_hex);
    // The mini close button (width - 17, 2, 15, 15).
    QRectF _close_btn_rect() const;

    // While the capsule draws no plate (resting at a transparency level of 0
    // or below), the pixels it paints, grown by one pixel so that the glyphs
    // stay whole: what a window without a compositing manager is cut to so
    // that the desktop shows around them. Nothing while a plate is drawn.
    std::optional<QRegion> see_through_shape() const;

    // Ends the hover look when the pointer is no longer over the capsule: a
    // popup menu's pointer grab swallows the leave event that would have.
    void recheck_pointer();

signals:
    void clicked();
    void close_requested();
    void hovered_enter();
    void hovered_leave();
    // What see_through_shape() gives has changed. Sent at once when the
    // pointer enters or leaves, before the repaint that shows the change: a
    // window without a compositing manager shows the part that it gains of
    // its shape only as painted after the shape has grown. Any other change
    // is sent once the repaint that found it is over.
    void shape_changed();

protected:
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The icon, the product word, the figure and the bar (its track only
    // when `with_track`): everything but the plate and the close button.
    void paint_figures(QPainter& p, bool with_track) const;
    bool draws_no_plate() const;
    // What the see-through shape depends on; empty while a plate is drawn.
    QString see_through_key() const;
    // Sends shape_changed at once when the hover has brought the plate back
    // or taken it away; true when it did.
    bool plate_follows_hover();

    MonitorController* parent_monitor;
    double percent = 0.0;
    QString accent_hex = QStringLiteral("#15803D");
    bool is_hovered = false;
    bool close_btn_hovered = false;
    // Global position of the current left press that began outside the close button.
    std::optional<QPoint> _press_global_pos;
    bool _dragging = false;
    // What the last repaint showed without a plate (empty while it drew one).
    QString see_through_key_;
};

}  // namespace vyr::app
