#include "py_backend.hpp"

#include <stdexcept>

namespace vyr::apppy {

namespace {

PyRef attr(PyObject* obj, const char* name) { return checked(PyObject_GetAttrString(obj, name)); }

double as_double(PyObject* obj, const char* name) {
    PyRef v = attr(obj, name);
    const double d = PyFloat_AsDouble(v.get());
    if (d == -1.0 && PyErr_Occurred()) throw PyError();
    return d;
}

long long as_integer(PyObject* obj, const char* name) {
    PyRef v = attr(obj, name);
    const long long i = PyLong_AsLongLong(v.get());
    if (i == -1 && PyErr_Occurred()) throw PyError();
    return i;
}

std::string as_text(PyObject* obj, const char* name) {
    PyRef v = attr(obj, name);
    if (!PyUnicode_Check(v.get())) {
        PyRef s = checked(PyObject_Str(v.get()));
        return utf8_of(s.get());
    }
    return utf8_of(v.get());
}

template <typename Fn>
void for_each_item(PyObject* obj, const char* name, Fn&& fn) {
    PyRef seq = attr(obj, name);
    PyRef fast = checked(PySequence_Fast(seq.get(), "a list was expected"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject** items = PySequence_Fast_ITEMS(fast.get());
    for (Py_ssize_t i = 0; i < n; ++i) fn(items[i]);
}

}  // namespace

SystemMetricsSnapshot snapshot_from(PyObject* s) {
    SystemMetricsSnapshot r;
    r.timestamp = as_double(s, "timestamp");
    r.load_1m = as_double(s, "load_1m");
    r.load_5m = as_double(s, "load_5m");
    r.load_15m = as_double(s, "load_15m");
    r.overall_workload_percent = as_double(s, "overall_workload_percent");
    r.workload_label = as_text(s, "workload_label");
    r.workload_color = as_text(s, "workload_color");
    r.uptime_str = as_text(s, "uptime_str");
    r.cpu_percent = as_double(s, "cpu_percent");
    for_each_item(s, "cpu_per_core", [&](PyObject* v) {
        const double d = PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) throw PyError();
        r.cpu_per_core.push_back(d);
    });
    r.cpu_freq_mhz = as_double(s, "cpu_freq_mhz");
    r.cpu_count_logical = as_integer(s, "cpu_count_logical");
    r.cpu_count_physical = as_integer(s, "cpu_count_physical");
    r.ram_percent = as_double(s, "ram_percent");
    r.ram_used_gb = as_double(s, "ram_used_gb");
    r.ram_total_gb = as_double(s, "ram_total_gb");
    r.ram_avail_gb = as_double(s, "ram_avail_gb");
    r.ram_cached_gb = as_double(s, "ram_cached_gb");
    r.disk_percent = as_double(s, "disk_percent");
    r.disk_used_gb = as_double(s, "disk_used_gb");
    r.disk_total_gb = as_double(s, "disk_total_gb");
    r.disk_free_gb = as_double(s, "disk_free_gb");
    r.disk_read_mb_s = as_double(s, "disk_read_mb_s");
    r.disk_write_mb_s = as_double(s, "disk_write_mb_s");
    r.disk_mount = as_text(s, "disk_mount");
    r.disk_device = as_text(s, "disk_device");
    for_each_item(s, "partitions", [&](PyObject* p) { r.partitions.push_back(partition_from(p)); });
    r.swap_percent = as_double(s, "swap_percent");
    r.swap_used_gb = as_double(s, "swap_used_gb");
    r.swap_total_gb = as_double(s, "swap_total_gb");
    r.swap_free_gb = as_double(s, "swap_free_gb");
    r.swap_used_mb = as_double(s, "swap_used_mb");
    r.swap_total_mb = as_double(s, "swap_total_mb");
    r.swap_sin_mb = as_double(s, "swap_sin_mb");
    r.swap_sout_mb = as_double(s, "swap_sout_mb");
    return r;
}

DiskPartitionInfo partition_from(PyObject* p) {
    DiskPartitionInfo r;
    r.device = as_text(p, "device");
    r.mountpoint = as_text(p, "mountpoint");
    r.fstype = as_text(p, "fstype");
    r.total_gb = as_double(p, "total_gb");
    r.used_gb = as_double(p, "used_gb");
    r.free_gb = as_double(p, "free_gb");
    r.percent = as_double(p, "percent");
    return r;
}

FolderUsageInfo folder_from(PyObject* f) {
    FolderUsageInfo r;
    r.label = as_text(f, "label");
    r.path = as_text(f, "path");
    r.size_mb = as_double(f, "size_mb");
    r.size_str = as_text(f, "size_str");
    return r;
}

ProcessEntry process_from(PyObject* e) {
    ProcessEntry r;
    r.pid = as_integer(e, "pid");
    r.name = as_text(e, "name");
    r.display_name = as_text(e, "display_name");
    r.username = as_text(e, "username");
    r.status = as_text(e, "status");
    r.cpu_percent = as_double(e, "cpu_percent");
    r.ram_percent = as_double(e, "ram_percent");
    r.ram_mb = as_double(e, "ram_mb");
    r.swap_mb = as_double(e, "swap_mb");
    r.disk_rw_kb_s = as_double(e, "disk_rw_kb_s");
    r.disk_total_mb = as_double(e, "disk_total_mb");
    r.workload_score = as_double(e, "workload_score");
    r.process_count = as_integer(e, "process_count");
    r.cmdline = as_text(e, "cmdline");
    return r;
}

std::vector<ProcessEntry> processes_from(PyObject* list) {
    PyRef fast = checked(PySequence_Fast(list, "a list of processes was expected"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject** items = PySequence_Fast_ITEMS(fast.get());
    std::vector<ProcessEntry> out;
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(process_from(items[i]));
    return out;
}

// ---- environment ------------------------------------------------------------------

namespace {
PyRef environ_mapping() {
    PyRef os = checked(PyImport_ImportModule("os"));
    return checked(PyObject_GetAttrString(os.get(), "environ"));
}
}  // namespace

bool PyEnvironment::contains(const std::string& name) {
    GilScope gil;
    PyRef env = environ_mapping();
    PyRef key = text(name);
    const int rc = PySequence_Contains(env.get(), key.get());
    if (rc < 0) throw PyError();
    return rc == 1;
}

std::optional<std::string> PyEnvironment::get(const std::string& name) {
    GilScope gil;
    PyRef env = environ_mapping();
    PyRef key = text(name);
    PyObject* v = PyObject_GetItem(env.get(), key.get());
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        throw PyError();
    }
    PyRef value(v);
    PyRef bytes = checked(PyUnicode_AsUTF8String(value.get()));  // strict: an undecodable name stops
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

void PyEnvironment::set(const std::string& name, const std::string& value) {
    GilScope gil;
    PyRef env = environ_mapping();
    PyRef key = text(name);
    PyRef val = text(value);
    check_rc(PyObject_SetItem(env.get(), key.get(), val.get()));
}

// ---- telemetry source --------------------------------------------------------------------

PyTelemetrySource::PyTelemetrySource(PyObject* engine) : engine_(Py_NewRef(engine)) {}

PyTelemetrySource::~PyTelemetrySource() {
    GilScope gil;
    Py_CLEAR(engine_);
}

SystemMetricsSnapshot PyTelemetrySource::snapshot() {
    GilScope gil;
    try {
        PyRef snap = checked(PyObject_CallMethod(engine_, "get_system_snapshot", nullptr));
        return snapshot_from(snap.get());
    } catch (PyError& e) {
        e.restore();
        PyErr_Clear();  // a failed cycle leaves no trace
        throw std::runtime_error("snapshot failed");
    }
}

std::vector<ProcessEntry> PyTelemetrySource::processes(const std::string& sort_by,
                                                       const std::string& search_query,
                                                       bool group_by_app, int limit) {
    GilScope gil;
    try {
        PyRef method = checked(PyObject_GetAttrString(engine_, "collect_processes"));
        PyRef args = checked(PyTuple_New(0));
        PyRef kwargs = checked(PyDict_New());
        check_rc(PyDict_SetItemString(kwargs.get(), "sort_by", text(sort_by).get()));
        check_rc(PyDict_SetItemString(kwargs.get(), "search_query", text(search_query).get()));
        check_rc(PyDict_SetItemString(kwargs.get(), "group_by_app", group_by_app ? Py_True : Py_False));
        PyRef lim = checked(PyLong_FromLong(limit));
        check_rc(PyDict_SetItemString(kwargs.get(), "limit", lim.get()));
        PyRef list = checked(PyObject_Call(method.get(), args.get(), kwargs.get()));
        return processes_from(list.get());
    } catch (PyError& e) {
        e.restore();
        PyErr_Clear();
        throw std::runtime_error("process list failed");
    }
}

}  // namespace vyr::apppy
