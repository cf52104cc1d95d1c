// app: the desktop monitor as an extension module. Loading it prepares the
// environment for Qt and binds the names the application uses; main() runs
// the whole program.
#include <Python.h>

#include <unistd.h>

#include "py_backend.hpp"
#include "py_support.hpp"
#include "vyr/module_init.hpp"
#include "vyr/shell/display_probe.hpp"
#include "vyr/shell/fallback_lock.hpp"
#include "app_main.hpp"
#include "metric_table.hpp"

namespace {

using vyr::apppy::checked;
using vyr::apppy::check_rc;
using vyr::apppy::PyError;
using vyr::apppy::PyRef;

// The module object (borrowed; it lives for the rest of the process).
PyObject* g_module = nullptr;

int add(PyObject* module, const char* name, PyRef value) {
    if (!value) return -1;
    return PyModule_AddObjectRef(module, name, value.get());
}

// ---- _configure_display_platform --------------------------------------------

PyObject* configure_display_platform(PyObject*, PyObject*) {
#ifdef _WIN32
    const bool windows = true;
#else
    const bool windows = false;
#endif
    vyr::apppy::PyEnvironment env;
    vyr::shell::DisplayOpener* opener = vyr::shell::system_display_opener();
    if (opener) vyr::shell::configure_display_platform(env, *opener, windows);
    if (PyErr_Occurred()) {
        // Only an interrupt or an exit request can be left here; it ends the load.
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
        } else {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// ---- _ensure_single_instance ----------------------------------------------------

// Lets an exit request or an interrupt pass; drops ordinary errors.
bool drop_ordinary_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

PyObject* ensure_single_instance(PyObject*, PyObject*) {
    // 1. The desktop helper's per-user channel.
    {
        PyObject* guard = PyImport_ImportModule("vyr_desk_guard");
        PyObject* result = nullptr;
        if (guard) {
            result = PyObject_CallMethod(guard, "ensure_vyr_single_instance", "sO", "MONITOR", Py_None);
            Py_DECREF(guard);
        }
        if (result) {
            Py_DECREF(result);
            Py_RETURN_NONE;
        }
        if (!drop_ordinary_error()) return nullptr;
    }

    // 2. The lock file of our own, where POSIX file locking exists.
    PyObject* fcntl_mod = PyObject_GetAttrString(g_module, "fcntl");
    if (!fcntl_mod) return nullptr;
    const bool no_locking = fcntl_mod == Py_None || !vyr::shell::fallback_locking_supported();
    Py_DECREF(fcntl_mod);
    if (no_locking) Py_RETURN_NONE;

    std::string path_bytes;
    PyRef path;
    try {
        PyRef tempfile = checked(PyImport_ImportModule("tempfile"));
        PyRef dir = checked(PyObject_CallMethod(tempfile.get(), "gettempdir", nullptr));
        PyRef ospath = checked(PyImport_ImportModule("os.path"));
        path = checked(PyObject_CallMethod(ospath.get(), "join", "Os", dir.get(),
                                           vyr::shell::kFallbackLockName));
        PyRef encoded = checked(PyUnicode_EncodeFSDefault(path.get()));
        path_bytes.assign(PyBytes_AS_STRING(encoded.get()),
                          static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    } catch (PyError& e) {
        e.restore();
        // No usable temporary folder: run on without the lock.
        if (!drop_ordinary_error()) return nullptr;
        Py_RETURN_NONE;
    }

    vyr::shell::LockAttempt attempt;
    Py_BEGIN_ALLOW_THREADS
    attempt = vyr::shell::try_fallback_lock(path_bytes);
    Py_END_ALLOW_THREADS

    switch (attempt.outcome) {
        case vyr::shell::LockAttempt::Outcome::HeldElsewhere:
            // Another copy runs: end at once and silently.
            ::_exit(0);
        case vyr::shell::LockAttempt::Outcome::Unavailable:
            Py_RETURN_NONE;
        case vyr::shell::LockAttempt::Outcome::Acquired:
            break;
    }
    // The open file is the lock: hand it out as an owning file object.
    PyObject* file = PyFile_FromFd(attempt.fd, nullptr, "w", -1, nullptr, nullptr, nullptr, 1);
    if (!file) {
        ::close(attempt.fd);
        return nullptr;
    }
    // Name it after its path, as open() would.
    PyObject* raw = PyObject_GetAttrString(file, "buffer");
    if (raw) {
        PyObject* inner = PyObject_GetAttrString(raw, "raw");
        if (inner) {
            if (PyObject_SetAttrString(inner, "name", path.get()) < 0) PyErr_Clear();
            Py_DECREF(inner);
        } else {
            PyErr_Clear();
        }
        Py_DECREF(raw);
    } else {
        PyErr_Clear();
    }
    return file;
}

// ---- level_color ---------------------------------------------------------------------

PyObject* level_color(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"percent", "default_hex", nullptr};
    PyObject* percent = nullptr;
    PyObject* default_hex = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:level_color", const_cast<char**>(kwlist),
                                     &percent, &default_hex))
        return nullptr;
    // Compared as the runtime compares numbers; anything else falls through.
    struct Level {
        long threshold;
        const char* color;
    } levels[] = {{88, "#DC2626"}, {75, "#D97706"}};
    for (const Level& level : levels) {
        PyRef t = checked(PyLong_FromLong(level.threshold));
        const int ge = PyObject_RichCompareBool(percent, t.get(), Py_GE);
        if (ge < 0) return nullptr;
        if (ge) return PyUnicode_FromString(level.color);
    }
    return Py_NewRef(default_hex);
}

// ---- main ------------------------------------------------------------------------------

PyObject* main_entry(PyObject*, PyObject*) { return vyr::apppy::run_main(g_module); }

PyMethodDef kConfigureDef = {"_configure_display_platform", configure_display_platform,
                             METH_NOARGS,
                             "Points Qt at an X display that really opens, unless a platform "
                             "is chosen already."};
PyMethodDef kEnsureDef = {"_ensure_single_instance", ensure_single_instance, METH_NOARGS,
                          "Keeps a second copy out; returns the open lock file or None."};
PyMethodDef kLevelColorDef = {"level_color", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(level_color)),
                              METH_VARARGS | METH_KEYWORDS,
                              "The colour of a load level: red from 88, amber from 75, else "
                              "default_hex."};
PyMethodDef kMainDef = {"main", main_entry, METH_NOARGS,
                        "Runs the monitor; ends with SystemExit carrying the event loop's result."};

PyRef function(PyMethodDef* def, PyObject* module) {
    PyObject* name = PyModule_GetNameObject(module);
    if (!name) return PyRef();
    PyRef f(PyCFunction_NewEx(def, module, name));
    Py_DECREF(name);
    return f;
}

int set_env_default(PyObject* environ, const char* name) {
    PyRef key = checked(PyUnicode_FromString(name));
    const int has = PySequence_Contains(environ, key.get());
    if (has < 0) return -1;
    if (has) return 0;
    PyRef one = checked(PyUnicode_FromString("1"));
    return PyObject_SetItem(environ, key.get(), one.get());
}

int import_into(PyObject* module, const char* modname, const char* as) {
    return add(module, as, PyRef(PyImport_ImportModule(modname)));
}

int app_body(PyObject* module) {
    try {
        g_module = module;
        check_rc(PyModule_AddStringConstant(module, "__doc__",
                                            "The Vyr Ruvivu Zizodiro desktop monitor: capsule, "
                                            "summary popup, tray icon and process inspector."));

        // 1. POSIX file locking, where the system has it.
        PyObject* fcntl_mod = PyImport_ImportModule("fcntl");
        if (!fcntl_mod) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
            PyErr_Clear();
            fcntl_mod = Py_NewRef(Py_None);
        }
        check_rc(add(module, "fcntl", PyRef(fcntl_mod)));

        // 2. The standard library names the module uses.
        for (const char* name : {"os", "signal", "subprocess", "sys", "time"})
            check_rc(import_into(module, name, name));
        {
            PyRef typing = checked(PyImport_ImportModule("typing"));
            for (const char* name : {"Dict", "List", "Optional"})
                check_rc(add(module, name, PyRef(PyObject_GetAttrString(typing.get(), name))));
        }

        // 3, 4. Qt's scaling defaults, only where unset.
        {
            PyRef os = checked(PyImport_ImportModule("os"));
            PyRef environ = checked(PyObject_GetAttrString(os.get(), "environ"));
            check_rc(set_env_default(environ.get(), "QT_AUTO_SCREEN_SCALE_FACTOR"));
            check_rc(set_env_default(environ.get(), "QT_ENABLE_HIGHDPI_SCALING"));
        }

        // 5. The display probe, before anything of Qt is used.
        {
            PyRef probe = function(&kConfigureDef, module);
            check_rc(add(module, "_configure_display_platform", probe));
            PyRef r = checked(PyObject_CallNoArgs(probe.get()));
        }

        // 7. The engine's names (importing it loads the engine module).
        {
            PyRef engine = checked(PyImport_ImportModule("engine"));
            for (const char* name : {"ASSETS_DIR", "ProcessEntry", "SettingsManager",
                                     "SystemMetricsSnapshot", "SystemMonitorEngine"}) {
                PyObject* value = PyObject_GetAttrString(engine.get(), name);
                if (!value) {
                    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
                    PyErr_Clear();
                    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'engine'", name);
                    return -1;
                }
                check_rc(add(module, name, PyRef(value)));
            }
        }

        // 8. The metric table, 9. the level colours.
        check_rc(add(module, "METRIC_META", vyr::apppy::make_metric_table()));
        check_rc(add(module, "level_color", function(&kLevelColorDef, module)));

        // 11. Start-up.
        check_rc(add(module, "_ensure_single_instance", function(&kEnsureDef, module)));
        check_rc(add(module, "main", function(&kMainDef, module)));
        return 0;
    } catch (PyError& e) {
        e.restore();
        return -1;
    }
}

}  // namespace

VYR_MULTI_PHASE_MODULE(app, app_body, nullptr)
