// The calls that the capsule, the popup and the inspector make on the monitor
// controller that created them (`parent_monitor`). The controller window
// implements this interface.
#pragma once

#include <QIcon>
#include <QPoint>

namespace vyr::app {

class SettingsStore;

class MonitorController {
public:
    virtual ~MonitorController() = default;

    // The controller window: the Qt parent of the capsule.
    virtual QWidget* monitor_window() = 0;
    // The program's one settings store (`parent_monitor.settings`).
    virtual SettingsStore& settings() = 0;
    // The application icon; a null icon when none was usable.
    virtual QIcon app_icon() const = 0;

    // Window drag driven by the capsule: offset remembered at the press (unless
    // the position is locked), window moved on each drag move, position saved
    // at the end.
    virtual void begin_drag(const QPoint& global_pos) = 0;
    virtual void perform_drag(const QPoint& global_pos) = 0;
    virtual void end_drag() = 0;
    // Hides the summary popup (unpinned, row hovers cleared) and blocks hover
    // re-opening for `suppress_sec` seconds when that is above 0.
    virtual void close_vertical_popup(double suppress_sec = 1.2) = 0;
    // Copies the inspector's state (visible and not paused, active metric,
    // search text, grouping) into the telemetry worker.
    virtual void sync_worker_params() = 0;
};

}  // namespace vyr::app
