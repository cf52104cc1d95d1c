// app: the desktop monitor as an extension module. Loading it prepares the
// environment for Qt and binds the names the application uses; main() runs
// the whole program.
#include <Python.h>

#include <unistd.h>

#include "app_main.hpp"
#include "metric_table.hpp"
#include "py_backend.hpp"
#include "py_support.hpp"
#include "vyr/module_init.hpp"
#include "vyr/shell/display_probe.hpp"
#include "vyr/shell/fallback_lock.hpp"

namespace {

namespace py = vyr::py;
using vyr::apppy::kTrace;
using vyr::apppy::PyRef;

// The module object (borrowed; it lives for the rest of the process).
PyObject* g_module = nullptr;

// Whether the display probe found neither an X display nor a Wayland compositor.
bool g_no_display = false;

void add(PyObject* module, const char* name, const PyRef& value) {
    py::check(PyModule_AddObjectRef(module, name, value.get()));
}

// ---- _configure_display_platform --------------------------------------------

// Runs `call`; an ordinary error of the runtime leaves it as the display
// probe's EnvironmentError.
template <typename Call>
auto ordinary_as_environment_error(Call&& call) {
    try {
        return call();
    } catch (const py::Error& e) {
        if (!e.ordinary()) throw;
        throw vyr::shell::EnvironmentError(e.what());
    }
}

// os.environ for the display probe: an ordinary error of the runtime stops
// the probe; an interrupt or an exit request passes through it and ends the
// load.
class ProbeEnvironment final : public vyr::shell::Environment {
public:
    bool contains(const std::string& name) override {
        return ordinary_as_environment_error([&] { return env_.contains(name); });
    }
    std::optional<std::string> get(const std::string& name) override {
        return ordinary_as_environment_error([&] { return env_.get(name); });
    }
    void set(const std::string& name, const std::string& value) override {
        ordinary_as_environment_error([&] { env_.set(name, value); });
    }

private:
    vyr::apppy::PyEnvironment env_;
};

PyObject* configure_display_platform(PyObject*, PyObject*) {
    return py::entry([] {
#ifdef _WIN32
        const bool windows = true;
#else
        const bool windows = false;
#endif
        ProbeEnvironment env;
        vyr::shell::DisplayOpener* opener = vyr::shell::system_display_opener();
        if (opener) g_no_display = vyr::shell::configure_display_platform(env, *opener, windows) ==
                                   vyr::shell::DisplayProbe::NoDisplay;
        return PyRef::borrow(Py_None);
    });
}

// Without any display Qt's default platform aborts the process with advice of
// its own, leaving no trace in the start-up log. Unless a platform has been
// chosen since the probe, main() refuses to start instead, with an error that
// names what was looked for; the bootstrap writes it to standard error and to
// the start-up log and the launcher ends with its failure code.
void refuse_start_without_display() {
    if (!g_no_display) return;
    vyr::apppy::PyEnvironment env;
    if (env.contains("QT_QPA_PLATFORM")) return;
    const std::string message = vyr::shell::no_display_message(env.get("DISPLAY"), env.get("WAYLAND_DISPLAY"));
    py::raise(PyExc_RuntimeError, message.c_str());
}

// ---- _ensure_single_instance ----------------------------------------------------

// The desktop helper's per-user channel, inside the runtime's catch-all
// guard: true when the helper took the check over (it ends this process
// itself when another copy runs).
bool helper_checked_the_instance() {
    return py::contain(kTrace, "desktop helper single-instance check", [] {
        PyRef guard = py::checked(PyImport_ImportModule("vyr_desk_guard"));
        py::checked(PyObject_CallMethod(guard.get(), "ensure_vyr_single_instance", "sO", "MONITOR", Py_None));
    });
}

// The folder of the fallback lock: the user's own folder where the platform
// has one, else the runtime's temporary folder.
PyRef fallback_lock_dir() {
    if (const std::optional<std::string> folder = vyr::shell::fallback_lock_folder()) {
        if (folder->empty()) py::raise(PyExc_PermissionError, "the user's own temporary folder cannot be used");
        return py::checked(
            PyUnicode_DecodeFSDefaultAndSize(folder->data(), static_cast<Py_ssize_t>(folder->size())));
    }
    PyRef tempfile = py::checked(PyImport_ImportModule("tempfile"));
    return py::checked(PyObject_CallMethod(tempfile.get(), "gettempdir", nullptr));
}

// The fallback lock's path, as a str and as the system's bytes; false when
// there is no usable folder for it.
bool fallback_lock_path(PyRef& path, std::string& path_bytes) {
    return py::contain(kTrace, "fallback lock path", [&] {
        PyRef dir = fallback_lock_dir();
        PyRef ospath = py::checked(PyImport_ImportModule("os.path"));
        path = py::checked(
            PyObject_CallMethod(ospath.get(), "join", "Os", dir.get(), vyr::shell::kFallbackLockName));
        PyRef encoded = py::checked(PyUnicode_EncodeFSDefault(path.get()));
        path_bytes.assign(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    });
}

// The open lock file as an owning file object, named after its path as
// open() would name it.
PyRef lock_file_object(int fd, PyObject* path) {
    PyObject* file = PyFile_FromFd(fd, nullptr, "w", -1, nullptr, nullptr, nullptr, 1);
    if (!file) {
        ::close(fd);
        throw py::Error();
    }
    PyRef owned(file);
    py::contain(kTrace, "fallback lock file name", [&] {
        PyRef buffer = py::checked(PyObject_GetAttrString(file, "buffer"));
        PyRef raw = py::checked(PyObject_GetAttrString(buffer.get(), "raw"));
        py::check(PyObject_SetAttrString(raw.get(), "name", path));
    });
    return owned;
}

PyObject* ensure_single_instance(PyObject*, PyObject*) {
    return py::entry([]() -> PyRef {
        if (helper_checked_the_instance()) return PyRef::borrow(Py_None);

        // Without the helper, a lock file of our own where POSIX file locking exists.
        PyRef fcntl_mod = py::checked(PyObject_GetAttrString(g_module, "fcntl"));
        if (fcntl_mod.get() == Py_None || !vyr::shell::fallback_locking_supported()) return PyRef::borrow(Py_None);

        PyRef path;
        std::string path_bytes;
        // No usable temporary folder: run on without the lock.
        if (!fallback_lock_path(path, path_bytes)) return PyRef::borrow(Py_None);

        vyr::shell::LockAttempt attempt;
        {
            vyr::apppy::GilRelease nogil;
            attempt = vyr::shell::try_fallback_lock(path_bytes);
        }
        switch (attempt.outcome) {
            case vyr::shell::LockAttempt::Outcome::HeldElsewhere:
                // Another copy runs: this one ends at once and silently.
                ::_exit(0);
            case vyr::shell::LockAttempt::Outcome::Unavailable:
                return PyRef::borrow(Py_None);
            case vyr::shell::LockAttempt::Outcome::Acquired:
                break;
        }
        return lock_file_object(attempt.fd, path.get());
    });
}

// ---- level_color ---------------------------------------------------------------------

PyObject* level_color(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"percent", "default_hex", nullptr};
    PyObject* percent = nullptr;
    PyObject* default_hex = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:level_color", const_cast<char**>(kwlist), &percent,
                                     &default_hex))
        return nullptr;
    return py::entry([&] {
        // Compared as the runtime compares numbers; anything else falls through.
        struct Level {
            long threshold;
            const char* color;
        } levels[] = {{88, "#DC2626"}, {75, "#D97706"}};
        for (const Level& level : levels) {
            PyRef t = py::checked(PyLong_FromLong(level.threshold));
            if (py::check(PyObject_RichCompareBool(percent, t.get(), Py_GE)))
                return py::checked(PyUnicode_FromString(level.color));
        }
        return PyRef::borrow(default_hex);
    });
}

// ---- main ------------------------------------------------------------------------------

PyObject* main_entry(PyObject*, PyObject*) {
    if (py::entry_status(refuse_start_without_display) != 0) return nullptr;
    return vyr::apppy::run_main(g_module);
}

PyMethodDef kConfigureDef = {"_configure_display_platform", configure_display_platform, METH_NOARGS,
                             "Points Qt at an X display that really opens, unless a platform "
                             "is chosen already."};
PyMethodDef kEnsureDef = {"_ensure_single_instance", ensure_single_instance, METH_NOARGS,
                          "Keeps a second copy out; returns the open lock file or None."};
PyMethodDef kLevelColorDef = {"level_color",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(level_color)),
                              METH_VARARGS | METH_KEYWORDS,
                              "The colour of a load level: red from 88, amber from 75, else "
                              "default_hex."};
PyMethodDef kMainDef = {"main", main_entry, METH_NOARGS,
                        "Runs the monitor; ends with SystemExit carrying the event loop's result."};

PyRef function(PyMethodDef* def, PyObject* module) {
    PyRef name = py::checked(PyModule_GetNameObject(module));
    return py::checked(PyCFunction_NewEx(def, module, name.get()));
}

void set_env_default(PyObject* environ, const char* name) {
    PyRef key = py::checked(PyUnicode_FromString(name));
    if (py::check(PySequence_Contains(environ, key.get()))) return;
    PyRef one = py::checked(PyUnicode_FromString("1"));
    py::check(PyObject_SetItem(environ, key.get(), one.get()));
}

// POSIX file locking where the system has it, else None; then the standard
// library names the module uses.
void import_standard_names(PyObject* module) {
    PyRef fcntl_mod;
    try {
        fcntl_mod = py::checked(PyImport_ImportModule("fcntl"));
    } catch (const py::Error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        fcntl_mod = PyRef::borrow(Py_None);
    }
    add(module, "fcntl", fcntl_mod);
    for (const char* name : {"os", "signal", "subprocess", "sys", "time"})
        add(module, name, py::checked(PyImport_ImportModule(name)));
    PyRef typing = py::checked(PyImport_ImportModule("typing"));
    for (const char* name : {"Dict", "List", "Optional"})
        add(module, name, py::checked(PyObject_GetAttrString(typing.get(), name)));
}

// The engine's names; importing it loads the engine module. A name it lacks
// fails the load as a from-import would.
void import_engine_names(PyObject* module) {
    PyRef engine = py::checked(PyImport_ImportModule("engine"));
    for (const char* name :
         {"ASSETS_DIR", "ProcessEntry", "SettingsManager", "SystemMetricsSnapshot", "SystemMonitorEngine"}) {
        PyRef value;
        try {
            value = py::checked(PyObject_GetAttrString(engine.get(), name));
        } catch (const py::Error& e) {
            if (!e.matches(PyExc_AttributeError)) throw;
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'engine'", name);
            throw py::Error();
        }
        add(module, name, value);
    }
}

int app_body(PyObject* module) {
    return py::entry_status([&] {
        g_module = module;
        py::check(PyModule_AddStringConstant(module, "__doc__",
                                             "The Vyr Ruvivu Zizodiro desktop monitor: capsule, "
                                             "summary popup, tray icon and process inspector."));
        import_standard_names(module);

        // Qt's scaling defaults, only where the user has not set them.
        {
            PyRef os = py::checked(PyImport_ImportModule("os"));
            PyRef environ = py::checked(PyObject_GetAttrString(os.get(), "environ"));
            set_env_default(environ.get(), "QT_AUTO_SCREEN_SCALE_FACTOR");
            set_env_default(environ.get(), "QT_ENABLE_HIGHDPI_SCALING");
        }

        // The display probe runs before anything of Qt is loaded: Qt reads
        // the platform once, when its first class is used.
        {
            PyRef probe = function(&kConfigureDef, module);
            add(module, "_configure_display_platform", probe);
            py::checked(PyObject_CallNoArgs(probe.get()));
        }

        import_engine_names(module);
        add(module, "METRIC_META", vyr::apppy::make_metric_table());
        add(module, "level_color", function(&kLevelColorDef, module));
        add(module, "_ensure_single_instance", function(&kEnsureDef, module));
        add(module, "main", function(&kMainDef, module));
    });
}

}  // namespace

VYR_MULTI_PHASE_MODULE(app, app_body, nullptr)
