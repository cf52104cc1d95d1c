// The monitor controller's decisions, apart from the widgets that carry them
// out: hover opening and closing of the summary popup, the capsule's click
// and close actions, the tray toggle, opening the inspector and keeping the
// worker in step with it, placing, clamping and dragging the window, and the
// menu actions. Every outside thing it touches comes through a small port,
// so the rules run the same against the real widgets and against test fakes.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QPoint>
#include <QRect>
#include <QSize>

#include "vyr/records.hpp"
#include "vyr/app/settings_store.hpp"
#include "vyr/shell/telemetry_worker.hpp"

namespace vyr::shell {

// The settings store the views read as well: its values keep the runtime's
// truth and int().
using vyr::app::SettingValue;
using vyr::app::SettingsStore;

class TimerPort {
public:
    virtual ~TimerPort() = default;
    virtual void start(int ms) = 0;  // (re)starts with this interval
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

// The controller window itself.
class WindowPort {
public:
    virtual ~WindowPort() = default;
    virtual bool isVisible() const = 0;
    virtual QPoint pos() const = 0;        // the frame's top-left corner
    virtual QSize size() const = 0;
    virtual QRect geometry() const = 0;    // the window's own geometry (its centre picks the screen)
    virtual void move(const QPoint& frame_top_left) = 0;
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual void raise() = 0;
    virtual void baseShowNormal() = 0;
    virtual void setWindowFlags(bool stays_on_top) = 0;  // frameless tool window
    virtual bool hasNativeWindow() const = 0;
    virtual void startSystemMove() = 0;
};

class CapsulePort {
public:
    virtual ~CapsulePort() = default;
    virtual QPoint globalTopLeft() const = 0;
    virtual QSize size() const = 0;
    virtual bool underMouse() const = 0;
    virtual void updateMain(double percent, const std::string& accent_hex) = 0;
    virtual void repaint() = 0;
};

class PopupPort {
public:
    virtual ~PopupPort() = default;
    virtual bool isVisible() const = 0;
    virtual void hide() = 0;
    virtual bool isPinned() const = 0;
    virtual void setPinned(bool pinned) = 0;
    virtual void updatePinStyle() = 0;
    virtual void clearRowHovers() = 0;
    virtual bool underMouse() const = 0;
    virtual QRect frameGeometry() const = 0;
    virtual void showNear(const QRect& anchor) = 0;
    virtual void updateSnapshot(const SystemMetricsSnapshot& snap) = 0;
};

class InspectorPort {
public:
    virtual ~InspectorPort() = default;
    virtual bool isVisible() const = 0;  // true for a minimised window as well
    virtual bool isMinimized() const = 0;
    virtual std::string activeMetric() const = 0;
    virtual bool isPaused() const = 0;
    virtual std::string searchText() const = 0;
    virtual bool groupChecked() const = 0;
    virtual void selectMetricTab(const std::string& key) = 0;
    virtual void hideInspector() = 0;
    virtual void showNormal() = 0;
    virtual void raise() = 0;
    virtual void activateWindow() = 0;
    virtual QRect frameRect() const = 0;  // x(), y(), width(), height()
    virtual void move(const QPoint& top_left) = 0;
    virtual void setGeometry(const QRect& rect) = 0;
    virtual void updateData(const SystemMetricsSnapshot& snap,
                            const std::vector<ProcessEntry>& procs) = 0;
};

class TrayPort {
public:
    virtual ~TrayPort() = default;
    virtual bool isVisible() const = 0;
    virtual QRect geometry() const = 0;
    virtual void setToolTip(const std::string& text) = 0;
};

// The desktop around the window: screens, pointer, platform and clock.
class DesktopPort {
public:
    virtual ~DesktopPort() = default;
    // Available area of the screen containing `point`, if any.
    virtual std::optional<QRect> availableAt(const QPoint& point) const = 0;
    virtual std::optional<QRect> primaryAvailable() const = 0;
    virtual QPoint pointerPos() const = 0;
    virtual std::string platformName() const = 0;
    // Wall-clock seconds since the epoch.
    virtual double now() const = 0;
};

class WorkerPort {
public:
    virtual ~WorkerPort() = default;
    virtual void setParams(const WorkerParams& params) = 0;
};

// Delays, margins and blocks of the controller.
namespace timing {
inline constexpr int kHoverOpenMs = 160;
inline constexpr int kCloseAfterCapsuleMs = 200;
inline constexpr int kCloseAfterPopupMs = 160;
inline constexpr int kCloseFromWatchdogMs = 180;
inline constexpr int kWatchdogMs = 200;
inline constexpr double kTrayGraceSec = 3.5;
}  // namespace timing

// The transparency levels of the capsule's background plate.
struct AlphaLevel {
    const char* text;
    int value;
};
inline constexpr AlphaLevel kAlphaLevels[] = {
    {"Tam Şeffaf (Sadece Simge & Yazı)", 0},
    {"Hafif Füme Cam", 65},
    {"Yumuşak Füme Cam (Varsayılan)", 210},
    {"Mat Koyu Gri", 240},
};

// The worker period from the stored "refresh_ms": its whole-number value,
// or the default period when the value has none (so a bad entry cannot stop every start).
long long refresh_interval_from(const SettingValue& refresh_ms);

// The tray tool tip for one snapshot.
std::string tray_tooltip(const SystemMetricsSnapshot& snap);

// The icon files tried in order: beside the assets folder, then inside it.
std::vector<std::string> icon_candidates(const std::string& assets_dir);

class MonitorLogic {
public:
    using Clock = std::function<double()>;

    MonitorLogic(SettingsStore& settings, WindowPort& window, DesktopPort& desktop,
                 TimerPort& hover_open_timer, TimerPort& hide_popup_timer);

    // Attached as the controller builds them; absent ones are skipped where
    // the controller allows it.
    void attach_popup(PopupPort* popup) { popup_ = popup; }
    void attach_capsule(CapsulePort* capsule) { capsule_ = capsule; }
    void attach_inspector(InspectorPort* inspector) { inspector_ = inspector; }
    void attach_tray(TrayPort* tray) { tray_ = tray; }
    void attach_worker(WorkerPort* worker) { worker_ = worker; }

    // Window flags and showing.
    void apply_window_flags(bool initial);
    void toggle_always_on_top();
    void show_normal();

    // Refresh.
    void on_telemetry_ready(const TelemetryFramePtr& frame);
    const SystemMetricsSnapshot* last_snapshot() const {
        return last_frame_ ? &last_frame_->snapshot : nullptr;
    }

    // Summary popup visibility.
    void on_capsule_entered();
    void on_capsule_left();
    void on_popup_entered();
    void on_popup_left();
    void on_popup_manual_closed();
    void on_hover_open_timeout();
    void on_hide_popup_timeout();
    void check_popup_watchdog();
    void toggle_hover_popup(bool checked);
    void close_vertical_popup(double suppress_sec = 1.2);
    void show_vertical_popup();
    bool is_really_inside_capsule_or_popup() const;

    // Capsule click and close actions, tray.
    void on_main_capsule_clicked();
    void on_capsule_close_btn();
    void toggle_desktop_capsule();
    void on_tray_activated(bool is_trigger);
    void toggle_tray_popup();
    void on_popup_metric_clicked(const std::string& metric_key);

    // Inspector and worker.
    void open_inspector(const std::string& metric_key);
    void sync_worker_params();
    void position_inspector();

    // Position and dragging.
    void restore_position();
    void clamp_to_screen();
    void begin_drag(const QPoint& global_pos);
    void perform_drag(const QPoint& global_pos);
    void end_drag();

    // Menu actions.
    void set_locked(bool checked);
    void set_bg_alpha(int alpha_val);
    void hide_desktop_icon();
    // Check marks of the context menu, read when it is built.
    bool hover_popup_enabled();
    bool always_on_top_enabled();
    bool locked_enabled();

    // State, for the views and for tests.
    const std::optional<QPoint>& drag_offset() const { return drag_offset_; }
    bool mouse_in_capsule() const { return mouse_in_capsule_; }
    bool mouse_in_popup() const { return mouse_in_popup_; }
    double suppress_hover_until() const { return suppress_hover_until_; }
    double popup_opened_from_tray_until() const { return popup_opened_from_tray_until_; }

private:
    bool truth_of(const char* key, bool fallback);
    bool drag_under_way() const { return drag_offset_.has_value(); }
    bool inspector_visible() const { return inspector_ && inspector_->isVisible(); }
    // On screen: visible and not minimised. A minimised inspector is out of
    // the user's sight, so the capsule and the popup act as if it were closed.
    bool inspector_shown() const { return inspector_visible() && !inspector_->isMinimized(); }
    bool inspector_minimised() const { return inspector_visible() && inspector_->isMinimized(); }
    // Restores, raises and activates the inspector and lets the worker follow.
    void bring_inspector_up();
    QRect screen_area_for_window() const;

    SettingsStore& settings_;
    WindowPort& window_;
    DesktopPort& desktop_;
    TimerPort& hover_open_timer_;
    TimerPort& hide_popup_timer_;
    PopupPort* popup_ = nullptr;
    CapsulePort* capsule_ = nullptr;
    InspectorPort* inspector_ = nullptr;
    TrayPort* tray_ = nullptr;
    WorkerPort* worker_ = nullptr;

    std::optional<QPoint> drag_offset_;
    bool mouse_in_capsule_ = false;
    bool mouse_in_popup_ = false;
    double suppress_hover_until_ = 0.0;
    double popup_opened_from_tray_until_ = 0.0;
    TelemetryFramePtr last_frame_;
};

}  // namespace vyr::shell
