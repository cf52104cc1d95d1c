// The settings store and the engine as the views and the controller window
// use them, backed by the runtime's objects.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "py_support.hpp"
#include "vyr/app/monitor_engine.hpp"
#include "vyr/app/settings_store.hpp"
#include "vyr/shell/monitor_widget.hpp"

namespace vyr::apppy {

// A settings value both ways (GIL held; throws py::Error).
vyr::app::SettingValue views_value_from(PyObject* value);
PyRef python_from(const vyr::app::SettingValue& value);

// The engine's SettingsManager.
class PyViewsSettings final : public vyr::app::SettingsStore {
public:
    explicit PyViewsSettings(PyObject* manager);  // new reference taken
    ~PyViewsSettings() override;
    vyr::app::SettingValue get(const std::string& key,
                               const vyr::app::SettingValue& default_value = {}) const override;
    void set(const std::string& key, const vyr::app::SettingValue& value) override;

private:
    PyObject* manager_;
};

// The engine's termination and folder-scan calls, made from the GUI thread.
class PyViewsEngine final : public vyr::app::MonitorEngine {
public:
    explicit PyViewsEngine(PyObject* engine);  // new reference taken
    ~PyViewsEngine() override;
    vyr::app::TerminateResult terminate_process(long long pid, bool force,
                                                const std::string& expected_name) override;
    void trigger_folder_scan_async() override;
    std::vector<FolderUsageInfo> get_folder_usages() override;
    PyObject* object() const { return engine_; }

private:
    PyObject* engine_;
};

// Builds the controller's parts from the names the app module took from the
// engine: SettingsManager, SystemMonitorEngine and ASSETS_DIR.
class PyMonitorBackend final : public vyr::shell::MonitorBackend {
public:
    explicit PyMonitorBackend(PyObject* module) : module_(module) {}
    std::unique_ptr<vyr::app::SettingsStore> make_settings() override;
    std::shared_ptr<vyr::app::MonitorEngine> make_engine() override;
    std::shared_ptr<vyr::shell::TelemetrySource> make_telemetry_source() override;
    std::string assets_dir() override;

private:
    PyObject* module_;  // borrowed
    std::shared_ptr<PyViewsEngine> engine_;
};

}  // namespace vyr::apppy
