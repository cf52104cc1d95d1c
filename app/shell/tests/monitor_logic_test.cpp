// The controller's rules, driven through fakes of the widgets, timers,
// screens, pointer and clock.
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "vyr/shell/monitor_logic.hpp"

using namespace vyr::shell;

namespace {

struct FakeSettings : SettingsStore {
    std::map<std::string, SettingValue> stored;
    std::map<std::string, SettingValue> builtin{{"always_on_top", SettingValue(true)},
                                                {"locked", SettingValue(false)},
                                                {"x", SettingValue()},
                                                {"y", SettingValue()}};
    std::vector<std::pair<std::string, SettingValue>> writes;
    SettingValue get(const std::string& k, const SettingValue& fallback) const override {
        if (auto it = stored.find(k); it != stored.end()) return it->second;
        if (auto it = builtin.find(k); it != builtin.end()) return it->second;
        return fallback;
    }
    void set(const std::string& k, const SettingValue& v) override {
        stored[k] = v;
        writes.emplace_back(k, v);
    }
    std::vector<std::string> written_keys() const {
        std::vector<std::string> keys;
        for (auto& w : writes) keys.push_back(w.first);
        return keys;
    }
};

struct FakeTimer : TimerPort {
    bool active = false;
    int interval = -1;
    int starts = 0;
    void start(int ms) override {
        active = true;
        interval = ms;
        ++starts;
    }
    void stop() override { active = false; }
    bool isActive() const override { return active; }
};

struct FakeWindow : WindowPort {
    bool visible = true;
    QPoint at{1815, 969};
    QSize sz{86, 52};
    std::optional<bool> on_top;
    int shows = 0, hides = 0, raises = 0, base_show_normal = 0, system_moves = 0;
    bool native = true;
    std::vector<QPoint> moves;
    bool isVisible() const override { return visible; }
    QPoint pos() const override { return at; }
    QSize size() const override { return sz; }
    QRect geometry() const override { return QRect(at, sz); }
    void move(const QPoint& p) override {
        at = p;
        moves.push_back(p);
    }
    void show() override {
        visible = true;
        ++shows;
    }
    void hide() override {
        visible = false;
        ++hides;
    }
    void raise() override { ++raises; }
    void baseShowNormal() override {
        visible = true;
        ++base_show_normal;
    }
    void setWindowFlags(bool top) override {
        on_top = top;
        visible = false;  // the toolkit hides a window whose flags change
    }
    bool hasNativeWindow() const override { return native; }
    void startSystemMove() override { ++system_moves; }
};

struct FakeCapsule : CapsulePort {
    FakeWindow* window;
    bool under = false;
    int repaints = 0;
    std::vector<std::pair<double, std::string>> updates;
    explicit FakeCapsule(FakeWindow* w) : window(w) {}
    QPoint globalTopLeft() const override { return window->at + QPoint(2, 2); }
    QSize size() const override { return QSize(82, 48); }
    bool underMouse() const override { return under; }
    void updateMain(double p, const std::string& c) override { updates.emplace_back(p, c); }
    void repaint() override { ++repaints; }
};

struct FakePopup : PopupPort {
    bool visible = false, pinned = false, under = false;
    QRect frame{1600, 700, 260, 250};
    std::vector<QRect> shown_near;
    int pin_styles = 0, row_clears = 0, hides = 0, snapshots = 0;
    bool isVisible() const override { return visible; }
    void hide() override {
        visible = false;
        ++hides;
    }
    bool isPinned() const override { return pinned; }
    void setPinned(bool p) override { pinned = p; }
    void updatePinStyle() override { ++pin_styles; }
    void clearRowHovers() override { ++row_clears; }
    bool underMouse() const override { return under; }
    QRect frameGeometry() const override { return frame; }
    void showNear(const QRect& a) override {
        shown_near.push_back(a);
        visible = true;
    }
    void updateSnapshot(const vyr::SystemMetricsSnapshot&) override { ++snapshots; }
};

struct FakeInspector : InspectorPort {
    bool visible = false, minimized = false, paused = false, group = false;
    std::string active = "workload", search;
    QRect rect{100, 100, 780, 530};
    std::vector<std::string> calls;
    std::function<void()> sync;  // the real inspector calls the controller back
    int updates = 0;
    bool isVisible() const override { return visible; }
    bool isMinimized() const override { return minimized; }
    std::string activeMetric() const override { return active; }
    bool isPaused() const override { return paused; }
    std::string searchText() const override { return search; }
    bool groupChecked() const override { return group; }
    void selectMetricTab(const std::string& k) override {
        active = k;
        calls.push_back("select " + k);
        if (sync) sync();
    }
    void hideInspector() override {
        visible = false;
        calls.push_back("hide");
        if (sync) sync();
    }
    void showNormal() override {
        visible = true;
        minimized = false;
        calls.push_back("showNormal");
    }
    void raise() override { calls.push_back("raise"); }
    void activateWindow() override { calls.push_back("activate"); }
    QRect frameRect() const override { return rect; }
    void move(const QPoint& p) override {
        rect.moveTopLeft(p);
        calls.push_back("move");
    }
    void setGeometry(const QRect& r) override {
        rect = r;
        calls.push_back("setGeometry");
    }
    void updateData(const vyr::SystemMetricsSnapshot&, const std::vector<vyr::ProcessEntry>&) override {
        ++updates;
    }
};

struct FakeTray : TrayPort {
    bool visible = true;
    QRect geo{1880, 1050, 24, 24};
    std::string tooltip = "unset";
    bool isVisible() const override { return visible; }
    QRect geometry() const override { return geo; }
    void setToolTip(const std::string& t) override { tooltip = t; }
};

struct FakeDesktop : DesktopPort {
    struct Screen {
        QRect geometry, available;
    };
    std::vector<Screen> screens{{QRect(0, 0, 1920, 1080), QRect(0, 0, 1920, 1040)}};
    QPoint pointer{0, 0};
    std::string platform = "xcb";
    double t = 1000.0;
    std::optional<QRect> availableAt(const QPoint& p) const override {
        for (auto& s : screens)
            if (s.geometry.contains(p)) return s.available;
        return std::nullopt;
    }
    std::optional<QRect> primaryAvailable() const override {
        if (screens.empty()) return std::nullopt;
        return screens.front().available;
    }
    QPoint pointerPos() const override { return pointer; }
    std::string platformName() const override { return platform; }
    double now() const override { return t; }
};

struct FakeWorker : WorkerPort {
    WorkerParams params;
    int sets = 0;
    void setParams(const WorkerParams& p) override {
        params = p;
        ++sets;
    }
};

struct Rig {
    FakeSettings settings;
    FakeWindow window;
    FakeDesktop desktop;
    FakeTimer hover_open, hide_popup;
    FakePopup popup;
    FakeCapsule capsule{&window};
    FakeInspector inspector;
    FakeTray tray;
    FakeWorker worker;
    MonitorLogic logic{settings, window, desktop, hover_open, hide_popup};
    Rig() {
        logic.attach_popup(&popup);
        logic.attach_capsule(&capsule);
        logic.attach_inspector(&inspector);
        logic.attach_tray(&tray);
        logic.attach_worker(&worker);
        inspector.sync = [this] { logic.sync_worker_params(); };
    }
    QPoint capsule_centre() const { return QRect(capsule.globalTopLeft(), capsule.size()).center(); }
    // The pointer rests on the capsule and the capsule reports it.
    void enter_capsule() {
        desktop.pointer = capsule_centre();
        capsule.under = true;
        logic.on_capsule_entered();
    }
    void leave_everything() {
        desktop.pointer = QPoint(10, 10);
        capsule.under = false;
        popup.under = false;
    }
    void open_by_hover() {
        enter_capsule();
        ASSERT_TRUE(hover_open.active);
        hover_open.active = false;
        logic.on_hover_open_timeout();
        ASSERT_TRUE(popup.visible);
    }
};

}  // namespace

// ---- summary popup visibility -------------------------------------------------

TEST(PopupVisibility, HoverOpensAfterTheDelayAndLeavingClosesIt) {
    Rig r;
    r.enter_capsule();
    EXPECT_TRUE(r.hover_open.active);
    EXPECT_EQ(r.hover_open.interval, 160);
    r.hover_open.active = false;
    r.logic.on_hover_open_timeout();
    ASSERT_EQ(r.popup.shown_near.size(), 1u);
    EXPECT_EQ(r.popup.shown_near[0], QRect(1817, 971, 82, 48));  // the capsule, not grown

    // Entering the capsule again while open starts nothing and stops a close delay.
    r.hide_popup.start(200);
    r.logic.on_capsule_entered();
    EXPECT_FALSE(r.hide_popup.active);
    EXPECT_FALSE(r.hover_open.active);

    // Capsule to popup: the capsule's leave starts 200 ms, the popup's entry stops it.
    r.capsule.under = false;
    r.logic.on_capsule_left();
    EXPECT_TRUE(r.hide_popup.active);
    EXPECT_EQ(r.hide_popup.interval, 200);
    r.popup.under = true;
    r.logic.on_popup_entered();
    EXPECT_FALSE(r.hide_popup.active);
    EXPECT_TRUE(r.popup.visible);

    // Leaving the popup: 160 ms, then the timeout closes it without a block.
    r.leave_everything();
    r.logic.on_popup_left();
    EXPECT_EQ(r.hide_popup.interval, 160);
    r.hide_popup.active = false;
    const double block_before = r.logic.suppress_hover_until();
    r.logic.on_hide_popup_timeout();
    EXPECT_FALSE(r.popup.visible);
    EXPECT_EQ(r.popup.row_clears, 1);
    EXPECT_FALSE(r.logic.mouse_in_popup());
    EXPECT_EQ(r.logic.suppress_hover_until(), block_before);
}

TEST(PopupVisibility, CloseDelayEndsWithThePointerStillInside) {
    Rig r;
    r.open_by_hover();
    r.logic.on_capsule_left();  // a leave that Qt reports while the pointer is back
    r.capsule.under = true;
    r.hide_popup.active = false;
    r.logic.on_hide_popup_timeout();
    EXPECT_TRUE(r.popup.visible);
}

TEST(PopupVisibility, WhatKeepsHoverFromOpening) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> prepare;
        bool timer_started;
    } cases[] = {
        {"hover setting off", [](Rig& r) { r.settings.stored["hover_popup"] = SettingValue(false); }, false},
        {"hover setting stored as 0", [](Rig& r) { r.settings.stored["hover_popup"] = SettingValue(0); }, false},
        {"drag under way", [](Rig& r) { r.logic.begin_drag(QPoint(1830, 990)); }, false},
        {"inspector visible", [](Rig& r) { r.inspector.visible = true; }, false},
        {"block running", [](Rig& r) { r.logic.close_vertical_popup(1.0); }, false},
        {"block ends exactly now", [](Rig& r) { r.logic.close_vertical_popup(1.0); r.desktop.t += 1.0; }, true},
        {"popup already visible", [](Rig& r) { r.popup.visible = true; }, false},
        {"nothing in the way", [](Rig&) {}, true},
    };
    for (auto& c : cases) {
        Rig r;
        c.prepare(r);
        r.hide_popup.start(200);
        r.enter_capsule();
        EXPECT_EQ(r.hover_open.active, c.timer_started) << c.name;
        EXPECT_FALSE(r.hide_popup.active) << c.name;  // stopped whatever follows
        EXPECT_TRUE(r.logic.mouse_in_capsule()) << c.name;
    }
}

TEST(PopupVisibility, OpenDelayTimeout) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> after_delay_started;
        bool opens;
    } cases[] = {
        {"pointer still there", [](Rig&) {}, true},
        {"capsule left meanwhile", [](Rig& r) { r.logic.on_capsule_left(); }, false},
        {"drag began", [](Rig& r) { r.logic.begin_drag(QPoint(1830, 990)); }, false},
        {"inspector opened", [](Rig& r) { r.inspector.visible = true; }, false},
        {"window hidden", [](Rig& r) { r.window.visible = false; }, false},
        {"block set meanwhile", [](Rig& r) { r.logic.close_vertical_popup(0.5); r.logic.on_capsule_entered(); }, false},
        {"block ends exactly at the timeout",
         [](Rig& r) { r.logic.close_vertical_popup(0.16); r.desktop.t += 0.16; }, true},
        {"hover switched off meanwhile (not read again)",
         [](Rig& r) { r.settings.stored["hover_popup"] = SettingValue(false); }, true},
    };
    for (auto& c : cases) {
        Rig r;
        r.enter_capsule();
        c.after_delay_started(r);
        r.logic.on_hover_open_timeout();
        EXPECT_EQ(r.popup.visible, c.opens) << c.name;
    }
}

TEST(PopupVisibility, ManualCloseBlocksAndForgetsTheRestingPointer) {
    Rig r;
    r.open_by_hover();
    r.popup.visible = false;  // the popup hid and unpinned itself
    r.logic.on_popup_manual_closed();
    EXPECT_FALSE(r.logic.mouse_in_capsule());
    EXPECT_FALSE(r.logic.mouse_in_popup());
    EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), r.desktop.t + 1.5);
    // Long after the block, a pointer that never left does not reopen it.
    r.desktop.t += 5;
    r.logic.on_hover_open_timeout();
    EXPECT_FALSE(r.popup.visible);
    // A new entry does.
    r.logic.on_capsule_entered();
    EXPECT_TRUE(r.hover_open.active);
}

TEST(PopupVisibility, CloseVerticalPopupAndItsBlock) {
    struct Case {
        double previous_block;  // seconds from now, 0 = none
        double suppress;
        double expected_block;  // seconds from now, or the old deadline
    } cases[] = {
        {0, 1.2, 1.2}, {0, 0, 0}, {2.0, 0, 2.0}, {2.0, -1, 2.0}, {2.0, 0.5, 0.5}, {0.1, 1.5, 1.5},
    };
    for (const auto& c : cases) {
        Rig r;
        if (c.previous_block > 0) r.logic.close_vertical_popup(c.previous_block);
        const double t0 = r.desktop.t;
        r.popup.visible = true;
        r.popup.pinned = true;
        r.hover_open.start(160);
        r.hide_popup.start(200);
        r.logic.on_popup_entered();
        r.logic.close_vertical_popup(c.suppress);
        EXPECT_FALSE(r.popup.visible);
        EXPECT_FALSE(r.popup.pinned);
        EXPECT_GE(r.popup.pin_styles, 1);
        EXPECT_FALSE(r.hover_open.active);
        EXPECT_FALSE(r.hide_popup.active);
        EXPECT_FALSE(r.logic.mouse_in_popup());
        const double expected = c.expected_block == 0 ? 0.0 : t0 + c.expected_block;
        EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), expected) << c.suppress;
    }
    Rig r;  // harmless on a hidden popup, and the capsule flag stays
    r.enter_capsule();
    r.logic.close_vertical_popup();
    EXPECT_EQ(r.popup.hides, 1);
    EXPECT_TRUE(r.logic.mouse_in_capsule());
    EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), r.desktop.t + 1.2);
}

TEST(PopupVisibility, PinnedPopupStaysUntilTheInspectorShows) {
    Rig r;
    r.open_by_hover();
    r.popup.pinned = true;
    r.leave_everything();
    r.logic.on_capsule_left();
    EXPECT_FALSE(r.hide_popup.active);  // no close delay for a pinned popup
    r.logic.on_hide_popup_timeout();
    for (int i = 0; i < 10; ++i) r.logic.check_popup_watchdog();
    EXPECT_TRUE(r.popup.visible);
    EXPECT_FALSE(r.hide_popup.active);

    r.inspector.visible = true;
    r.logic.check_popup_watchdog();
    EXPECT_FALSE(r.popup.visible);
    EXPECT_FALSE(r.popup.pinned);
    EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), r.desktop.t + 1.0);
}

TEST(PopupVisibility, WatchdogStartsOneCloseDelay) {
    Rig r;
    r.open_by_hover();
    r.logic.check_popup_watchdog();  // pointer still on the capsule
    EXPECT_FALSE(r.hide_popup.active);

    r.leave_everything();  // a lost leave event: the flag is still set
    r.logic.check_popup_watchdog();
    EXPECT_TRUE(r.hide_popup.active);
    EXPECT_EQ(r.hide_popup.interval, 180);
    r.logic.check_popup_watchdog();
    EXPECT_EQ(r.hide_popup.starts, 1);  // a running delay keeps its deadline
    r.logic.on_popup_left();
    EXPECT_EQ(r.hide_popup.interval, 160);  // a leave restarts it with its own length
    EXPECT_EQ(r.hide_popup.starts, 2);

    r.popup.visible = false;
    r.hide_popup.active = false;
    r.logic.check_popup_watchdog();  // hidden popup: nothing
    EXPECT_FALSE(r.hide_popup.active);
}

TEST(PopupVisibility, GeometricTestMarginsAndFlags) {
    // Capsule at global (1817, 971), 82 x 48: right edge 1898, bottom 1018.
    struct Case {
        const char* name;
        bool flag, under;
        QPoint pointer;
        bool inside;
    } cases[] = {
        {"flag, 10 px right", true, false, QPoint(1898 + 10, 990), true},
        {"flag, 11 px right", true, false, QPoint(1898 + 11, 990), false},
        {"flag, 10 px above", true, false, QPoint(1850, 971 - 10), true},
        {"flag, 11 px above", true, false, QPoint(1850, 971 - 11), false},
        {"no flag, Qt says under, 10 px out", false, true, QPoint(1898 + 10, 990), true},
        {"neither, pointer on the capsule", false, false, QPoint(1850, 990), false},
        {"neither, 5 px out", false, false, QPoint(1898 + 5, 990), false},
    };
    for (const auto& c : cases) {
        Rig r;
        if (c.flag) r.logic.on_capsule_entered();
        r.capsule.under = c.under;
        r.desktop.pointer = c.pointer;
        EXPECT_EQ(r.logic.is_really_inside_capsule_or_popup(), c.inside) << c.name;
    }
    // The popup's frame grows by 12 px, with its own flag.
    Rig r;
    r.logic.on_popup_entered();
    r.desktop.pointer = QPoint(1600 + 260 - 1 + 12, 800);
    EXPECT_TRUE(r.logic.is_really_inside_capsule_or_popup());
    r.desktop.pointer = QPoint(1600 + 260 - 1 + 13, 800);
    EXPECT_FALSE(r.logic.is_really_inside_capsule_or_popup());
}

TEST(PopupVisibility, TrayGracePeriod) {
    Rig r;
    r.window.visible = true;
    r.leave_everything();
    const double t0 = r.desktop.t;
    r.logic.toggle_tray_popup();
    ASSERT_TRUE(r.popup.visible);
    EXPECT_EQ(r.popup.shown_near.back(), r.tray.geo);
    EXPECT_DOUBLE_EQ(r.logic.popup_opened_from_tray_until(), t0 + 3.5);

    // Watchdog ticks every 200 ms with the pointer far away: nothing for 3.5 s.
    int tick = 0;
    while (!r.hide_popup.active && tick < 100) {
        ++tick;
        r.desktop.t = t0 + 0.2 * tick;
        r.logic.check_popup_watchdog();
    }
    EXPECT_GE(r.desktop.t, t0 + 3.5);
    EXPECT_LT(r.desktop.t + 0.18, t0 + 3.9);  // the close lands under 3.9 s after opening
    r.hide_popup.active = false;
    r.logic.on_hide_popup_timeout();
    EXPECT_FALSE(r.popup.visible);

    // Entering the popup ends the grace period; leaving then closes in 160 ms.
    Rig q;
    q.logic.toggle_tray_popup();
    q.logic.on_popup_entered();
    EXPECT_EQ(q.logic.popup_opened_from_tray_until(), 0.0);
    q.leave_everything();
    q.logic.on_popup_left();
    EXPECT_EQ(q.hide_popup.interval, 160);

    // A visible inspector closes it despite the grace period.
    Rig s;
    s.logic.toggle_tray_popup();
    s.inspector.visible = true;
    s.logic.check_popup_watchdog();
    EXPECT_FALSE(s.popup.visible);
}

TEST(PopupVisibility, SwitchingHoverOff) {
    struct Case {
        bool visible, pinned, closes;
    } cases[] = {{true, false, true}, {true, true, false}, {false, false, false}};
    for (const auto& c : cases) {
        Rig r;
        r.popup.visible = c.visible;
        r.popup.pinned = c.pinned;
        r.logic.toggle_hover_popup(false);
        EXPECT_FALSE(r.settings.stored["hover_popup"].truthy());
        EXPECT_EQ(r.popup.hides, c.closes ? 1 : 0);
        if (c.closes) {
            EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), r.desktop.t + 0.5);
        }
    }
    Rig r;
    r.logic.toggle_hover_popup(true);  // on opens nothing
    EXPECT_TRUE(r.settings.stored["hover_popup"].truthy());
    EXPECT_FALSE(r.popup.visible);
}

// ---- capsule click and close, tray ----------------------------------------------

TEST(CapsuleActions, ClickBranches) {
    struct Case {
        const char* name;
        bool inspector, popup, window;
        bool expect_inspector, expect_popup;
        double expect_block;  // seconds from now; 0 = cleared
    } cases[] = {
        {"both open", true, true, true, false, false, 1.2},
        {"inspector only", true, false, true, false, false, 1.2},
        {"popup only", false, true, true, false, false, 1.5},
        {"nothing open", false, false, true, false, true, 0.0},
        {"nothing open, window hidden", false, false, false, false, false, 0.0},
    };
    for (const auto& c : cases) {
        Rig r;
        r.logic.close_vertical_popup(1.5);  // the block left by an earlier click
        r.inspector.visible = c.inspector;
        r.popup.visible = c.popup;
        r.window.visible = c.window;
        r.logic.on_main_capsule_clicked();
        EXPECT_EQ(r.inspector.visible, c.expect_inspector) << c.name;
        EXPECT_EQ(r.popup.visible, c.expect_popup) << c.name;
        const double expected = c.expect_block == 0 ? 0.0 : r.desktop.t + c.expect_block;
        EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), expected) << c.name;
    }
    Rig r;  // hiding the inspector stops process collection
    r.logic.open_inspector("cpu");
    EXPECT_TRUE(r.worker.params.need_processes);
    r.logic.on_main_capsule_clicked();
    EXPECT_FALSE(r.worker.params.need_processes);
}

// A minimised inspector is out of sight: the capsule and the popup treat it
// as closed, and the ways that would open it bring it back where it was.
TEST(CapsuleActions, MinimisedInspectorCountsAsClosed) {
    const std::vector<std::string> restored{"showNormal", "raise", "activate"};
    struct Case {
        const char* name;
        std::function<void(Rig&)> act;
        std::vector<std::string> calls;  // made on the inspector
        bool popup_visible;
        std::string active;
    } cases[] = {
        {"capsule click", [](Rig& r) { r.logic.on_main_capsule_clicked(); }, restored, false, "cpu"},
        {"capsule click with the popup open",
         [](Rig& r) {
             r.popup.visible = true;
             r.logic.on_main_capsule_clicked();
         },
         restored, false, "cpu"},
        {"row of its own metric", [](Rig& r) { r.logic.on_popup_metric_clicked("cpu"); },
         {"select cpu", "showNormal", "raise", "activate"}, false, "cpu"},
        {"row of another metric", [](Rig& r) { r.logic.on_popup_metric_clicked("ram"); },
         {"select ram", "showNormal", "raise", "activate"}, false, "ram"},
        {"hover", [](Rig& r) { r.open_by_hover(); }, {}, true, "cpu"},
        {"watchdog over an open popup",
         [](Rig& r) {
             r.open_by_hover();
             r.desktop.pointer = r.capsule_centre();
             r.logic.check_popup_watchdog();
         },
         {}, true, "cpu"},
    };
    for (const auto& c : cases) {
        Rig r;
        r.logic.open_inspector("cpu");
        r.inspector.rect.moveTopLeft(QPoint(40, 50));  // where the user left it
        r.inspector.minimized = true;
        r.inspector.calls.clear();
        r.desktop.t += 2.0;  // past the hover block of the opening
        c.act(r);
        EXPECT_EQ(r.inspector.calls, c.calls) << c.name;
        EXPECT_EQ(r.popup.visible, c.popup_visible) << c.name;
        EXPECT_EQ(r.inspector.active, c.active) << c.name;
        EXPECT_TRUE(r.inspector.visible) << c.name;
        EXPECT_EQ(r.inspector.rect.topLeft(), QPoint(40, 50)) << c.name;
        if (!c.calls.empty()) {
            EXPECT_FALSE(r.inspector.minimized) << c.name;
            EXPECT_EQ(r.worker.params.sort_by, c.active) << c.name;
            EXPECT_TRUE(r.worker.params.need_processes) << c.name;
        }
    }
    // Once restored it is shown again: the next click dismisses it.
    Rig r;
    r.logic.open_inspector("cpu");
    r.inspector.minimized = true;
    r.logic.on_main_capsule_clicked();
    r.logic.on_main_capsule_clicked();
    EXPECT_FALSE(r.inspector.visible);
    EXPECT_FALSE(r.popup.visible);
}

TEST(CapsuleActions, CloseButtonBranches) {
    struct Case {
        const char* name;
        bool inspector, popup, pinned;
        bool expect_window;
    } cases[] = {
        {"inspector only", true, false, false, true},
        {"popup pinned", false, true, true, true},
        {"both", true, true, false, true},
        {"nothing", false, false, false, false},
    };
    for (const auto& c : cases) {
        Rig r;
        r.inspector.visible = c.inspector;
        r.popup.visible = c.popup;
        r.popup.pinned = c.pinned;
        r.logic.on_capsule_close_btn();
        EXPECT_FALSE(r.inspector.visible) << c.name;
        EXPECT_FALSE(r.popup.visible) << c.name;
        EXPECT_FALSE(r.popup.pinned) << c.name;
        EXPECT_EQ(r.window.visible, c.expect_window) << c.name;
        EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), r.desktop.t + 2.0) << c.name;
    }
    // The tray entry brings the window back at the same place, the block still on.
    Rig r;
    r.logic.on_capsule_close_btn();
    r.desktop.t += 1.0;
    r.logic.toggle_desktop_capsule();
    EXPECT_TRUE(r.window.visible);
    EXPECT_EQ(r.window.raises, 1);
    EXPECT_EQ(r.window.at, QPoint(1815, 969));
    r.enter_capsule();
    EXPECT_FALSE(r.hover_open.active);
}

TEST(CapsuleActions, DesktopCapsuleToggleLeavesTheInspector) {
    Rig r;
    r.inspector.visible = true;
    r.popup.visible = true;
    r.logic.toggle_desktop_capsule();
    EXPECT_FALSE(r.window.visible);
    EXPECT_FALSE(r.popup.visible);
    EXPECT_TRUE(r.inspector.visible);
    EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), r.desktop.t + 1.5);
}

TEST(Tray, ToggleAnchorsAndGrace) {
    struct Case {
        const char* name;
        QRect tray_geo;
        bool window_visible, dragging;
        std::optional<QRect> expected_anchor;
    } cases[] = {
        {"tray geometry usable", QRect(1880, 1050, 24, 24), true, false, QRect(1880, 1050, 24, 24)},
        {"null geometry, window visible", QRect(), true, false, QRect(1817, 971, 82, 48)},
        {"zero width, window hidden", QRect(5, 5, 0, 10), false, false, QRect(984, 684, 32, 32)},
        {"null geometry, drag under way", QRect(), true, true, std::nullopt},
    };
    for (const auto& c : cases) {
        Rig r;
        r.tray.geo = c.tray_geo;
        r.window.visible = c.window_visible;
        r.desktop.pointer = QPoint(1000, 700);
        if (c.dragging) r.logic.begin_drag(QPoint(1830, 990));
        r.logic.toggle_tray_popup();
        EXPECT_DOUBLE_EQ(r.logic.popup_opened_from_tray_until(), r.desktop.t + 3.5) << c.name;
        if (c.expected_anchor) {
            ASSERT_EQ(r.popup.shown_near.size(), 1u) << c.name;
            EXPECT_EQ(r.popup.shown_near[0], *c.expected_anchor) << c.name;
        } else {
            EXPECT_TRUE(r.popup.shown_near.empty()) << c.name;
        }
    }
    Rig r;  // on an open popup it closes it and keeps the old grace time
    r.logic.toggle_tray_popup();
    const double grace = r.logic.popup_opened_from_tray_until();
    r.desktop.t += 1;
    r.logic.toggle_tray_popup();
    EXPECT_FALSE(r.popup.visible);
    EXPECT_DOUBLE_EQ(r.logic.popup_opened_from_tray_until(), grace);
    EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), r.desktop.t + 1.5);

    Rig q;  // only a plain click toggles
    q.logic.on_tray_activated(false);
    EXPECT_FALSE(q.popup.visible);
    q.logic.on_tray_activated(true);
    EXPECT_TRUE(q.popup.visible);
}

TEST(Tray, PopupRowRouting) {
    Rig r;
    r.logic.on_popup_metric_clicked("cpu");
    EXPECT_TRUE(r.inspector.visible);
    EXPECT_EQ(r.inspector.active, "cpu");
    r.logic.on_popup_metric_clicked("cpu");  // the same row again hides it
    EXPECT_FALSE(r.inspector.visible);
    r.logic.on_popup_metric_clicked("cpu");
    r.logic.on_popup_metric_clicked("ram");  // another row switches it
    EXPECT_TRUE(r.inspector.visible);
    EXPECT_EQ(r.inspector.active, "ram");
    EXPECT_EQ(r.worker.params.sort_by, "ram");
    EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), r.desktop.t + 1.5);
}

// ---- inspector and worker ----------------------------------------------------------

TEST(Inspector, OpeningPlacesShowsAndSynchronises) {
    Rig r;
    r.desktop.screens.clear();  // no screen: the 1920 x 1080 stand-in
    r.inspector.rect = QRect(3000, 3000, 780, 530);
    r.inspector.search = "  fire ";
    r.inspector.group = true;
    r.popup.visible = true;
    r.logic.open_inspector("disk");
    EXPECT_FALSE(r.popup.visible);
    EXPECT_EQ(r.inspector.rect.topLeft(), QPoint(569, 274));
    EXPECT_EQ(r.inspector.calls,
              (std::vector<std::string>{"select disk", "move", "showNormal", "raise", "activate"}));
    EXPECT_TRUE(r.worker.params.need_processes);
    EXPECT_EQ(r.worker.params.sort_by, "disk");
    EXPECT_EQ(r.worker.params.search_query, "  fire ");
    EXPECT_TRUE(r.worker.params.group_by_app);

    // Already visible: the tab switches, the place stays.
    r.inspector.calls.clear();
    r.inspector.rect.moveTopLeft(QPoint(40, 50));
    r.logic.open_inspector("ram");
    EXPECT_EQ(r.inspector.rect.topLeft(), QPoint(40, 50));
    EXPECT_EQ(r.inspector.calls,
              (std::vector<std::string>{"select ram", "showNormal", "raise", "activate"}));

    // Paused: shown, but the worker collects no processes.
    Rig p;
    p.inspector.paused = true;
    p.logic.open_inspector("workload");
    EXPECT_TRUE(p.inspector.visible);
    EXPECT_FALSE(p.worker.params.need_processes);
}

TEST(Inspector, PlacementOnTheWindowsScreen) {
    struct Case {
        const char* name;
        QPoint window_at;
        QSize inspector;
        QPoint expected;
    } cases[] = {
        {"centred on the first screen", QPoint(1815, 969), QSize(780, 530), QPoint(569, 254)},
        {"window on the second screen", QPoint(2500, 500), QSize(780, 530), QPoint(2169, 246)},
        {"window off every screen: primary", QPoint(-900, -900), QSize(780, 530), QPoint(569, 254)},
        {"too wide: 12 px from the left", QPoint(1815, 969), QSize(1900, 530), QPoint(12, 254)},
        {"exactly avail - 24 wide", QPoint(1815, 969), QSize(1896, 530), QPoint(12, 254)},
        {"too tall: 12 px from the top", QPoint(1815, 969), QSize(780, 1030), QPoint(569, 12)},
    };
    for (const auto& c : cases) {
        Rig r;
        r.desktop.screens.push_back({QRect(1920, 0, 1280, 1024), QRect(1920, 0, 1280, 1024)});
        r.window.at = c.window_at;
        r.inspector.rect = QRect(QPoint(0, 0), c.inspector);
        r.logic.position_inspector();
        EXPECT_EQ(r.inspector.rect.topLeft(), c.expected) << c.name;
        EXPECT_EQ(r.inspector.rect.size(), c.inspector) << c.name;
    }
}

TEST(Inspector, SyncBeforeTheWorkerExistsDoesNothing) {
    Rig r;
    r.logic.attach_worker(nullptr);
    r.inspector.visible = true;
    r.logic.sync_worker_params();
    EXPECT_EQ(r.worker.sets, 0);
    r.logic.attach_worker(&r.worker);
    r.logic.sync_worker_params();
    EXPECT_EQ(r.worker.sets, 1);
    EXPECT_TRUE(r.worker.params.need_processes);
}

TEST(Inspector, ShowNormalOfTheController) {
    Rig r;
    r.window.visible = false;
    r.logic.show_normal();
    EXPECT_TRUE(r.window.visible);
    EXPECT_FALSE(r.inspector.visible);
    r.logic.show_normal();
    EXPECT_EQ(r.window.base_show_normal, 2);
    EXPECT_TRUE(r.inspector.visible);
    EXPECT_EQ(r.inspector.active, "workload");
}

// ---- refresh -------------------------------------------------------------------------

TEST(Refresh, FeedsTheViewsAndTheTrayTip) {
    Rig r;
    auto frame = std::make_shared<TelemetryFrame>();
    frame->snapshot.overall_workload_percent = 12.5;
    frame->snapshot.workload_color = "#15803D";
    frame->snapshot.cpu_percent = 13.5;
    frame->snapshot.ram_percent = 99.6;
    frame->snapshot.disk_percent = 0.0;
    frame->snapshot.swap_percent = 71.0;
    frame->processes.resize(2);
    r.logic.on_telemetry_ready(frame);
    ASSERT_EQ(r.capsule.updates.size(), 1u);
    EXPECT_EQ(r.capsule.updates[0], std::make_pair(12.5, std::string("#15803D")));
    EXPECT_EQ(r.popup.snapshots, 1);  // hidden popup updated too
    EXPECT_EQ(r.tray.tooltip,
              "Vyr Linux Monitor — \nGenel Yük: %12 | CPU: %14 | RAM: %100 | Disk: %0 | Swap: %71");
    EXPECT_EQ(r.inspector.updates, 0);  // hidden inspector: dropped
    EXPECT_EQ(r.logic.last_snapshot(), &frame->snapshot);

    r.inspector.visible = true;
    r.tray.visible = false;
    auto next = std::make_shared<TelemetryFrame>();
    next->snapshot.overall_workload_percent = 42;
    r.logic.on_telemetry_ready(next);
    EXPECT_EQ(r.inspector.updates, 1);
    EXPECT_EQ(r.tray.tooltip.find("%12 |") != std::string::npos, true);  // hidden tray keeps its text
}

TEST(Refresh, WorkerIntervalFromTheSetting) {
    struct Case {
        const char* name;
        SettingValue value;
        long long expected;
    } cases[] = {
        {"default", SettingValue(1500), 1500},
        {"fraction cut", SettingValue(1200.7), 1200},
        {"text holding a number", SettingValue("2000"), 2000},
        {"unreadable text", SettingValue("fast"), 1500},
        {"none", SettingValue(), 1500},
        {"small", SettingValue(500), 500},  // the worker raises it to 800
    };
    for (const auto& c : cases) EXPECT_EQ(refresh_interval_from(c.value), c.expected) << c.name;
}

// ---- position and dragging -------------------------------------------------------------

TEST(Position, RestoreFromSettings) {
    struct Case {
        const char* name;
        std::optional<SettingValue> x, y;
        QPoint expected;
        int moves;
    } cases[] = {
        {"first start", std::nullopt, std::nullopt, QPoint(1815, 969), 1},
        {"saved pair", SettingValue(300), SettingValue(400), QPoint(300, 400), 1},
        {"saved off screen: clamped", SettingValue(5000), SettingValue(-50),
         QPoint(1919 - 86 - 4, 4), 2},
        {"float x", SettingValue(100.0), SettingValue(400), QPoint(1815, 969), 1},
        {"y missing", SettingValue(100), std::nullopt, QPoint(1815, 969), 1},
        {"text x", SettingValue("100"), SettingValue(400), QPoint(1815, 969), 1},
    };
    for (const auto& c : cases) {
        Rig r;
        r.window.at = QPoint(0, 0);
        r.window.moves.clear();
        if (c.x) r.settings.stored["x"] = *c.x;
        if (c.y) r.settings.stored["y"] = *c.y;
        r.logic.restore_position();
        EXPECT_EQ(r.window.at, c.expected) << c.name;
        EXPECT_EQ(static_cast<int>(r.window.moves.size()), c.moves) << c.name;
    }
    // The floors are absolute coordinates.
    Rig r;
    r.desktop.screens = {{QRect(0, 0, 100, 100), QRect(0, 0, 100, 100)}};
    r.logic.restore_position();
    EXPECT_EQ(r.window.at, QPoint(20, 48));
}

TEST(Position, ClampToScreen) {
    // Available area 1920 x 1040 at the origin: right 1919, bottom 1039.
    struct Case {
        const char* name;
        QPoint at;
        QPoint expected;
        bool moved;
    } cases[] = {
        {"inside, top-left limit", QPoint(4, 4), QPoint(4, 4), false},
        {"inside, bottom-right limit", QPoint(1919 - 86 - 4, 1039 - 52 - 4), QPoint(1829, 983), false},
        {"past the right edge", QPoint(1900, 500), QPoint(1829, 500), true},
        {"past the top-left", QPoint(-30, 2), QPoint(4, 4), true},
        {"centre on no screen: primary", QPoint(5000, 5000), QPoint(1829, 983), true},
    };
    for (const auto& c : cases) {
        Rig r;
        r.window.at = c.at;
        r.logic.clamp_to_screen();
        EXPECT_EQ(r.window.at, c.expected) << c.name;
        EXPECT_EQ(!r.window.moves.empty(), c.moved) << c.name;
    }
    Rig none;  // no screen at all: nothing moves
    none.desktop.screens.clear();
    none.window.at = QPoint(5000, 5000);
    none.inspector.visible = true;
    none.logic.clamp_to_screen();
    EXPECT_TRUE(none.window.moves.empty());
    EXPECT_TRUE(none.inspector.calls.empty());
}

TEST(Position, ClampTheVisibleInspector) {
    struct Case {
        const char* name;
        QRect avail;
        QRect inspector;
        QRect expected;
    } cases[] = {
        {"partly off the bottom", QRect(0, 0, 1920, 1040), QRect(300, 800, 780, 530),
         QRect(300, 501, 780, 530)},
        {"small area: floors win", QRect(0, 0, 600, 400), QRect(300, 300, 780, 530),
         QRect(8, 8, 640, 420)},
        {"on another screen: pulled over", QRect(0, 0, 1920, 1040), QRect(2500, 100, 780, 530),
         QRect(1131, 100, 780, 530)},
        {"never enlarged", QRect(0, 0, 1920, 1040), QRect(100, 100, 500, 300),
         QRect(100, 100, 500, 300)},
    };
    for (const auto& c : cases) {
        Rig r;
        r.desktop.screens = {{QRect(c.avail.topLeft(), c.avail.size() + QSize(0, 40)), c.avail}};
        r.window.at = QPoint(10, 10);
        r.inspector.visible = true;
        r.inspector.rect = c.inspector;
        r.logic.clamp_to_screen();
        EXPECT_EQ(r.inspector.rect, c.expected) << c.name;
        EXPECT_EQ(r.inspector.calls, std::vector<std::string>{"setGeometry"}) << c.name;
    }
    Rig hidden;  // a hidden inspector is left alone
    hidden.inspector.rect = QRect(5000, 5000, 780, 530);
    hidden.logic.clamp_to_screen();
    EXPECT_TRUE(hidden.inspector.calls.empty());
}

TEST(Drag, MovesAndSavesXThenY) {
    Rig r;
    r.window.at = QPoint(1000, 600);
    r.logic.begin_drag(QPoint(1030, 620));
    EXPECT_EQ(r.logic.drag_offset(), QPoint(30, 20));
    r.logic.perform_drag(QPoint(1130, 520));
    EXPECT_EQ(r.window.at, QPoint(1100, 500));
    r.logic.perform_drag(QPoint(1230, 420));
    EXPECT_EQ(r.window.at, QPoint(1200, 400));
    r.logic.end_drag();
    EXPECT_FALSE(r.logic.drag_offset());
    EXPECT_EQ(r.settings.written_keys(), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(r.settings.stored["x"].as_integer(), 1200);
    EXPECT_EQ(r.settings.stored["y"].as_integer(), 400);
    EXPECT_TRUE(std::holds_alternative<long long>(r.settings.stored["x"].storage()));

    // A plain click writes the unchanged position again.
    r.logic.begin_drag(QPoint(1210, 410));
    r.logic.end_drag();
    EXPECT_EQ(r.settings.written_keys(), (std::vector<std::string>{"x", "y", "x", "y"}));
}

TEST(Drag, LockedAndWayland) {
    struct Case {
        const char* name;
        SettingValue locked;
        std::string platform;
        bool native;
        QPoint expected_at;
        int system_moves;
        size_t writes;
    } cases[] = {
        {"locked", SettingValue(true), "xcb", true, QPoint(1000, 600), 0, 0},
        {"locked stored as 1", SettingValue(1), "xcb", true, QPoint(1000, 600), 0, 0},
        {"wayland hands over", SettingValue(false), "wayland", true, QPoint(1000, 600), 1, 0},
        {"wayland without a native window", SettingValue(false), "wayland", false,
         QPoint(1200, 400), 0, 2},
        {"other name moves", SettingValue(false), "Wayland", true, QPoint(1200, 400), 0, 2},
    };
    for (const auto& c : cases) {
        Rig r;
        r.settings.stored["locked"] = c.locked;
        r.desktop.platform = c.platform;
        r.window.native = c.native;
        r.window.at = QPoint(1000, 600);
        r.logic.begin_drag(QPoint(1030, 620));
        r.logic.perform_drag(QPoint(1130, 520));
        r.logic.perform_drag(QPoint(1230, 420));
        r.logic.end_drag();
        EXPECT_EQ(r.window.at, c.expected_at) << c.name;
        EXPECT_EQ(r.window.system_moves, c.system_moves) << c.name;
        EXPECT_EQ(r.settings.writes.size(), c.writes) << c.name;
    }
    Rig r;  // a press after unlocking drags again
    r.logic.set_locked(true);
    r.logic.set_locked(false);
    EXPECT_FALSE(r.settings.stored["locked"].truthy());
    EXPECT_TRUE(std::holds_alternative<bool>(r.settings.stored["locked"].storage()));
    r.window.at = QPoint(1000, 600);
    r.logic.begin_drag(QPoint(1030, 620));
    r.logic.perform_drag(QPoint(1130, 620));
    EXPECT_EQ(r.window.at, QPoint(1100, 600));
}

// ---- menu actions and window flags ------------------------------------------------------

TEST(MenuActions, AppearanceAndHiding) {
    Rig r;
    for (const auto& level : kAlphaLevels) r.logic.set_bg_alpha(level.value);
    EXPECT_EQ(r.capsule.repaints, 4);
    EXPECT_EQ(r.settings.stored["bg_alpha"].as_integer(), 240);
    r.logic.set_bg_alpha(240);  // the level in force is written again
    EXPECT_EQ(r.settings.writes.size(), 5u);

    r.popup.visible = true;
    r.logic.hide_desktop_icon();
    EXPECT_FALSE(r.window.visible);
    EXPECT_FALSE(r.popup.visible);
    EXPECT_DOUBLE_EQ(r.logic.suppress_hover_until(), r.desktop.t + 1.5);

    // Check marks: fresh settings.
    EXPECT_TRUE(r.logic.hover_popup_enabled());
    EXPECT_TRUE(r.logic.always_on_top_enabled());
    EXPECT_FALSE(r.logic.locked_enabled());
    r.settings.stored["locked"] = SettingValue(1);
    EXPECT_TRUE(r.logic.locked_enabled());
}

TEST(MenuActions, AlwaysOnTopToggle) {
    Rig r;
    r.window.visible = false;
    r.logic.apply_window_flags(true);
    EXPECT_EQ(r.window.on_top, true);  // missing entry: on top
    EXPECT_FALSE(r.window.visible);    // initial: not shown
    r.logic.toggle_always_on_top();
    EXPECT_EQ(r.window.on_top, false);
    EXPECT_TRUE(r.window.visible);
    r.logic.toggle_always_on_top();
    EXPECT_EQ(r.window.on_top, true);
    EXPECT_EQ(r.window.shows, 2);
    EXPECT_EQ(r.settings.written_keys(), (std::vector<std::string>{"always_on_top", "always_on_top"}));
    EXPECT_TRUE(r.settings.stored["always_on_top"].truthy());
}

TEST(Icons, CandidatesInOrder) {
    EXPECT_EQ(icon_candidates("/opt/vyr/assets"),
              (std::vector<std::string>{"/opt/vyr/vyr-linux-monitor_icon.ico",
                                        "/opt/vyr/vyr-linux-monitor_icon.png", "/opt/vyr/icon.ico",
                                        "/opt/vyr/icon.png", "/opt/vyr/assets/icon_512.png"}));
    EXPECT_EQ(icon_candidates("/assets").front(), "/vyr-linux-monitor_icon.ico");
}
