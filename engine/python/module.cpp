// engine: the metrics engine as the runtime sees it.
//
// The records are the runtime's own dataclasses; the settings store keeps a
// real dict and reads and writes its file with the runtime's json module; the
// engine object wraps the C++ core and lets go of the GIL while it reads the
// system.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "vyr/engine/engine.hpp"
#include "vyr/engine/settings_file.hpp"
#include "vyr/module_init.hpp"
#include "vyr/py_ref.hpp"

namespace {

using vyr::DiskPartitionInfo;
using vyr::FolderUsageInfo;
using vyr::ProcessEntry;
using vyr::SystemMetricsSnapshot;
namespace core = vyr::engine;

// Objects kept for the life of the process: the module is set up once per
// process and never unloaded.
struct Globals {
    PyObject* module = nullptr;
    PyObject* json_dumps = nullptr;
    PyObject* json_loads = nullptr;
    PyObject* path_type = nullptr;
    PyObject* disk_partition_info = nullptr;
    PyObject* folder_usage_info = nullptr;
    PyObject* snapshot = nullptr;
    PyObject* process_entry = nullptr;
    PyObject* disk_usage = nullptr;  // the named tuple of a file system's usage
} G;

std::shared_ptr<core::Platform> system_platform() {
    static auto platform = core::make_system_platform();
    return platform;
}

using Ref = vyr::py::Ref;

// Runs `f` without the GIL; a C++ exception is kept for the caller.
template <typename F>
bool without_gil(F&& f, std::exception_ptr& error) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        f();
    } catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    return !error;
}

// Raises the runtime's counterpart of a C++ failure; returns null.
PyObject* raise_from(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const core::SystemError& e) {
        if (!e.filename().empty()) {
            const char* desc = strerrordesc_np(e.error_number());
            PyObject* exc = PyObject_CallFunction(PyExc_OSError, "isN", e.error_number(),
                                                  desc ? desc : "Unknown error",
                                                  PyUnicode_DecodeFSDefault(e.filename().c_str()));
            if (exc) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
                Py_DECREF(exc);
            }
        } else {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown engine failure");
    }
    return nullptr;
}

// Text from the system: UTF-8, undecodable bytes kept as escapes.
PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

// Calls `type` with the arguments, which are new references (any may be null
// after a failure; all are released).
PyObject* build(PyObject* type, std::vector<PyObject*> args) {
    bool ok = true;
    for (PyObject* a : args) ok = ok && a;
    PyObject* result = ok ? PyObject_Vectorcall(type, args.data(), args.size(), nullptr) : nullptr;
    for (PyObject* a : args) Py_XDECREF(a);
    return result;
}

PyObject* partition_record(const DiskPartitionInfo& p) {
    return build(G.disk_partition_info,
                 {text(p.device), text(p.mountpoint), text(p.fstype), PyFloat_FromDouble(p.total_gb),
                  PyFloat_FromDouble(p.used_gb), PyFloat_FromDouble(p.free_gb), PyFloat_FromDouble(p.percent)});
}

PyObject* folder_record(const FolderUsageInfo& f) {
    return build(G.folder_usage_info,
                 {text(f.label), text(f.path), PyFloat_FromDouble(f.size_mb), text(f.size_str)});
}

PyObject* float_list(const std::vector<double>& values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v = PyFloat_FromDouble(values[i]);
        if (!v) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), v);
    }
    return list;
}

template <typename T, typename F>
PyObject* record_list(const std::vector<T>& items, F make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* r = make(items[i]);
        if (!r) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), r);
    }
    return list;
}

PyObject* snapshot_record(const SystemMetricsSnapshot& s) {
    auto f = [](double v) { return PyFloat_FromDouble(v); };
    return build(G.snapshot,
                 {f(s.timestamp), f(s.load_1m), f(s.load_5m), f(s.load_15m), f(s.overall_workload_percent),
                  text(s.workload_label), text(s.workload_color), text(s.uptime_str), f(s.cpu_percent),
                  float_list(s.cpu_per_core), f(s.cpu_freq_mhz), PyLong_FromLongLong(s.cpu_count_logical),
                  PyLong_FromLongLong(s.cpu_count_physical), f(s.ram_percent), f(s.ram_used_gb),
                  f(s.ram_total_gb), f(s.ram_avail_gb), f(s.ram_cached_gb), f(s.disk_percent),
                  f(s.disk_used_gb), f(s.disk_total_gb), f(s.disk_free_gb), f(s.disk_read_mb_s),
                  f(s.disk_write_mb_s), text(s.disk_mount), text(s.disk_device),
                  record_list(s.partitions, partition_record), f(s.swap_percent), f(s.swap_used_gb),
                  f(s.swap_total_gb), f(s.swap_free_gb), f(s.swap_used_mb), f(s.swap_total_mb),
                  f(s.swap_sin_mb), f(s.swap_sout_mb)});
}

PyObject* process_record(const ProcessEntry& e) {
    auto f = [](double v) { return PyFloat_FromDouble(v); };
    return build(G.process_entry,
                 {PyLong_FromLongLong(e.pid), text(e.name), text(e.display_name), text(e.username), text(e.status),
                  f(e.cpu_percent), f(e.ram_percent), f(e.ram_mb), f(e.swap_mb), f(e.disk_rw_kb_s),
                  f(e.disk_total_mb), f(e.workload_score), PyLong_FromLongLong(e.process_count),
                  text(e.cmdline)});
}

// The runtime's catch-all guard: an ordinary error is dropped, an exit
// request or a keyboard interrupt passes on. Returns false when one passes.
bool swallow_ordinary_error() {
    if (!PyErr_Occurred()) return true;
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

// --- records -------------------------------------------------------------------

enum Kind { kFloat, kStr, kInt, kList };
struct FieldSpec {
    const char* name;
    Kind kind;
    int default_kind;  // 0 none, 1 the value below, 2 a new empty list
    double float_default = 0.0;
    long long int_default = 0;
    const char* str_default = nullptr;
};

PyObject* make_record_type(PyObject* dataclasses, const char* name, const std::vector<FieldSpec>& fields) {
    Ref make(PyObject_GetAttrString(dataclasses, "make_dataclass"));
    Ref field_fn(PyObject_GetAttrString(dataclasses, "field"));
    if (!make || !field_fn) return nullptr;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& spec : fields) {
        PyObject* type = spec.kind == kFloat ? reinterpret_cast<PyObject*>(&PyFloat_Type)
                         : spec.kind == kStr ? reinterpret_cast<PyObject*>(&PyUnicode_Type)
                         : spec.kind == kInt ? reinterpret_cast<PyObject*>(&PyLong_Type)
                                             : reinterpret_cast<PyObject*>(&PyList_Type);
        Ref item;
        if (spec.default_kind == 0) {
            item.reset(Py_BuildValue("(sO)", spec.name, type));
        } else {
            Ref value;
            if (spec.default_kind == 2) {
                Ref kw(Py_BuildValue("{sO}", "default_factory", reinterpret_cast<PyObject*>(&PyList_Type)));
                Ref empty(PyTuple_New(0));
                if (!kw || !empty) return nullptr;
                value.reset(PyObject_Call(field_fn.get(), empty.get(), kw.get()));
            } else if (spec.kind == kFloat) {
                value.reset(PyFloat_FromDouble(spec.float_default));
            } else if (spec.kind == kInt) {
                value.reset(PyLong_FromLongLong(spec.int_default));
            } else {
                value.reset(PyUnicode_FromString(spec.str_default ? spec.str_default : ""));
            }
            if (!value) return nullptr;
            item.reset(Py_BuildValue("(sOO)", spec.name, type, value.get()));
        }
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    Ref args(Py_BuildValue("(sO)", name, list.get()));
    Ref kw(Py_BuildValue("{ss}", "module", "engine"));
    if (!args || !kw) return nullptr;
    return PyObject_Call(make.get(), args.get(), kw.get());
}

int define_records(PyObject* module, PyObject* dataclasses) {
    G.disk_partition_info = make_record_type(dataclasses, "DiskPartitionInfo",
                                             {{"device", kStr, 0},
                                              {"mountpoint", kStr, 0},
                                              {"fstype", kStr, 0},
                                              {"total_gb", kFloat, 0},
                                              {"used_gb", kFloat, 0},
                                              {"free_gb", kFloat, 0},
                                              {"percent", kFloat, 0}});
    if (!G.disk_partition_info || PyModule_AddObjectRef(module, "DiskPartitionInfo", G.disk_partition_info) < 0)
        return -1;
    G.folder_usage_info = make_record_type(
        dataclasses, "FolderUsageInfo",
        {{"label", kStr, 0}, {"path", kStr, 0}, {"size_mb", kFloat, 0}, {"size_str", kStr, 0}});
    if (!G.folder_usage_info || PyModule_AddObjectRef(module, "FolderUsageInfo", G.folder_usage_info) < 0)
        return -1;
    G.snapshot = make_record_type(dataclasses, "SystemMetricsSnapshot",
                                  {{"timestamp", kFloat, 0},
                                   {"load_1m", kFloat, 0},
                                   {"load_5m", kFloat, 0},
                                   {"load_15m", kFloat, 0},
                                   {"overall_workload_percent", kFloat, 0},
                                   {"workload_label", kStr, 0},
                                   {"workload_color", kStr, 0},
                                   {"uptime_str", kStr, 0},
                                   {"cpu_percent", kFloat, 0},
                                   {"cpu_per_core", kList, 0},
                                   {"cpu_freq_mhz", kFloat, 0},
                                   {"cpu_count_logical", kInt, 0},
                                   {"cpu_count_physical", kInt, 0},
                                   {"ram_percent", kFloat, 0},
                                   {"ram_used_gb", kFloat, 0},
                                   {"ram_total_gb", kFloat, 0},
                                   {"ram_avail_gb", kFloat, 0},
                                   {"ram_cached_gb", kFloat, 0},
                                   {"disk_percent", kFloat, 0},
                                   {"disk_used_gb", kFloat, 0},
                                   {"disk_total_gb", kFloat, 0},
                                   {"disk_free_gb", kFloat, 0},
                                   {"disk_read_mb_s", kFloat, 0},
                                   {"disk_write_mb_s", kFloat, 0},
                                   {"disk_mount", kStr, 0},
                                   {"disk_device", kStr, 0},
                                   {"partitions", kList, 2},
                                   {"swap_percent", kFloat, 1},
                                   {"swap_used_gb", kFloat, 1},
                                   {"swap_total_gb", kFloat, 1},
                                   {"swap_free_gb", kFloat, 1},
                                   {"swap_used_mb", kFloat, 1},
                                   {"swap_total_mb", kFloat, 1},
                                   {"swap_sin_mb", kFloat, 1},
                                   {"swap_sout_mb", kFloat, 1}});
    if (!G.snapshot || PyModule_AddObjectRef(module, "SystemMetricsSnapshot", G.snapshot) < 0) return -1;
    FieldSpec count{"process_count", kInt, 1};
    count.int_default = 1;
    FieldSpec cmdline{"cmdline", kStr, 1};
    cmdline.str_default = "";
    G.process_entry = make_record_type(dataclasses, "ProcessEntry",
                                       {{"pid", kInt, 0},
                                        {"name", kStr, 0},
                                        {"display_name", kStr, 0},
                                        {"username", kStr, 0},
                                        {"status", kStr, 0},
                                        {"cpu_percent", kFloat, 0},
                                        {"ram_percent", kFloat, 0},
                                        {"ram_mb", kFloat, 0},
                                        {"swap_mb", kFloat, 0},
                                        {"disk_rw_kb_s", kFloat, 0},
                                        {"disk_total_mb", kFloat, 0},
                                        {"workload_score", kFloat, 0},
                                        count,
                                        cmdline});
    if (!G.process_entry || PyModule_AddObjectRef(module, "ProcessEntry", G.process_entry) < 0) return -1;
    return 0;
}

// The usage of a file system as the system library reports it: a named
// tuple (total, used, free, percent), not a name of the module.
int define_disk_usage() {
    Ref collections(PyImport_ImportModule("collections"));
    if (!collections) return -1;
    Ref namedtuple(PyObject_GetAttrString(collections.get(), "namedtuple"));
    Ref args(Py_BuildValue("(s[ssss])", "sdiskusage", "total", "used", "free", "percent"));
    Ref kw(Py_BuildValue("{ss}", "module", "engine"));
    if (!namedtuple || !args || !kw) return -1;
    G.disk_usage = PyObject_Call(namedtuple.get(), args.get(), kw.get());
    return G.disk_usage ? 0 : -1;
}

// --- settings store ------------------------------------------------------------

const char kBackupFlag[] = "_keep_unreadable_file";

PyObject* module_path(const char* name) {
    Ref value(PyObject_GetAttrString(G.module, name));
    if (!value) return nullptr;
    return PyObject_CallOneArg(G.path_type, value.get());
}

// The file-system bytes of a module path such as SETTINGS_FILE (error set on failure).
bool module_path_bytes(const char* name, std::string& out) {
    Ref file(module_path(name));
    if (!file) return false;
    Ref fs_path(PyOS_FSPath(file.get()));
    if (!fs_path) return false;
    Ref encoded(PyUnicode_Check(fs_path.get()) ? PyUnicode_EncodeFSDefault(fs_path.get())
                                               : Py_NewRef(fs_path.get()));
    if (!encoded) return false;
    if (!PyBytes_Check(encoded.get())) {
        PyErr_SetString(PyExc_TypeError, "a file-system path was expected");
        return false;
    }
    out.assign(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
    return true;
}

PyObject* settings_init(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* self;
    static const char* kwlist[] = {"self", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", const_cast<char**>(kwlist), &self))
        return nullptr;
    Ref defaults(PyObject_GetAttrString(self, "DEFAULT_SETTINGS"));
    if (!defaults) return nullptr;
    Ref data(PyDict_Check(defaults.get()) ? PyDict_Copy(defaults.get())
                                          : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type),
                                                                defaults.get()));
    if (!data || PyObject_SetAttrString(self, "data", data.get()) < 0) return nullptr;
    if (PyObject_SetAttrString(self, kBackupFlag, Py_False) < 0) return nullptr;
    Ref loaded(PyObject_CallMethod(self, "load", nullptr));
    if (!loaded) return nullptr;
    Py_RETURN_NONE;
}

PyObject* settings_load(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* self;
    static const char* kwlist[] = {"self", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:load", const_cast<char**>(kwlist), &self)) return nullptr;
    Ref data(PyObject_GetAttrString(self, "data"));
    if (!data) return nullptr;
    bool exists = false;
    bool taken = false;
    do {
        Ref path(module_path("SETTINGS_FILE"));
        if (!path) break;
        Ref there(PyObject_CallMethod(path.get(), "exists", nullptr));
        if (!there) break;
        const int truth = PyObject_IsTrue(there.get());
        if (truth < 0) break;
        if (!truth) break;
        exists = true;
        // Read only as a regular file, never waiting on a FIFO or a device.
        std::string target, bytes;
        if (!module_path_bytes("SETTINGS_FILE", target)) break;
        int err;
        Py_BEGIN_ALLOW_THREADS
        err = vyr::engine::files::read_regular_file(target, bytes);
        Py_END_ALLOW_THREADS
        if (err != 0) {
            errno = err;
            PyErr_SetFromErrno(PyExc_OSError);
            break;
        }
        Ref content(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
        if (!content) break;
        Ref raw(PyObject_CallOneArg(G.json_loads, content.get()));
        if (!raw) break;
        if (PyDict_Check(raw.get())) {
            Ref r(PyObject_CallMethod(data.get(), "update", "O", raw.get()));
            if (!r) break;
            taken = true;
        }
    } while (false);
    if (!swallow_ordinary_error()) return nullptr;
    if (exists && !taken) {
        // The file holds something the store cannot use: keep it aside before
        // the first write replaces it.
        if (PyObject_SetAttrString(self, kBackupFlag, Py_True) < 0) return nullptr;
    }
    return data.release();
}

PyObject* settings_save(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* self;
    static const char* kwlist[] = {"self", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:save", const_cast<char**>(kwlist), &self)) return nullptr;
    do {
        Ref dir(module_path("CONFIG_DIR"));
        if (!dir) break;
        Ref kw(Py_BuildValue("{sOsO}", "parents", Py_True, "exist_ok", Py_True));
        Ref mkdir(PyObject_GetAttrString(dir.get(), "mkdir"));
        Ref empty(PyTuple_New(0));
        if (!kw || !mkdir || !empty) break;
        Ref made(PyObject_Call(mkdir.get(), empty.get(), kw.get()));
        if (!made) break;

        Ref data(PyObject_GetAttrString(self, "data"));
        if (!data) break;
        Ref dump_args(PyTuple_Pack(1, data.get()));
        Ref dump_kw(Py_BuildValue("{sisO}", "indent", 2, "ensure_ascii", Py_False));
        if (!dump_args || !dump_kw) break;
        Ref text_obj(PyObject_Call(G.json_dumps, dump_args.get(), dump_kw.get()));
        if (!text_obj) break;
#ifdef _WIN32
        Ref crlf(PyObject_CallMethod(text_obj.get(), "replace", "ss", "\n", "\r\n"));
        if (!crlf) break;
        text_obj.reset(crlf.release());
#endif
        Ref payload(PyUnicode_AsUTF8String(text_obj.get()));
        if (!payload) break;

        std::string target;
        if (!module_path_bytes("SETTINGS_FILE", target)) break;
        const std::string bytes(PyBytes_AS_STRING(payload.get()), PyBytes_GET_SIZE(payload.get()));

        Ref pending(PyObject_GetAttrString(self, kBackupFlag));
        if (!pending) PyErr_Clear();
        const bool keep = pending && PyObject_IsTrue(pending.get()) == 1;
        int kept = 0;
        Py_BEGIN_ALLOW_THREADS
        if (keep) kept = vyr::engine::files::keep_as_backup(target, target + ".bak");
        // An unreadable file that could not be kept aside is not overwritten.
        if (kept == 0) (void)vyr::engine::files::replace_atomically(target, bytes);
        Py_END_ALLOW_THREADS
        if (keep && kept == 0 && PyObject_SetAttrString(self, kBackupFlag, Py_False) < 0) break;
    } while (false);
    if (!swallow_ordinary_error()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* settings_get(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject *self, *key, *fallback = Py_None;
    static const char* kwlist[] = {"self", "key", "default", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:get", const_cast<char**>(kwlist), &self, &key, &fallback))
        return nullptr;
    Ref data(PyObject_GetAttrString(self, "data"));
    if (!data) return nullptr;
    int has = PySequence_Contains(data.get(), key);
    if (has < 0) return nullptr;
    if (has) return PyObject_GetItem(data.get(), key);
    Ref defaults(PyObject_GetAttrString(self, "DEFAULT_SETTINGS"));
    if (!defaults) return nullptr;
    has = PySequence_Contains(defaults.get(), key);
    if (has < 0) return nullptr;
    if (has) return PyObject_GetItem(defaults.get(), key);
    return Py_NewRef(fallback);
}

PyObject* settings_set(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject *self, *key, *value;
    static const char* kwlist[] = {"self", "key", "value", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:set", const_cast<char**>(kwlist), &self, &key, &value))
        return nullptr;
    Ref data(PyObject_GetAttrString(self, "data"));
    if (!data || PyObject_SetItem(data.get(), key, value) < 0) return nullptr;
    Ref saved(PyObject_CallMethod(self, "save", nullptr));
    if (!saved) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef settings_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settings_init)),
     METH_VARARGS | METH_KEYWORDS, "Starts from the defaults and takes over the settings file."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settings_load)),
     METH_VARARGS | METH_KEYWORDS, "Merges the settings file into data and returns data."},
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settings_save)),
     METH_VARARGS | METH_KEYWORDS, "Writes data to the settings file."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settings_get)),
     METH_VARARGS | METH_KEYWORDS, "The stored value, else the built-in default, else default."},
    {"set", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settings_set)),
     METH_VARARGS | METH_KEYWORDS, "Stores the value and writes the settings file."},
};

int define_settings_manager(PyObject* module) {
    Ref defaults(PyDict_New());
    if (!defaults) return -1;
    struct Default {
        const char* key;
        PyObject* value;
    } items[] = {
        {"orientation", PyUnicode_FromString("vertical")},
        {"x", Py_NewRef(Py_None)},
        {"y", Py_NewRef(Py_None)},
        {"always_on_top", Py_NewRef(Py_True)},
        {"locked", Py_NewRef(Py_False)},
        {"opacity", PyFloat_FromDouble(0.95)},
        {"group_by_app", Py_NewRef(Py_False)},
        {"refresh_ms", PyLong_FromLong(1500)},
    };
    int rc = 0;
    for (auto& item : items) {
        if (rc == 0 && (!item.value || PyDict_SetItemString(defaults.get(), item.key, item.value) < 0)) rc = -1;
        Py_XDECREF(item.value);
    }
    if (rc < 0) return -1;

    Ref ns(PyDict_New());
    if (!ns) return -1;
    Ref modname(PyModule_GetNameObject(module));
    if (!modname || PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0) return -1;
    Ref qual(PyUnicode_FromString("SettingsManager"));
    Ref doc(PyUnicode_FromString("The user's settings: a flat map kept in the settings file."));
    if (!qual || !doc || PyDict_SetItemString(ns.get(), "__qualname__", qual.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "DEFAULT_SETTINGS", defaults.get()) < 0)
        return -1;
    for (auto& def : settings_methods) {
        Ref fn(PyCFunction_NewEx(&def, module, modname.get()));
        if (!fn) return -1;
        Ref method(PyInstanceMethod_New(fn.get()));
        if (!method || PyDict_SetItemString(ns.get(), def.ml_name, method.get()) < 0) return -1;
    }
    Ref cls(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "SettingsManager",
                                  reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
    if (!cls) return -1;
    return PyModule_AddObjectRef(module, "SettingsManager", cls.get());
}

// --- the engine object -----------------------------------------------------------

struct EngineObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    core::Engine* engine;
    PyObject* folder_records;  // the records of the last published scan
    std::size_t folder_generation;
};

core::Engine* engine_of(PyObject* self) {
    auto* e = reinterpret_cast<EngineObject*>(self)->engine;
    if (!e) PyErr_SetString(PyExc_RuntimeError, "SystemMonitorEngine.__init__() has not run");
    return e;
}

PyObject* engine_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<EngineObject*>(self);
    o->engine = nullptr;
    o->folder_records = nullptr;
    o->folder_generation = static_cast<std::size_t>(-1);
    return self;
}

int engine_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "SystemMonitorEngine() takes no arguments");
        return -1;
    }
    Ref app_dir(PyObject_GetAttrString(G.module, "APP_DIR"));
    if (!app_dir) return -1;
    Ref app_text(PyObject_Str(app_dir.get()));
    if (!app_text) return -1;
    Ref app_bytes(PyUnicode_EncodeFSDefault(app_text.get()));
    if (!app_bytes) return -1;
    core::EngineOptions options;
    options.app_dir.assign(PyBytes_AS_STRING(app_bytes.get()), PyBytes_GET_SIZE(app_bytes.get()));

    std::unique_ptr<core::Engine> created;
    std::exception_ptr error;
    if (!without_gil([&] { created = std::make_unique<core::Engine>(system_platform(), core::system_clock(),
                                                                     options); },
                     error)) {
        raise_from(error);
        return -1;
    }
    auto* o = reinterpret_cast<EngineObject*>(self);
    delete o->engine;
    o->engine = created.release();
    Py_CLEAR(o->folder_records);
    o->folder_generation = static_cast<std::size_t>(-1);
    return 0;
}

int engine_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* o = reinterpret_cast<EngineObject*>(self);
    Py_VISIT(o->dict);
    Py_VISIT(o->folder_records);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int engine_clear(PyObject* self) {
    auto* o = reinterpret_cast<EngineObject*>(self);
    Py_CLEAR(o->dict);
    Py_CLEAR(o->folder_records);
    return 0;
}

void engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* o = reinterpret_cast<EngineObject*>(self);
    if (o->weakrefs) PyObject_ClearWeakRefs(self);
    engine_clear(self);
    delete o->engine;
    o->engine = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* engine_snapshot(PyObject* self, PyObject*) {
    core::Engine* e = engine_of(self);
    if (!e) return nullptr;
    SystemMetricsSnapshot snap;
    std::exception_ptr error;
    if (!without_gil([&] { snap = e->get_system_snapshot(); }, error)) return raise_from(error);
    return snapshot_record(snap);
}

PyObject* engine_collect(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Engine* e = engine_of(self);
    if (!e) return nullptr;
    PyObject* sort_by = nullptr;
    PyObject* search_query = nullptr;
    PyObject* group_by_app = Py_False;
    PyObject* limit = nullptr;
    static const char* kwlist[] = {"sort_by", "search_query", "group_by_app", "limit", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:collect_processes", const_cast<char**>(kwlist), &sort_by,
                                     &search_query, &group_by_app, &limit))
        return nullptr;

    std::string sort_key = "workload";
    if (sort_by && PyUnicode_Check(sort_by)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(sort_by, &n);
        if (s) sort_key.assign(s, static_cast<std::size_t>(n));
        else PyErr_Clear();  // a text that cannot be one of the keys
    }

    core::SearchQuery query;
    if (search_query) {
        Ref stripped(PyObject_CallMethod(search_query, "strip", nullptr));
        if (!stripped) return nullptr;
        Ref lowered(PyObject_CallMethod(stripped.get(), "lower", nullptr));
        if (!lowered) return nullptr;
        if (!PyUnicode_Check(lowered.get())) {
            PyErr_SetString(PyExc_TypeError, "search_query must be a text");
            return nullptr;
        }
        Py_UCS4* wide = PyUnicode_AsUCS4Copy(lowered.get());
        if (!wide) return nullptr;
        query = core::SearchQuery::from_prepared(
            std::u32string_view(reinterpret_cast<char32_t*>(wide), PyUnicode_GET_LENGTH(lowered.get())));
        PyMem_Free(wide);
    }
    const int group = PyObject_IsTrue(group_by_app);
    if (group < 0) return nullptr;

    long long keep = 80;
    if (limit == Py_None) {
        keep = LLONG_MAX;
    } else if (limit) {
        if (!PyIndex_Check(limit)) {
            PyErr_SetString(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
            return nullptr;
        }
        Ref index(PyNumber_Index(limit));
        if (!index) return nullptr;
        int overflow = 0;
        keep = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (overflow > 0) keep = LLONG_MAX;
        else if (overflow < 0) keep = LLONG_MIN;
        else if (keep == -1 && PyErr_Occurred()) return nullptr;
    }

    std::vector<ProcessEntry> rows;
    std::exception_ptr error;
    if (!without_gil([&] { rows = e->collect_processes(sort_key, query, group != 0, keep); }, error))
        return raise_from(error);
    return record_list(rows, process_record);
}

PyObject* engine_trigger(PyObject* self, PyObject*) {
    core::Engine* e = engine_of(self);
    if (!e) return nullptr;
    try {
        e->trigger_folder_scan_async();
    } catch (...) {
        return raise_from(std::current_exception());
    }
    Py_RETURN_NONE;
}

// The records of the last finished scan; the same objects until the next one.
PyObject* folder_records(PyObject* self) {
    core::Engine* e = engine_of(self);
    if (!e) return nullptr;
    auto* o = reinterpret_cast<EngineObject*>(self);
    std::vector<FolderUsageInfo> list;
    const std::size_t generation = e->get_folder_usages(list);
    if (!o->folder_records || generation != o->folder_generation) {
        PyObject* records = record_list(list, folder_record);
        if (!records) return nullptr;
        Py_XSETREF(o->folder_records, records);
        o->folder_generation = generation;
    }
    return o->folder_records;
}

PyObject* engine_folder_usages(PyObject* self, PyObject*) {
    PyObject* records = folder_records(self);
    if (!records) return nullptr;
    return PyList_GetSlice(records, 0, PyList_GET_SIZE(records));
}

PyObject* engine_format_uptime(PyObject* self, PyObject*) {
    core::Engine* e = engine_of(self);
    if (!e) return nullptr;
    std::string out;
    std::exception_ptr error;
    if (!without_gil([&] { out = e->format_uptime(); }, error)) return raise_from(error);
    return text(out);
}

PyObject* engine_primary_disk(PyObject* self, PyObject*) {
    core::Engine* e = engine_of(self);
    if (!e) return nullptr;
    core::PrimaryDisk disk;
    std::exception_ptr error;
    if (!without_gil([&] { disk = e->resolve_primary_disk(); }, error)) return raise_from(error);
    Ref usage(build(G.disk_usage, {PyLong_FromUnsignedLongLong(disk.usage.total),
                                   PyLong_FromUnsignedLongLong(disk.usage.used),
                                   PyLong_FromUnsignedLongLong(disk.usage.free),
                                   PyFloat_FromDouble(disk.usage.percent)}));
    if (!usage) return nullptr;
    Ref mount(text(disk.mount));
    if (!mount) return nullptr;
    Ref device(text(disk.device));
    if (!device) return nullptr;
    return PyTuple_Pack(3, mount.get(), device.get(), usage.get());
}

PyObject* engine_get_partitions(PyObject* self, PyObject*) {
    core::Engine* e = engine_of(self);
    if (!e) return nullptr;
    std::vector<DiskPartitionInfo> parts;
    std::exception_ptr error;
    if (!without_gil([&] { parts = e->get_partitions(); }, error)) return raise_from(error);
    return record_list(parts, partition_record);
}

// UTF-8 of a text, undecodable bytes kept as escapes; none after an error.
std::optional<std::string> utf8(PyObject* text) {
    Ref b(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
    if (!b) return std::nullopt;
    return std::string(PyBytes_AS_STRING(b.get()), PyBytes_GET_SIZE(b.get()));
}

// What the process id argument of terminate_process comes to, as the system
// library's Process(pid) takes it.
struct PidArgument {
    bool call_engine = false;  // false: `message` is the whole answer
    long long pid = 0;         // saturated at the ends of the range
    std::string text;          // the id as the caller wrote it
    Ref message;
};

// False with an exception set when the runtime fails or an exit request
// passes.
bool read_pid_argument(PyObject* obj, PidArgument& out) {
    // None is the calling process.
    if (obj == Py_None) {
        out.call_engine = true;
        out.pid = getpid();
        out.text = "None";
        return true;
    }
    Ref zero(PyLong_FromLong(0));
    Ref blank(PyUnicode_FromString(""));
    if (!zero || !blank) return false;
    Ref shown(PyObject_Format(obj, blank.get()));  // as a message writes it
    if (!shown) return false;

    // The library compares the value with 0 first; a value that cannot be
    // compared ends in that error's own text.
    const int negative = PyObject_RichCompareBool(obj, zero.get(), Py_LT);
    if (negative < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        Ref error(PyErr_GetRaisedException());
        out.message.reset(PyUnicode_FromFormat("Hata: %S", error.get()));
        return bool(out.message);
    }

    // An integer, or a value whose text is the decimal of its integer value,
    // is a process id. True and 5.0 are not: their texts name no process.
    Ref index;
    if (PyLong_CheckExact(obj)) {
        index = Ref::borrow(obj);
    } else if (PyIndex_Check(obj)) {
        Ref candidate(PyNumber_Index(obj));
        Ref decimal(candidate ? PyObject_Str(candidate.get()) : nullptr);
        if (decimal && PyUnicode_Compare(decimal.get(), shown.get()) == 0) index = std::move(candidate);
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
        }
    }
    const auto text = utf8(shown.get());
    if (!text) return false;
    out.text = *text;
    if (index) {
        int overflow = 0;
        out.pid = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (out.pid == -1 && PyErr_Occurred()) return false;
        if (overflow) out.pid = overflow < 0 ? LLONG_MIN : LLONG_MAX;
        out.call_engine = true;
        return true;
    }
    if (negative) {
        out.message.reset(PyUnicode_FromFormat("Hata: pid must be a positive integer (got %S)", obj));
        return bool(out.message);
    }
    // No process answers to it: it goes in as an id beyond the range.
    out.call_engine = true;
    out.pid = LLONG_MAX;
    return true;
}

PyObject* engine_terminate(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* pid_obj;
    PyObject* force_obj = Py_False;
    PyObject* expected = Py_None;
    static const char* kwlist[] = {"pid", "force", "expected_name", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:terminate_process", const_cast<char**>(kwlist), &pid_obj,
                                     &force_obj, &expected))
        return nullptr;
    const int force = PyObject_IsTrue(force_obj);
    if (force < 0) return nullptr;
    std::optional<std::string> expected_name;
    if (expected != Py_None) {
        if (!PyUnicode_Check(expected)) {
            PyErr_SetString(PyExc_TypeError, "expected_name must be a text or None");
            return nullptr;
        }
        expected_name = utf8(expected);
        if (!expected_name) {
            // a name no process can carry
            PyErr_Clear();
            expected_name = std::string("\xff\xfe\xfd<invalid>", 12);
        }
    }
    PidArgument pid;
    if (!read_pid_argument(pid_obj, pid)) return nullptr;
    if (!pid.call_engine) return PyTuple_Pack(2, Py_False, pid.message.get());
    core::TerminateResult result;
    std::exception_ptr error;
    auto platform = system_platform();
    if (!without_gil(
            [&] {
                result = core::Engine::terminate_process(*platform, pid.pid, force != 0, expected_name, pid.text);
            },
            error)) {
        result.ok = false;
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& ex) {
            result.message = std::string("Hata: ") + ex.what();
        } catch (...) {
            result.message = "Hata: unknown failure";
        }
    }
    Ref message(text(result.message));
    if (!message) return nullptr;
    return Py_BuildValue("(OO)", result.ok ? Py_True : Py_False, message.get());
}

PyObject* engine_swap_and_io(PyObject*, PyObject* args, PyObject* kwargs) {
    long long pid = 0;
    static const char* kwlist[] = {"pid", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L:_read_proc_swap_and_io", const_cast<char**>(kwlist), &pid))
        return nullptr;
    core::SwapAndIo r;
    std::exception_ptr error;
    auto platform = system_platform();
    without_gil([&] { r = core::Engine::read_proc_swap_and_io(*platform, pid); }, error);
    return Py_BuildValue("(dL)", r.swap_mb, r.total_io_bytes);
}

PyObject* get_cpu_logical(PyObject* self, void*) {
    core::Engine* e = engine_of(self);
    return e ? PyLong_FromLong(e->cpu_count_logical()) : nullptr;
}
PyObject* get_cpu_physical(PyObject* self, void*) {
    core::Engine* e = engine_of(self);
    return e ? PyLong_FromLong(e->cpu_count_physical()) : nullptr;
}
PyObject* get_folder_list(PyObject* self, void*) {
    PyObject* records = folder_records(self);
    return records ? Py_NewRef(records) : nullptr;
}
PyObject* get_last_scan(PyObject* self, void*) {
    core::Engine* e = engine_of(self);
    return e ? PyFloat_FromDouble(e->last_folder_scan()) : nullptr;
}

PyMethodDef engine_methods[] = {
    {"get_system_snapshot", engine_snapshot, METH_NOARGS, "One full measurement of the machine."},
    {"collect_processes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_collect)),
     METH_VARARGS | METH_KEYWORDS,
     "collect_processes(sort_by='workload', search_query='', group_by_app=False, limit=80)"},
    {"trigger_folder_scan_async", engine_trigger, METH_NOARGS,
     "Starts a folder scan unless one started less than 45 seconds ago."},
    {"get_folder_usages", engine_folder_usages, METH_NOARGS, "The folders of the last finished scan."},
    {"_format_uptime", engine_format_uptime, METH_NOARGS, nullptr},
    {"_resolve_primary_disk", engine_primary_disk, METH_NOARGS,
     "_resolve_primary_disk() -> (mount point, device, usage)"},
    {"_get_partitions", engine_get_partitions, METH_NOARGS, nullptr},
    {"terminate_process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_terminate)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "terminate_process(pid, force=False, *, expected_name=None) -> (ok, message)"},
    {"_read_proc_swap_and_io", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_swap_and_io)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_getset[] = {
    {"cpu_count_logical", get_cpu_logical, nullptr, nullptr, nullptr},
    {"cpu_count_physical", get_cpu_physical, nullptr, nullptr, nullptr},
    {"folder_usages", get_folder_list, nullptr, nullptr, nullptr},
    {"_last_folder_scan", get_last_scan, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef engine_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(EngineObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(EngineObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_init, reinterpret_cast<void*>(engine_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engine_clear)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_members, engine_members},
    {Py_tp_doc, const_cast<char*>("The metrics engine: snapshots, the process list, the folder scan.")},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "engine.SystemMonitorEngine",
    sizeof(EngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    engine_slots,
};

// --- set-up -------------------------------------------------------------------------

int add_path(PyObject* module, const char* name, PyObject* value) {
    if (!value) return -1;
    const int rc = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return rc;
}

PyObject* join(PyObject* path, const char* part) {
    Ref p(PyUnicode_FromString(part));
    return p ? PyNumber_TrueDivide(path, p.get()) : nullptr;
}

int engine_body(PyObject* module) {
    G.module = Py_NewRef(module);

    // 1. the runtime facilities
    Ref json(PyImport_ImportModule("json"));
    Ref pathlib(PyImport_ImportModule("pathlib"));
    Ref dataclasses(PyImport_ImportModule("dataclasses"));
    if (!json || !pathlib || !dataclasses) return -1;
    G.json_dumps = PyObject_GetAttrString(json.get(), "dumps");
    G.json_loads = PyObject_GetAttrString(json.get(), "loads");
    G.path_type = PyObject_GetAttrString(pathlib.get(), "Path");
    if (!G.json_dumps || !G.json_loads || !G.path_type) return -1;

    // 2. the paths
    Ref file(PyObject_GetAttrString(module, "__file__"));
    if (!file) return -1;
    Ref file_path(PyObject_CallOneArg(G.path_type, file.get()));
    if (!file_path) return -1;
    Ref resolved(PyObject_CallMethod(file_path.get(), "resolve", nullptr));
    if (!resolved) return -1;
    Ref app_dir(PyObject_GetAttrString(resolved.get(), "parent"));
    if (!app_dir || PyModule_AddObjectRef(module, "APP_DIR", app_dir.get()) < 0) return -1;
    if (add_path(module, "ASSETS_DIR", join(app_dir.get(), "assets")) < 0) return -1;
    Ref home(PyObject_CallMethod(G.path_type, "home", nullptr));
    if (!home) return -1;
    Ref dot_config(join(home.get(), ".config"));
    if (!dot_config) return -1;
    Ref config_dir(join(dot_config.get(), "vyr-linux-monitor"));
    if (!config_dir || PyModule_AddObjectRef(module, "CONFIG_DIR", config_dir.get()) < 0) return -1;
    if (add_path(module, "SETTINGS_FILE", join(config_dir.get(), "settings.json")) < 0) return -1;

    // 3. the records, 4. the settings store, 5. the engine
    if (define_records(module, dataclasses.get()) < 0 || define_disk_usage() < 0) return -1;
    if (define_settings_manager(module) < 0) return -1;
    PyObject* type = PyType_FromSpec(&engine_spec);
    if (!type) return -1;
    const int rc = PyModule_AddObjectRef(module, "SystemMonitorEngine", type);
    Py_DECREF(type);
    return rc;
}

}  // namespace

VYR_MULTI_PHASE_MODULE(engine, engine_body, nullptr)
