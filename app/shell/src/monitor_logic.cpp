#include "vyr/shell/monitor_logic.hpp"

#include <algorithm>
#include <climits>

#include "vyr/numfmt.hpp"
#include "vyr/settings_defaults.hpp"

namespace vyr::shell {

namespace {

// The screen area used when the system reports no screen at all.
const QRect kFallbackArea(0, 0, 1920, 1080);

int to_int(long long v) {
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

// Python's a // b for b > 0.
int floor_half(int v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

}  // namespace

long long refresh_interval_from(const SettingValue& refresh_ms) {
    return refresh_ms.to_int().value_or(vyr::settings::kRefreshMsDefault);
}

std::string tray_tooltip(const SystemMetricsSnapshot& snap) {
    using vyr::numfmt::fixed;
    return "Vyr Linux Monitor — \nGenel Yük: %" + fixed(snap.overall_workload_percent, 0) +
           " | CPU: %" + fixed(snap.cpu_percent, 0) + " | RAM: %" + fixed(snap.ram_percent, 0) +
           " | Disk: %" + fixed(snap.disk_percent, 0) + " | Swap: %" +
           fixed(snap.swap_percent, 0);
}

std::vector<std::string> icon_candidates(const std::string& assets_dir) {
    std::string parent = assets_dir;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const auto slash = parent.find_last_of('/');
    if (slash == std::string::npos) {
        parent = ".";
    } else {
        parent = slash == 0 ? "/" : parent.substr(0, slash);
    }
    const std::string sep = parent.back() == '/' ? "" : "/";
    std::string assets = assets_dir;
    if (assets.empty() || assets.back() != '/') assets += '/';
    return {
        parent + sep + "vyr-linux-monitor_icon.ico",
        parent + sep + "vyr-linux-monitor_icon.png",
        parent + sep + "icon.ico",
        parent + sep + "icon.png",
        assets + "icon_512.png",
    };
}

MonitorLogic::MonitorLogic(SettingsStore& settings, WindowPort& window, DesktopPort& desktop,
                           TimerPort& hover_open_timer, TimerPort& hide_popup_timer)
    : settings_(settings),
      window_(window),
      desktop_(desktop),
      hover_open_timer_(hover_open_timer),
      hide_popup_timer_(hide_popup_timer) {}

bool MonitorLogic::truth_of(const char* key, bool fallback) {
    return settings_.get(key, SettingValue(fallback)).truthy();
}

// ---- window flags, showing, refresh ---------------------------------------

void MonitorLogic::apply_window_flags(bool initial) {
    window_.setWindowFlags(truth_of("always_on_top", true));
    if (!initial) window_.show();
}

void MonitorLogic::toggle_always_on_top() {
    const bool cur = truth_of("always_on_top", true);
    settings_.set("always_on_top", SettingValue(!cur));
    apply_window_flags(false);
}

void MonitorLogic::show_normal() {
    const bool was_visible = window_.isVisible();
    window_.baseShowNormal();
    if (was_visible && inspector_) open_inspector("workload");
}

void MonitorLogic::on_telemetry_ready(const TelemetryFramePtr& frame) {
    if (!frame) return;
    last_frame_ = frame;
    const SystemMetricsSnapshot& snap = frame->snapshot;
    if (capsule_) capsule_->updateMain(snap.overall_workload_percent, snap.workload_color);
    if (popup_) popup_->updateSnapshot(snap);
    if (tray_ && tray_->isVisible()) tray_->setToolTip(tray_tooltip(snap));
    if (inspector_visible()) inspector_->updateData(snap, frame->processes);
}

// ---- summary popup visibility ---------------------------------------------

bool MonitorLogic::is_really_inside_capsule_or_popup() const {
    const QPoint pos = desktop_.pointerPos();
    bool in_capsule = false;
    if (capsule_) {
        const QRect rect = QRect(capsule_->globalTopLeft(), capsule_->size()).adjusted(-10, -10, 10, 10);
        in_capsule = (mouse_in_capsule_ || capsule_->underMouse()) && rect.contains(pos);
    }
    bool in_popup = false;
    if (popup_) {
        const QRect rect = popup_->frameGeometry().adjusted(-12, -12, 12, 12);
        in_popup = (mouse_in_popup_ || popup_->underMouse()) && rect.contains(pos);
    }
    return in_capsule || in_popup;
}

void MonitorLogic::check_popup_watchdog() {
    if (!popup_ || !popup_->isVisible()) return;
    if (inspector_shown()) {
        close_vertical_popup(1.0);
        return;
    }
    if (popup_->isPinned()) return;
    if (desktop_.now() < popup_opened_from_tray_until_) return;
    if (is_really_inside_capsule_or_popup()) return;
    if (hide_popup_timer_.isActive()) return;
    hide_popup_timer_.start(timing::kCloseFromWatchdogMs);
}

void MonitorLogic::on_capsule_entered() {
    mouse_in_capsule_ = true;
    hide_popup_timer_.stop();
    if (!truth_of("hover_popup", true)) return;
    if (drag_under_way() || inspector_shown()) return;
    if (desktop_.now() < suppress_hover_until_) return;
    if (popup_ && !popup_->isVisible()) hover_open_timer_.start(timing::kHoverOpenMs);
}

void MonitorLogic::on_capsule_left() {
    mouse_in_capsule_ = false;
    hover_open_timer_.stop();
    if (popup_ && popup_->isVisible() && !popup_->isPinned())
        hide_popup_timer_.start(timing::kCloseAfterCapsuleMs);
}

void MonitorLogic::on_popup_entered() {
    mouse_in_popup_ = true;
    popup_opened_from_tray_until_ = 0.0;
    hide_popup_timer_.stop();
}

void MonitorLogic::on_popup_left() {
    mouse_in_popup_ = false;
    if (popup_ && popup_->isVisible() && !popup_->isPinned())
        hide_popup_timer_.start(timing::kCloseAfterPopupMs);
}

void MonitorLogic::on_popup_manual_closed() {
    mouse_in_popup_ = false;
    mouse_in_capsule_ = false;
    hover_open_timer_.stop();
    hide_popup_timer_.stop();
    suppress_hover_until_ = desktop_.now() + 1.5;
}

void MonitorLogic::on_hover_open_timeout() {
    if (!mouse_in_capsule_) return;
    if (drag_under_way()) return;
    if (inspector_shown()) return;
    if (desktop_.now() >= suppress_hover_until_) show_vertical_popup();
}

void MonitorLogic::on_hide_popup_timeout() {
    if (!popup_ || popup_->isPinned()) return;
    if (is_really_inside_capsule_or_popup()) return;
    mouse_in_popup_ = false;
    popup_->clearRowHovers();
    popup_->hide();
}

void MonitorLogic::close_vertical_popup(double suppress_sec) {
    hover_open_timer_.stop();
    hide_popup_timer_.stop();
    mouse_in_popup_ = false;
    if (popup_) {
        popup_->setPinned(false);
        popup_->updatePinStyle();
        popup_->clearRowHovers();
        popup_->hide();
    }
    if (suppress_sec > 0) suppress_hover_until_ = desktop_.now() + suppress_sec;
}

void MonitorLogic::show_vertical_popup() {
    if (drag_under_way() || !window_.isVisible()) return;
    if (!popup_ || !capsule_) return;
    popup_->showNear(QRect(capsule_->globalTopLeft(), capsule_->size()));
}

void MonitorLogic::toggle_hover_popup(bool checked) {
    settings_.set("hover_popup", SettingValue(checked));
    if (!checked && popup_ && popup_->isVisible() && !popup_->isPinned()) close_vertical_popup(0.5);
}

// ---- capsule click and close, tray -----------------------------------------

void MonitorLogic::on_main_capsule_clicked() {
    if (inspector_shown()) {
        inspector_->hideInspector();
        close_vertical_popup(1.2);
        return;
    }
    if (inspector_minimised()) {
        close_vertical_popup(1.2);
        bring_inspector_up();
        return;
    }
    if (popup_ && popup_->isVisible()) {
        close_vertical_popup(1.5);
        return;
    }
    suppress_hover_until_ = 0.0;
    show_vertical_popup();
}

void MonitorLogic::on_capsule_close_btn() {
    if ((popup_ && popup_->isVisible()) || inspector_visible()) {
        close_vertical_popup(2.0);
        if (inspector_visible()) inspector_->hideInspector();
        return;
    }
    close_vertical_popup(2.0);
    window_.hide();
}

void MonitorLogic::toggle_desktop_capsule() {
    if (window_.isVisible()) {
        close_vertical_popup(1.5);
        window_.hide();
    } else {
        window_.show();
        window_.raise();
    }
}

void MonitorLogic::on_tray_activated(bool is_trigger) {
    if (is_trigger) toggle_tray_popup();
}

void MonitorLogic::toggle_tray_popup() {
    if (popup_ && popup_->isVisible()) {
        close_vertical_popup(1.5);
        return;
    }
    popup_opened_from_tray_until_ = desktop_.now() + timing::kTrayGraceSec;
    if (!popup_) return;
    const QRect tray_rect = tray_ ? tray_->geometry() : QRect();
    if (!tray_rect.isNull() && tray_rect.width() > 0) {
        popup_->showNear(tray_rect);
        return;
    }
    if (window_.isVisible()) {
        show_vertical_popup();
        return;
    }
    const QPoint p = desktop_.pointerPos();
    popup_->showNear(QRect(p.x() - 16, p.y() - 16, 32, 32));
}

void MonitorLogic::on_popup_metric_clicked(const std::string& metric_key) {
    close_vertical_popup(1.5);
    if (inspector_shown() && inspector_->activeMetric() == metric_key) {
        inspector_->hideInspector();
        return;
    }
    open_inspector(metric_key);
}

// ---- inspector and worker ----------------------------------------------------

void MonitorLogic::open_inspector(const std::string& metric_key) {
    close_vertical_popup(1.5);
    if (!inspector_) return;
    inspector_->selectMetricTab(metric_key);
    if (!inspector_->isVisible()) position_inspector();
    bring_inspector_up();
}

void MonitorLogic::bring_inspector_up() {
    inspector_->showNormal();
    inspector_->raise();
    inspector_->activateWindow();
    sync_worker_params();
}

void MonitorLogic::sync_worker_params() {
    if (!worker_) return;
    WorkerParams p;
    if (inspector_) {
        p.need_processes = inspector_->isVisible() ? !inspector_->isPaused() : false;
        p.sort_by = inspector_->activeMetric();
        p.search_query = inspector_->searchText();
        p.group_by_app = inspector_->groupChecked();
    }
    worker_->setParams(p);
}

QRect MonitorLogic::screen_area_for_window() const {
    if (auto area = desktop_.availableAt(window_.geometry().center())) return *area;
    if (auto area = desktop_.primaryAvailable()) return *area;
    return kFallbackArea;
}

void MonitorLogic::position_inspector() {
    if (!inspector_) return;
    const QRect avail = screen_area_for_window();
    const QRect r = inspector_->frameRect();
    const int w = r.width();
    const int h = r.height();
    int x = avail.center().x() - floor_half(w);
    int y = avail.center().y() - floor_half(h);
    x = std::max(avail.left() + 12, std::min(x, avail.right() - w - 12));
    y = std::max(avail.top() + 12, std::min(y, avail.bottom() - h - 12));
    inspector_->move(QPoint(x, y));
}

// ---- position and dragging ------------------------------------------------------

void MonitorLogic::restore_position() {
    const QRect avail = desktop_.primaryAvailable().value_or(kFallbackArea);
    const std::optional<long long> x = settings_.get("x", SettingValue()).as_integer();
    const std::optional<long long> y = settings_.get("y", SettingValue()).as_integer();
    if (x && y) {
        window_.move(QPoint(to_int(*x), to_int(*y)));
        clamp_to_screen();
        return;
    }
    const QSize size = window_.size();
    window_.move(QPoint(std::max(20, avail.right() - size.width() - 18),
                        std::max(48, avail.bottom() - size.height() - 18)));
}

void MonitorLogic::clamp_to_screen() {
    std::optional<QRect> area = desktop_.availableAt(window_.geometry().center());
    if (!area) area = desktop_.primaryAvailable();
    if (!area) return;
    const QRect avail = *area;

    const QPoint pos = window_.pos();
    const QSize size = window_.size();
    const int x = std::max(std::min(avail.right() - size.width() - 4, pos.x()), avail.left() + 4);
    const int y = std::max(std::min(avail.bottom() - size.height() - 4, pos.y()), avail.top() + 4);
    if (x != pos.x() || y != pos.y()) window_.move(QPoint(x, y));

    if (inspector_visible()) {
        const QRect r = inspector_->frameRect();
        const int iw = std::min(std::max(avail.width() - 24, 640), r.width());
        const int ih = std::min(std::max(avail.height() - 24, 420), r.height());
        const int ix = std::max(std::min(avail.right() - iw - 8, r.x()), avail.left() + 8);
        const int iy = std::max(std::min(avail.bottom() - ih - 8, r.y()), avail.top() + 8);
        inspector_->setGeometry(QRect(ix, iy, iw, ih));
    }
}

void MonitorLogic::begin_drag(const QPoint& global_pos) {
    if (truth_of("locked", false)) {
        drag_offset_.reset();
        return;
    }
    drag_offset_ = global_pos - window_.pos();
}

void MonitorLogic::perform_drag(const QPoint& global_pos) {
    if (truth_of("locked", false) || !drag_offset_) return;
    if (desktop_.platformName() == "wayland" && window_.hasNativeWindow()) {
        window_.startSystemMove();
        drag_offset_.reset();
        return;
    }
    window_.move(global_pos - *drag_offset_);
}

void MonitorLogic::end_drag() {
    if (drag_offset_) {
        settings_.set("x", SettingValue(window_.pos().x()));
        settings_.set("y", SettingValue(window_.pos().y()));
    }
    drag_offset_.reset();
}

// ---- menu actions -----------------------------------------------------------------

void MonitorLogic::set_locked(bool checked) { settings_.set("locked", SettingValue(checked)); }

void MonitorLogic::set_bg_alpha(int alpha_val) {
    settings_.set("bg_alpha", SettingValue(alpha_val));
    if (capsule_) capsule_->repaint();
}

void MonitorLogic::hide_desktop_icon() {
    close_vertical_popup(1.5);
    window_.hide();
}

bool MonitorLogic::hover_popup_enabled() { return truth_of("hover_popup", true); }
bool MonitorLogic::always_on_top_enabled() { return truth_of("always_on_top", true); }
bool MonitorLogic::locked_enabled() { return truth_of("locked", false); }

}  // namespace vyr::shell
