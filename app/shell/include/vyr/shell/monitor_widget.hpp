// The monitor controller window: a small frameless, translucent tool window
// that holds the desktop capsule and owns everything else of the running
// application: the settings store, the engine, the summary popup, the
// process inspector, the tray icon and its menu, three timers and the
// telemetry worker. Its rules live in MonitorLogic; this class carries them
// out on the real widgets.
#pragma once

#include <memory>
#include <string>

#include <QElapsedTimer>
#include <QIcon>
#include <QWidget>

#include "vyr/app/monitor_controller.hpp"
#include "vyr/shell/monitor_logic.hpp"
#include "vyr/shell/telemetry_worker.hpp"

class QMenu;
class QSystemTrayIcon;
class QTimer;
class QVBoxLayout;

namespace vyr::app {
class MonitorEngine;
class SettingsStore;
class SingleMainCapsule;
class VyrProcessInspectorDialog;
class VyrVerticalPopup;
}  // namespace vyr::app

namespace vyr::shell {

// What the controller builds its working parts from, in construction order.
class MonitorBackend {
public:
    virtual ~MonitorBackend() = default;
    virtual std::unique_ptr<vyr::app::SettingsStore> make_settings() = 0;
    virtual std::shared_ptr<vyr::app::MonitorEngine> make_engine() = 0;
    // The same engine, as the worker reads it.
    virtual std::shared_ptr<TelemetrySource> make_telemetry_source() = 0;
    // The folder in and beside which the icon files are looked for.
    virtual std::string assets_dir() = 0;
};

class MonitorPorts;

}  // namespace vyr::shell

class VyrMonitorWidget : public QWidget, public vyr::app::MonitorController {
    Q_OBJECT
public:
    // Requires the application object. Builds everything and starts the
    // worker; the window is not shown yet.
    explicit VyrMonitorWidget(vyr::shell::MonitorBackend& backend);
    ~VyrMonitorWidget() override;

    // Stops the worker and waits for its end (call without the GIL held).
    void stop_worker();

    // Restores the window; on a window that was already visible it also
    // opens the inspector on "workload".
    void showNormal();

    // vyr::app::MonitorController
    QWidget* monitor_window() override { return this; }
    vyr::app::SettingsStore& settings() override { return *settings_; }
    QIcon app_icon() const override { return app_icon_; }
    void begin_drag(const QPoint& global_pos) override;
    void perform_drag(const QPoint& global_pos) override;
    void end_drag() override;
    void close_vertical_popup(double suppress_sec = 1.2) override;
    void sync_worker_params() override;

    vyr::shell::MonitorLogic& logic() { return *logic_; }
    vyr::app::VyrVerticalPopup* vertical_popup() const { return vertical_popup_.get(); }
    vyr::app::SingleMainCapsule* main_capsule() const { return main_capsule_; }
    vyr::app::VyrProcessInspectorDialog* inspector() const { return inspector_.get(); }
    QSystemTrayIcon* tray() const { return tray_; }
    QMenu* tray_menu() const { return tray_menu_.get(); }
    vyr::shell::TelemetryWorker* worker() const { return worker_.get(); }
    // Runs every 200 ms from construction to the end of the process.
    QTimer* popup_watchdog() const { return popup_watchdog_timer_; }

    // Builds the capsule's context menu as a right click does (the caller
    // owns it); contextMenuEvent runs it modally and frees it.
    std::unique_ptr<QMenu> build_context_menu();

    // Moves the window's frame and remembers the place as the one it belongs at.
    void place(const QPoint& frame_top_left);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void search_icon(const std::string& assets_dir);
    void build_ui();
    void setup_tray();
    void restore_position();
    void on_telemetry_ready(const vyr::shell::TelemetryFramePtr& frame);

    std::unique_ptr<vyr::app::SettingsStore> settings_;
    std::shared_ptr<vyr::app::MonitorEngine> engine_;
    std::unique_ptr<vyr::shell::MonitorPorts> ports_;
    std::unique_ptr<vyr::shell::MonitorLogic> logic_;
    QIcon app_icon_;
    QTimer* hover_open_timer_ = nullptr;
    QTimer* hide_popup_timer_ = nullptr;
    QTimer* popup_watchdog_timer_ = nullptr;
    std::unique_ptr<vyr::app::VyrVerticalPopup> vertical_popup_;
    QVBoxLayout* outer_layout_ = nullptr;
    vyr::app::SingleMainCapsule* main_capsule_ = nullptr;
    std::unique_ptr<vyr::app::VyrProcessInspectorDialog> inspector_;
    QSystemTrayIcon* tray_ = nullptr;
    std::unique_ptr<QMenu> tray_menu_;
    // Where the window was put. A window manager that takes a new window over
    // can make Qt read a stray position while it maps it; during that short
    // settling time the window is put back.
    QPoint placed_at_;
    QElapsedTimer shown_;
    // Last, so it is the first to go: nothing it reaches is destroyed before it.
    std::unique_ptr<vyr::shell::TelemetryWorker> worker_;
};
