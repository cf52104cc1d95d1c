// SettingsManager as the runtime sees it: a class whose methods are
// functions of this file, its DEFAULT_SETTINGS made from the shared defaults
// table, its file read and written through the engine core's file steps.
#define PY_SSIZE_T_CLEAN
#include "settings_manager.hpp"

#include <cerrno>
#include <string>
#include <variant>

#include "vyr/engine/settings_file.hpp"
#include "vyr/py_error.hpp"
#include "vyr/py_ref.hpp"
#include "vyr/settings_defaults.hpp"
#include "vyr/trace.hpp"

namespace vyr::engine_binding {

namespace {

namespace core = vyr::engine;
namespace py = vyr::py;
using Ref = py::Ref;

constexpr const char* kTrace = "vyr.engine";

// Objects kept for the life of the process, as the module that holds them:
// it is set up once per process and never unloaded.
struct Runtime {
    PyObject* module = nullptr;
    PyObject* json_dumps = nullptr;
    PyObject* json_loads = nullptr;
    PyObject* path_type = nullptr;
} G;

// A function that takes keywords, as the method table holds it.
#define VYR_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

const char kBackupFlag[] = "_keep_unreadable_file";

Ref module_path(const char* name) {
    Ref value = py::checked(PyObject_GetAttrString(G.module, name));
    return py::checked(PyObject_CallOneArg(G.path_type, value.get()));
}

// The file-system bytes of a module path such as SETTINGS_FILE.
std::string module_path_bytes(const char* name) {
    Ref file = module_path(name);
    Ref fs_path = py::checked(PyOS_FSPath(file.get()));
    Ref encoded = PyUnicode_Check(fs_path.get()) ? py::checked(PyUnicode_EncodeFSDefault(fs_path.get())) : fs_path;
    if (!PyBytes_Check(encoded.get())) py::raise(PyExc_TypeError, "a file-system path was expected");
    return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// Parses the one argument `self` of a settings method.
PyObject* settings_self(PyObject* args, PyObject* kwargs, const char* format) {
    PyObject* self = nullptr;
    static const char* kwlist[] = {"self", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &self)) throw py::Error();
    return self;
}

PyObject* settings_init(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        PyObject* self = settings_self(args, kwargs, "O:__init__");
        Ref defaults = py::checked(PyObject_GetAttrString(self, "DEFAULT_SETTINGS"));
        Ref data = py::checked(PyDict_Check(defaults.get())
                                   ? PyDict_Copy(defaults.get())
                                   : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), defaults.get()));
        py::check(PyObject_SetAttrString(self, "data", data.get()));
        py::check(PyObject_SetAttrString(self, kBackupFlag, Py_False));
        py::checked(PyObject_CallMethod(self, "load", nullptr));
        return Ref::borrow(Py_None);
    });
}

// Merges the settings file into `data`: `exists` tells whether there is a
// file, `taken` whether its content was merged (both set as soon as known).
void merge_settings_file(PyObject* data, bool& exists, bool& taken) {
    Ref path = module_path("SETTINGS_FILE");
    Ref there = py::checked(PyObject_CallMethod(path.get(), "exists", nullptr));
    if (!py::check(PyObject_IsTrue(there.get()))) return;
    exists = true;
    // Read only as a regular file, never waiting on a FIFO or a device.
    const std::string target = module_path_bytes("SETTINGS_FILE");
    std::string bytes;
    int err;
    {
        py::GilRelease nogil;
        err = core::files::read_regular_file(target, bytes);
    }
    if (err != 0) {
        errno = err;
        PyErr_SetFromErrno(PyExc_OSError);
        throw py::Error();
    }
    Ref content = py::checked(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
    Ref raw = py::checked(PyObject_CallOneArg(G.json_loads, content.get()));
    if (PyDict_Check(raw.get())) {
        py::checked(PyObject_CallMethod(data, "update", "O", raw.get()));
        taken = true;
    }
}

PyObject* settings_load(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        PyObject* self = settings_self(args, kwargs, "O:load");
        Ref data = py::checked(PyObject_GetAttrString(self, "data"));
        bool exists = false;
        bool taken = false;
        // A file that cannot be read or parsed leaves the defaults in place.
        py::contain(kTrace, "settings file read", [&] { merge_settings_file(data.get(), exists, taken); });
        if (exists && !taken) {
            // The file holds something the store cannot use: keep it aside
            // before the first write replaces it.
            py::check(PyObject_SetAttrString(self, kBackupFlag, Py_True));
        }
        return data;
    });
}

// The settings as the file's text: json with an indent of 2, non-ASCII
// characters as themselves (and Windows line ends on Windows), in UTF-8.
std::string settings_payload(PyObject* self) {
    Ref data = py::checked(PyObject_GetAttrString(self, "data"));
    Ref dump_args = py::checked(PyTuple_Pack(1, data.get()));
    Ref dump_kw = py::checked(Py_BuildValue("{sisO}", "indent", 2, "ensure_ascii", Py_False));
    Ref text_obj = py::checked(PyObject_Call(G.json_dumps, dump_args.get(), dump_kw.get()));
#ifdef _WIN32
    text_obj = py::checked(PyObject_CallMethod(text_obj.get(), "replace", "ss", "\n", "\r\n"));
#endif
    Ref payload = py::checked(PyUnicode_AsUTF8String(text_obj.get()));
    return std::string(PyBytes_AS_STRING(payload.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(payload.get())));
}

// Whether an unreadable file waits to be kept aside before the next write.
bool backup_pending(PyObject* self) {
    bool pending = false;
    py::contain(kTrace, "settings backup flag", [&] {
        Ref flag = py::checked(PyObject_GetAttrString(self, kBackupFlag));
        pending = py::check(PyObject_IsTrue(flag.get())) == 1;
    });
    return pending;
}

void write_settings_file(PyObject* self) {
    Ref dir = module_path("CONFIG_DIR");
    Ref kw = py::checked(Py_BuildValue("{sOsO}", "parents", Py_True, "exist_ok", Py_True));
    Ref mkdir = py::checked(PyObject_GetAttrString(dir.get(), "mkdir"));
    Ref empty = py::checked(PyTuple_New(0));
    py::checked(PyObject_Call(mkdir.get(), empty.get(), kw.get()));

    const std::string bytes = settings_payload(self);
    const std::string target = module_path_bytes("SETTINGS_FILE");
    const bool keep = backup_pending(self);
    int kept = 0;
    int written = 0;
    {
        py::GilRelease nogil;
        if (keep) kept = core::files::keep_as_backup(target, target + ".bak");
        // A file that could not be kept aside (a folder that takes no new
        // file, a file too long to copy) is replaced all the same: the
        // settings are not to be lost on every run for the sake of a backup.
        written = core::files::replace_atomically(target, bytes);
    }
    if (kept != 0)
        vyr::trace::report(kTrace, "settings file backup",
                           "no backup kept of the unreadable file: " + vyr::trace::errno_cause(kept));
    if (written != 0) vyr::trace::report(kTrace, "settings file write", vyr::trace::errno_cause(written));
    // The unreadable file is gone once it is kept aside or written over.
    if (keep && (kept == 0 || written == 0)) py::check(PyObject_SetAttrString(self, kBackupFlag, Py_False));
}

PyObject* settings_save(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        PyObject* self = settings_self(args, kwargs, "O:save");
        // The settings are kept in memory when the file cannot be written.
        py::contain(kTrace, "settings file write", [&] { write_settings_file(self); });
        return Ref::borrow(Py_None);
    });
}

PyObject* settings_get(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject *self, *key, *fallback = Py_None;
    static const char* kwlist[] = {"self", "key", "default", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:get", const_cast<char**>(kwlist), &self, &key, &fallback))
        return nullptr;
    return py::entry([&] {
        Ref data = py::checked(PyObject_GetAttrString(self, "data"));
        if (py::check(PySequence_Contains(data.get(), key))) return py::checked(PyObject_GetItem(data.get(), key));
        Ref defaults = py::checked(PyObject_GetAttrString(self, "DEFAULT_SETTINGS"));
        if (py::check(PySequence_Contains(defaults.get(), key)))
            return py::checked(PyObject_GetItem(defaults.get(), key));
        return Ref::borrow(fallback);
    });
}

PyObject* settings_set(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject *self, *key, *value;
    static const char* kwlist[] = {"self", "key", "value", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:set", const_cast<char**>(kwlist), &self, &key, &value))
        return nullptr;
    return py::entry([&] {
        Ref data = py::checked(PyObject_GetAttrString(self, "data"));
        py::check(PyObject_SetItem(data.get(), key, value));
        py::checked(PyObject_CallMethod(self, "save", nullptr));
        return Ref::borrow(Py_None);
    });
}

PyMethodDef settings_methods[] = {
    {"__init__", VYR_METHOD(settings_init), METH_VARARGS | METH_KEYWORDS,
     "Starts from the defaults and takes over the settings file."},
    {"load", VYR_METHOD(settings_load), METH_VARARGS | METH_KEYWORDS,
     "Merges the settings file into data and returns data."},
    {"save", VYR_METHOD(settings_save), METH_VARARGS | METH_KEYWORDS, "Writes data to the settings file."},
    {"get", VYR_METHOD(settings_get), METH_VARARGS | METH_KEYWORDS,
     "The stored value, else the built-in default, else default."},
    {"set", VYR_METHOD(settings_set), METH_VARARGS | METH_KEYWORDS, "Stores the value and writes the settings file."},
};

Ref default_value(const vyr::settings::DefaultValue& value) {
    struct Visitor {
        Ref operator()(std::nullptr_t) const { return Ref::borrow(Py_None); }
        Ref operator()(bool b) const { return Ref::borrow(b ? Py_True : Py_False); }
        Ref operator()(long long i) const { return py::checked(PyLong_FromLongLong(i)); }
        Ref operator()(double d) const { return py::checked(PyFloat_FromDouble(d)); }
        Ref operator()(const char* s) const { return py::checked(PyUnicode_FromString(s)); }
    };
    return std::visit(Visitor{}, value);
}

Ref default_settings() {
    Ref defaults = py::checked(PyDict_New());
    for (const auto& entry : vyr::settings::kDefaults)
        py::check(PyDict_SetItemString(defaults.get(), entry.key, default_value(entry.value).get()));
    return defaults;
}

// SettingsManager: a class of the runtime whose methods are the functions
// above, so that a subclass or a test may replace any of them.
void define_class(PyObject* module) {
    Ref ns = py::checked(PyDict_New());
    Ref modname = py::checked(PyModule_GetNameObject(module));
    py::check(PyDict_SetItemString(ns.get(), "__module__", modname.get()));
    Ref qual = py::checked(PyUnicode_FromString("SettingsManager"));
    Ref doc = py::checked(PyUnicode_FromString("The user's settings: a flat map kept in the settings file."));
    py::check(PyDict_SetItemString(ns.get(), "__qualname__", qual.get()));
    py::check(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
    py::check(PyDict_SetItemString(ns.get(), "DEFAULT_SETTINGS", default_settings().get()));
    for (auto& def : settings_methods) {
        Ref fn = py::checked(PyCFunction_NewEx(&def, module, modname.get()));
        Ref method = py::checked(PyInstanceMethod_New(fn.get()));
        py::check(PyDict_SetItemString(ns.get(), def.ml_name, method.get()));
    }
    Ref cls = py::checked(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "SettingsManager",
                                                reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
    py::check(PyModule_AddObjectRef(module, "SettingsManager", cls.get()));
}

}  // namespace

void define_settings_manager(PyObject* module) {
    Ref json = py::checked(PyImport_ImportModule("json"));
    Ref pathlib = py::checked(PyImport_ImportModule("pathlib"));
    G.json_dumps = py::checked(PyObject_GetAttrString(json.get(), "dumps")).release();
    G.json_loads = py::checked(PyObject_GetAttrString(json.get(), "loads")).release();
    G.path_type = py::checked(PyObject_GetAttrString(pathlib.get(), "Path")).release();
    G.module = Py_NewRef(module);
    define_class(module);
}

}  // namespace vyr::engine_binding
