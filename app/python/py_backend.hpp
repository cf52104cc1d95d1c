// The engine, the settings store and the environment as the runtime holds
// them, behind the shell's C++ interfaces. Every call takes the GIL for just
// as long as it touches Python objects.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "py_support.hpp"
#include "vyr/records.hpp"
#include "vyr/shell/display_probe.hpp"
#include "vyr/shell/telemetry_worker.hpp"

namespace vyr::apppy {

// os.environ: reads and writes that the runtime and the C library both see.
class PyEnvironment final : public shell::Environment {
public:
    bool contains(const std::string& name) override;
    std::optional<std::string> get(const std::string& name) override;
    void set(const std::string& name, const std::string& value) override;
};

// The engine's snapshot and process list, for the worker thread. The thread
// keeps one thread state of the runtime from its start to its end, so a
// cycle only takes and releases the GIL.
class PyTelemetrySource final : public shell::TelemetrySource {
public:
    explicit PyTelemetrySource(PyObject* engine);  // new reference taken
    ~PyTelemetrySource() override;
    void thread_started() noexcept override;
    void thread_finishing() noexcept override;
    SystemMetricsSnapshot snapshot() override;
    std::vector<ProcessEntry> processes(const std::string& sort_by, const std::string& search_query,
                                        bool group_by_app, int limit) override;

private:
    PyObject* engine_;
    // The worker thread's own, between thread_started and thread_finishing.
    PyGILState_STATE thread_gil_{};
    PyThreadState* thread_state_ = nullptr;
};

}  // namespace vyr::apppy
