// The desktop capsule: an 82 x 48 painted tile with the overall workload.
#pragma once

#include <QPoint>
#include <QRectF>
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

signals:
    void clicked();
    void close_requested();
    void hovered_enter();
    void hovered_leave();

protected:
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    MonitorController* parent_monitor;
    double percent = 0.0;
    QString accent_hex = QStringLiteral("#15803D");
    bool is_hovered = false;
    bool close_btn_hovered = false;
    // Global position of the current left press that began outside the close button.
    std::optional<QPoint> _press_global_pos;
    bool _dragging = false;
};

}  // namespace vyr::app
