// The summary popup: a frameless, always-on-top panel with one row per metric.
#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

#include <optional>
#include <utility>
#include <vector>

#include "vyr/records.hpp"

class QBoxLayout;
class QFrame;
class QPushButton;

namespace vyr::app {

class MonitorController;
class PopupMetricRow;

// Top-left corner of a `w` x `h` popup beside `anchor` inside the available
// area `avail`: right of a left-edge anchor, above a bottom-right one (right
// edges aligned), left of a right-edge one, else centred above or below.
QPoint popup_position(const QRect& anchor, const QRect& avail, int w, int h);

class VyrVerticalPopup : public QWidget {
    Q_OBJECT

public:
    explicit VyrVerticalPopup(MonitorController* parent_monitor);

    // Refreshes the five rows from one measurement, shown or not.
    void update_snapshot(const SystemMetricsSnapshot& snap);
    void toggle_pin();
    // Whether the popup stays open when the pointer leaves it; the controller
    // sets it and then restyles the pin button with _update_pin_style.
    bool is_pinned() const { return is_pinned_; }
    void set_pinned(bool pinned) { is_pinned_ = pinned; }
    void _update_pin_style();
    void clear_row_hovers();
    // Sizes the popup to its layout, places it beside `anchor_rect` (global
    // coordinates) on that screen, shows it when hidden and raises it, without
    // activating it.
    void show_near(const QRect& anchor_rect);

    // The row of a metric key, or null.
    PopupMetricRow* row(const QString& metric_key) const;
    // The rounded panel that fills the window.
    QFrame* frame() const { return frame_; }

signals:
    void metric_clicked(const QString& metric_key);
    void popup_entered();
    void popup_left();
    void manual_closed();

protected:
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The panel's contents, built once by the constructor, top to bottom.
    QBoxLayout* _build_frame();
    void _build_header(QBoxLayout* lay);
    void _build_rows(QBoxLayout* lay);
    void _build_actions(QBoxLayout* lay);
    // The popup's own close: unpin, restyle, clear row hovers, hide, then
    // emit manual_closed.
    void _on_close_btn_clicked();

    MonitorController* parent_monitor;
    bool is_pinned_ = false;
    std::optional<QPoint> _drag_offset;
    QFrame* frame_ = nullptr;
    QPushButton* btn_pin = nullptr;
    QPushButton* btn_close_popup = nullptr;
    std::vector<std::pair<QString, PopupMetricRow*>> rows;  // in METRIC_META order
    QPushButton* btn_open_inspector = nullptr;
    QPushButton* btn_bottom_close = nullptr;
};

}  // namespace vyr::app
