#include "py_backend.hpp"

#include "vyr/py_records.hpp"

namespace vyr::apppy {

// ---- environment ------------------------------------------------------------------

namespace {
PyRef environ_mapping() {
    PyRef os = py::checked(PyImport_ImportModule("os"));
    return py::checked(PyObject_GetAttrString(os.get(), "environ"));
}
}  // namespace

bool PyEnvironment::contains(const std::string& name) {
    GilScope gil;
    PyRef env = environ_mapping();
    PyRef key = text(name);
    return py::check(PySequence_Contains(env.get(), key.get())) == 1;
}

std::optional<std::string> PyEnvironment::get(const std::string& name) {
    GilScope gil;
    PyRef env = environ_mapping();
    PyRef key = text(name);
    PyRef value;
    try {
        value = py::checked(PyObject_GetItem(env.get(), key.get()));
    } catch (const py::Error& e) {
        if (e.matches(PyExc_KeyError)) return std::nullopt;
        throw;
    }
    PyRef bytes = py::checked(PyUnicode_AsUTF8String(value.get()));  // strict: an undecodable name stops
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

void PyEnvironment::set(const std::string& name, const std::string& value) {
    GilScope gil;
    PyRef env = environ_mapping();
    PyRef key = text(name);
    PyRef val = text(value);
    py::check(PyObject_SetItem(env.get(), key.get(), val.get()));
}

// ---- telemetry source --------------------------------------------------------------------

PyTelemetrySource::PyTelemetrySource(PyObject* engine) : engine_(Py_NewRef(engine)) {}

PyTelemetrySource::~PyTelemetrySource() {
    GilScope gil;
    Py_CLEAR(engine_);
}

// A thread state made for the thread and kept while the GIL is released:
// every GIL scope of the thread finds it and reuses it, where it would
// otherwise make and free one per reading.
void PyTelemetrySource::thread_started() noexcept {
    thread_gil_ = PyGILState_Ensure();
    thread_state_ = PyEval_SaveThread();
}

void PyTelemetrySource::thread_finishing() noexcept {
    if (!thread_state_) return;
    PyEval_RestoreThread(thread_state_);
    thread_state_ = nullptr;
    PyGILState_Release(thread_gil_);
}

namespace {

// Runs one stage of a reading; a Python error leaves it as the worker's
// reading failure, with the stage and the error's type and text.
template <typename Stage>
auto reading(const char* stage, Stage&& body) {
    try {
        return body();
    } catch (const py::Error& e) {
        throw shell::TelemetryError(stage, e.what());
    }
}

}  // namespace

SystemMetricsSnapshot PyTelemetrySource::snapshot() {
    GilScope gil;
    PyRef snap = reading("engine snapshot", [&] {
        return py::checked(PyObject_CallMethod(engine_, "get_system_snapshot", nullptr));
    });
    return reading("snapshot read-back", [&] { return py::read_record<SystemMetricsSnapshot>(snap.get()); });
}

std::vector<ProcessEntry> PyTelemetrySource::processes(const std::string& sort_by,
                                                       const std::string& search_query,
                                                       bool group_by_app, int limit) {
    GilScope gil;
    PyRef list = reading("engine process list", [&] {
        PyRef method = py::checked(PyObject_GetAttrString(engine_, "collect_processes"));
        PyRef args = py::checked(PyTuple_New(0));
        PyRef kwargs = py::checked(PyDict_New());
        py::check(PyDict_SetItemString(kwargs.get(), "sort_by", text(sort_by).get()));
        py::check(PyDict_SetItemString(kwargs.get(), "search_query", text(search_query).get()));
        py::check(PyDict_SetItemString(kwargs.get(), "group_by_app", group_by_app ? Py_True : Py_False));
        PyRef lim = py::checked(PyLong_FromLong(limit));
        py::check(PyDict_SetItemString(kwargs.get(), "limit", lim.get()));
        return py::checked(PyObject_Call(method.get(), args.get(), kwargs.get()));
    });
    return reading("process list read-back", [&] { return py::read_records<ProcessEntry>(list.get()); });
}

}  // namespace vyr::apppy
