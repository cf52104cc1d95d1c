// vyr_desk_guard: desktop integration helpers as the embedded runtime sees
// them: the global exception hook and its runtime log, the per-user
// single-instance channel, main-window activation, the UI text cleaner and
// tree sanitiser, the scroll wrapper and the screen-fit guard.
//
// Text rules (case folding, whitespace, regular expressions) are the
// runtime's own: the code calls the `re` module and str methods. Widgets come
// and go as widget handles; None means no window.
//
// A failed call into the runtime throws py::Error; each function that the
// runtime calls turns what was thrown back into a raised exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <QApplication>
#include <QMetaObject>
#include <QPointer>
#include <QScrollArea>
#include <QWidget>

#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vyr/desk_guard/instance_channel.hpp"
#include "vyr/desk_guard/screen_fit.hpp"
#include "vyr/desk_guard/texts.hpp"
#include "vyr/desk_guard/window_helpers.hpp"
#include "vyr/instance_name.hpp"
#include "vyr/module_init.hpp"
#include "vyr/py_error.hpp"
#include "vyr/py_ref.hpp"
#include "vyr/trace.hpp"
#include "vyr/widget_handle.hpp"

namespace {

namespace dg = vyr::desk_guard;
namespace texts = vyr::desk_guard::texts;
namespace wh = vyr::widget_handle;
namespace py = vyr::py;
using Owned = py::Ref;
using py::checked;

constexpr const char* kTrace = "vyr.guard";

// ---- Small helpers ------------------------------------------------------

// The module object of the completed set-up, for slots that run later.
PyObject* g_module = nullptr;

// A name of the module's globals, looked up at the time of use.
Owned module_global(PyObject* module, const char* name) {
    PyObject* dict = PyModule_GetDict(module);
    Owned key = checked(PyUnicode_FromString(name));
    PyObject* value = PyDict_GetItemWithError(dict, key.get());
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::Error();
    }
    return Owned::borrow(value);
}

Owned to_py(const QString& text) {
    const QVector<uint> ucs4 = text.toUcs4();
    return checked(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, ucs4.constData(), ucs4.size()));
}

QString from_py(PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "expected str, not %.100s", Py_TYPE(text)->tp_name);
        throw py::Error();
    }
    Py_UCS4* buf = PyUnicode_AsUCS4Copy(text);
    if (!buf) throw py::Error();
    QString out = QString::fromUcs4(reinterpret_cast<const uint*>(buf), static_cast<int>(PyUnicode_GET_LENGTH(text)));
    PyMem_Free(buf);
    return out;
}

// Hands the raised exception to sys.excepthook, the way errors escaping a
// Qt slot are reported; the slot then returns normally.
void report_to_excepthook() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyObject* hook = PySys_GetObject("excepthook");  // borrowed
    if (hook && hook != Py_None) {
        PyObject* tb = PyException_GetTraceback(exc);
        PyObject* result =
            PyObject_CallFunctionObjArgs(hook, reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb : Py_None, nullptr);
        Py_XDECREF(tb);
        if (!result) PyErr_WriteUnraisable(hook);
        Py_XDECREF(result);
    } else {
        PyErr_SetRaisedException(exc);
        exc = nullptr;
        PyErr_WriteUnraisable(nullptr);
    }
    Py_XDECREF(exc);
}

// `obj` must be a widget handle (or None when `allow_none`).
void check_widget_arg(PyObject* obj, const char* what, bool allow_none) {
    if ((allow_none && obj == Py_None) || wh::is_handle(obj)) return;
    PyErr_Format(PyExc_TypeError, "%s must be a widget handle%s, not %.100s", what, allow_none ? " or None" : "",
                 Py_TYPE(obj)->tp_name);
    throw py::Error();
}

[[noreturn]] void widget_gone() { py::raise(PyExc_RuntimeError, "the widget of this handle has been deleted"); }

// The live widget behind a handle; RuntimeError for a widget that no longer
// exists.
QWidget* live_widget(PyObject* handle) {
    QWidget* widget = nullptr;
    if (!wh::unwrap(handle, &widget)) throw py::Error();
    if (!widget) widget_gone();
    return widget;
}

void require_widget_application() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        py::raise(PyExc_RuntimeError, "a QApplication must exist before widgets are made");
}

// obj.<method>(*args) for str methods and the like.
Owned call_method(PyObject* obj, const char* method, PyObject* a = nullptr, PyObject* b = nullptr) {
    Owned name = checked(PyUnicode_FromString(method));
    if (b) return checked(PyObject_CallMethodObjArgs(obj, name.get(), a, b, nullptr));
    if (a) return checked(PyObject_CallMethodObjArgs(obj, name.get(), a, nullptr));
    return checked(PyObject_CallMethodNoArgs(obj, name.get()));
}

Owned str(const char* utf8) { return checked(PyUnicode_FromString(utf8)); }

bool truth(PyObject* obj) { return py::check(PyObject_IsTrue(obj)) != 0; }

// re.sub(pattern, repl, text) through the module's `re`.
Owned re_sub(PyObject* module, const char* pattern, const char* repl, PyObject* text) {
    Owned sub = checked(PyObject_GetAttrString(module_global(module, "re").get(), "sub"));
    Owned pat = str(pattern);
    Owned rep = str(repl);
    return checked(PyObject_CallFunctionObjArgs(sub.get(), pat.get(), rep.get(), text, nullptr));
}

// os.environ.get(name): None when unset.
Owned environ_get(PyObject* module, const char* name) {
    Owned environ = checked(PyObject_GetAttrString(module_global(module, "os").get(), "environ"));
    return call_method(environ.get(), "get", str(name).get());
}

// os.path.<fn>(*args).
Owned os_path_call(PyObject* module, const char* fn, PyObject* a, PyObject* b = nullptr) {
    Owned path = checked(PyObject_GetAttrString(module_global(module, "os").get(), "path"));
    return call_method(path.get(), fn, a, b);
}

// os.makedirs(folder, exist_ok=True).
void make_folders(PyObject* module, PyObject* folder) {
    Owned makedirs = checked(PyObject_GetAttrString(module_global(module, "os").get(), "makedirs"));
    Owned args = checked(PyTuple_Pack(1, folder));
    Owned kwargs = checked(PyDict_New());
    py::check(PyDict_SetItemString(kwargs.get(), "exist_ok", Py_True));
    checked(PyObject_Call(makedirs.get(), args.get(), kwargs.get()));
}

std::filesystem::path fs_path(PyObject* path) {
#ifdef _WIN32
    wchar_t* wide = PyUnicode_AsWideCharString(path, nullptr);
    if (!wide) throw py::Error();
    std::filesystem::path out(wide);
    PyMem_Free(wide);
    return out;
#else
    Owned bytes = checked(PyUnicode_EncodeFSDefault(path));
    return std::filesystem::path(
        std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))));
#endif
}

Owned make_function(PyObject* module, PyMethodDef* def) {
    Owned modname = checked(PyModule_GetNameObject(module));
    return checked(PyCFunction_NewEx(def, module, modname.get()));
}

void add_object(PyObject* module, const char* name, const Owned& value) {
    py::check(PyModule_AddObjectRef(module, name, value.get()));
}

void add_function(PyObject* module, PyMethodDef* def) { add_object(module, def->ml_name, make_function(module, def)); }

// ---- Stand-ins kept in the single-instance record -----------------------

// The open lock file; the descriptor itself belongs to the C++ side and stays
// open (and locked) until the process ends.
struct LockFileObject {
    PyObject_HEAD
    PyObject* name;
    int fd;
};

PyObject* lockfile_fileno(PyObject* self, PyObject*) {
    return PyLong_FromLong(reinterpret_cast<LockFileObject*>(self)->fd);
}
PyObject* lockfile_closed(PyObject*, void*) { Py_RETURN_FALSE; }
PyObject* lockfile_repr(PyObject* self) {
    return PyUnicode_FromFormat("<vyr_desk_guard lock file %R>", reinterpret_cast<LockFileObject*>(self)->name);
}
void lockfile_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<LockFileObject*>(self)->name);
    type->tp_free(self);
    Py_DECREF(type);
}
PyMethodDef lockfile_methods[] = {{"fileno", lockfile_fileno, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyMemberDef lockfile_members[] = {{"name", T_OBJECT, offsetof(LockFileObject, name), READONLY, nullptr},
                                  {nullptr, 0, 0, 0, nullptr}};
PyGetSetDef lockfile_getset[] = {{"closed", lockfile_closed, nullptr, nullptr, nullptr},
                                 {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyType_Slot lockfile_slots[] = {{Py_tp_methods, lockfile_methods},
                                {Py_tp_members, lockfile_members},
                                {Py_tp_getset, lockfile_getset},
                                {Py_tp_repr, reinterpret_cast<void*>(lockfile_repr)},
                                {Py_tp_dealloc, reinterpret_cast<void*>(lockfile_dealloc)},
                                {0, nullptr}};
PyType_Spec lockfile_spec = {"vyr_desk_guard._VyrLockFile", sizeof(LockFileObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, lockfile_slots};

// The local server that answers activation requests (owned by the C++ side).
struct ServerObject {
    PyObject_HEAD
    dg::ActivationServer* server;
};

dg::ActivationServer* server_of(PyObject* self) { return reinterpret_cast<ServerObject*>(self)->server; }
PyObject* server_name(PyObject* self, PyObject*) {
    return py::entry([&] { return to_py(server_of(self)->server_name()); });
}
PyObject* server_full_name(PyObject* self, PyObject*) {
    return py::entry([&] { return to_py(server_of(self)->full_server_name()); });
}
PyObject* server_listening(PyObject* self, PyObject*) { return PyBool_FromLong(server_of(self)->is_listening()); }
PyObject* server_repr(PyObject* self) {
    return py::entry([&] {
        Owned name = to_py(server_of(self)->server_name());
        return checked(PyUnicode_FromFormat("<vyr_desk_guard local server %R>", name.get()));
    });
}
void server_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}
PyMethodDef server_methods[] = {{"serverName", server_name, METH_NOARGS, nullptr},
                                {"fullServerName", server_full_name, METH_NOARGS, nullptr},
                                {"isListening", server_listening, METH_NOARGS, nullptr},
                                {nullptr, nullptr, 0, nullptr}};
PyType_Slot server_slots[] = {{Py_tp_methods, server_methods},
                              {Py_tp_repr, reinterpret_cast<void*>(server_repr)},
                              {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
                              {0, nullptr}};
PyType_Spec server_spec = {"vyr_desk_guard._VyrLocalServer", sizeof(ServerObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, server_slots};

PyObject* g_lockfile_type = nullptr;
PyObject* g_server_type = nullptr;

Owned new_lockfile(PyObject* path, int fd) {
    auto* obj = PyObject_New(LockFileObject, reinterpret_cast<PyTypeObject*>(g_lockfile_type));
    if (!obj) throw py::Error();
    obj->name = Py_NewRef(path);
    obj->fd = fd;
    return Owned(reinterpret_cast<PyObject*>(obj));
}

Owned new_server(dg::ActivationServer* server) {
    auto* obj = PyObject_New(ServerObject, reinterpret_cast<PyTypeObject*>(g_server_type));
    if (!obj) throw py::Error();
    obj->server = server;
    return Owned(reinterpret_cast<PyObject*>(obj));
}

// ---- Global exception hook ----------------------------------------------

// The report of one exception as the runtime formats a traceback, with one
// empty line after it.
Owned traceback_entry(PyObject* exc_type, PyObject* exc_value, PyObject* exc_tb) {
    Owned traceback = checked(PyImport_ImportModule("traceback"));
    Owned format = checked(PyObject_GetAttrString(traceback.get(), "format_exception"));
    Owned pieces = checked(PyObject_CallFunctionObjArgs(format.get(), exc_type, exc_value, exc_tb, nullptr));
    Owned text = checked(PyUnicode_Join(str("").get(), pieces.get()));
    return checked(PyUnicode_Concat(text.get(), str("\n").get()));
}

// Vyr_Logs/vyr_runtime_slot.log under LOCALAPPDATA, else under the home
// folder; the folder is made when missing.
Owned runtime_log_path(PyObject* module) {
    Owned base = environ_get(module, "LOCALAPPDATA");
    if (!truth(base.get())) base = os_path_call(module, "expanduser", str("~").get());
    Owned folder = os_path_call(module, "join", base.get(), str("Vyr_Logs").get());
    make_folders(module, folder.get());
    return os_path_call(module, "join", folder.get(), str("vyr_runtime_slot.log").get());
}

// Appends the report of one exception to the runtime log, in one write; the
// file is closed on every path, and a failed close carries the failed write.
void append_runtime_log(PyObject* module, PyObject* exc_type, PyObject* exc_value, PyObject* exc_tb) {
    // The entry is made before any folder or file is touched.
    Owned entry = traceback_entry(exc_type, exc_value, exc_tb);
    Owned path = runtime_log_path(module);
    Owned open = checked(PyObject_GetAttrString(checked(PyImport_ImportModule("io")).get(), "open"));
    Owned open_args = checked(PyTuple_Pack(2, path.get(), str("a").get()));
    Owned open_kwargs = checked(PyDict_New());
    py::check(PyDict_SetItemString(open_kwargs.get(), "encoding", str("utf-8").get()));
    Owned file = checked(PyObject_Call(open.get(), open_args.get(), open_kwargs.get()));

    std::optional<py::Error> write_error;
    try {
        call_method(file.get(), "write", entry.get());
    } catch (const py::Error& e) {
        write_error.emplace(e);
    }
    try {
        call_method(file.get(), "close");
    } catch (const py::Error& close_error) {
        if (write_error) PyException_SetContext(close_error.value(), Py_NewRef(write_error->value()));
        throw;
    }
    if (write_error) throw py::Error(*write_error);
}

PyObject* dg_excepthook(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"exc_type", "exc_value", "exc_tb", nullptr};
    PyObject *exc_type, *exc_value, *exc_tb;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:_vyr_global_qt_excepthook", const_cast<char**>(kwlist),
                                     &exc_type, &exc_value, &exc_tb))
        return nullptr;
    return py::entry([&] {
        // Failures of its own are dropped; only an exit request or an
        // interrupt raised meanwhile leaves the hook.
        py::contain(kTrace, "runtime log", [&] { append_runtime_log(module, exc_type, exc_value, exc_tb); });
        return Owned::borrow(Py_None);
    });
}

// ---- Scroll wrapper -----------------------------------------------------

PyObject* dg_wrap_widget_in_scroll(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"page", nullptr};
    PyObject* page_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_wrap_widget_in_scroll", const_cast<char**>(kwlist), &page_obj))
        return nullptr;
    return py::entry([&] {
        check_widget_arg(page_obj, "page", false);
        QWidget* page = live_widget(page_obj);
        require_widget_application();
        return checked(wh::wrap(dg::wrap_widget_in_scroll(page)));
    });
}

// ---- Main-window activation ---------------------------------------------

Owned activate(PyObject* module, PyObject* win) {
    Owned target = Owned::borrow(win);
    if (win == Py_None) {
        Owned state = module_global(module, "_VYR_SINGLE_INSTANCE_STATE");
        target = call_method(state.get(), "get", str("main_win").get());
    }
    if (target.get() == Py_None) {
        dg::bring_to_front(dg::default_activation_target());
    } else if (wh::is_handle(target.get())) {
        QWidget* widget = nullptr;
        wh::unwrap(target.get(), &widget);
        // A window that no longer exists is not replaced by another one.
        dg::bring_to_front(widget);
    }
    // Anything else stored as the window cannot be raised; it is ignored.
    return Owned::borrow(Py_None);
}

PyObject* dg_activate_window(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"win", nullptr};
    PyObject* win = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:_activate_vyr_window", const_cast<char**>(kwlist), &win))
        return nullptr;
    return py::entry([&] {
        check_widget_arg(win, "win", true);
        return activate(module, win);
    });
}

// Runs on the GUI thread for every batch of connections to the local server:
// the module's activation function, without a window. What it raises goes to
// sys.excepthook, as for any slot.
void on_activation_batch() {
    if (!Py_IsInitialized() || !g_module) return;
    py::GilScope gil;
    try {
        checked(PyObject_CallNoArgs(module_global(g_module, "_activate_vyr_window").get()));
    } catch (...) {
        py::raise_current_exception();
        report_to_excepthook();
    }
}

// ---- Single-instance channel --------------------------------------------

constexpr const char* kSkipFlags[] = {
    "--vyr-elevated-task", "--vyr-root-helper", "--service",    "--install-service", "--uninstall-service",
    "--status",            "--headless",        "--self-test", "--screenshot",
};

constexpr char kNotKeyChar[] = "[^A-Za-z0-9_-]";
constexpr char kVersionWord[] = "\\bv\\d+(?:\\.\\d+)*\\b";
constexpr char kFallbackKey[] = "VYR_APP";

// Code taken from a window: its title up to the first em dash and the first
// " - ", trimmed, without version words; else the window's class name.
Owned code_from_window(PyObject* module, PyObject* handle) {
    QWidget* widget = live_widget(handle);
    Owned text = to_py(widget->windowTitle());
    for (const char* sep : {"\u2014", " - "}) {
        Owned one = checked(PyLong_FromLong(1));
        Owned parts = call_method(text.get(), "split", str(sep).get(), one.get());
        text = checked(PySequence_GetItem(parts.get(), 0));
    }
    text = call_method(text.get(), "strip");
    text = re_sub(module, kVersionWord, "", text.get());
    text = call_method(text.get(), "strip");
    if (truth(text.get())) return text;
    // The class name without its C++ namespaces.
    QString cls = QString::fromLatin1(widget->metaObject()->className());
    const int colons = cls.lastIndexOf(QLatin1String("::"));
    if (colons >= 0) cls = cls.mid(colons + 2);
    return to_py(cls);
}

// The code as given, stripped; when empty, the code of the window; when the
// window gives none, the fallback key.
Owned derive_raw_code(PyObject* module, PyObject* app_code, PyObject* window) {
    Owned raw = app_code == Py_None ? str("") : call_method(app_code, "strip");
    if (truth(raw.get()) || window == Py_None) return raw;
    Owned code;
    py::contain(kTrace, "instance key from the window", [&] { code = code_from_window(module, window); });
    return code ? code : str(kFallbackKey);
}

// Upper case (the runtime's Unicode mapping), every character outside ASCII
// letters, digits, "_" and "-" replaced by "_", "_" trimmed at both ends.
Owned derive_app_key(PyObject* module, PyObject* raw_code) {
    Owned key = truth(raw_code) ? Owned::borrow(raw_code) : str(kFallbackKey);
    key = call_method(key.get(), "upper");
    key = re_sub(module, kNotKeyChar, "_", key.get());
    key = call_method(key.get(), "strip", str("_").get());
    return truth(key.get()) ? key : str(kFallbackKey);
}

void set_state(PyObject* state, const char* key, PyObject* value) {
    py::check(PyObject_SetItem(state, str(key).get(), value));
}

Owned get_state(PyObject* state, const char* key) { return call_method(state, "get", str(key).get()); }

// The servers of this process, by name. They live until the process ends;
// when the application object goes, their sockets are closed (and removed).
std::map<QString, dg::ActivationServer*>& servers() {
    static auto* map = new std::map<QString, dg::ActivationServer*>();
    return *map;
}

void close_servers() {
    for (auto& [name, server] : servers()) server->close();
}

// The lock file's path: vyr_locks/vyr_single_<key>.lock under LOCALAPPDATA,
// else under ~/.config; the folder is made when missing.
Owned lock_file_path(PyObject* module, PyObject* key) {
    Owned base = environ_get(module, "LOCALAPPDATA");
    if (!truth(base.get())) base = os_path_call(module, "expanduser", str("~/.config").get());
    Owned lock_dir = os_path_call(module, "join", base.get(), str("vyr_locks").get());
    make_folders(module, lock_dir.get());
    Owned file_name = checked(PyUnicode_FromFormat("vyr_single_%U.lock", key));
    return os_path_call(module, "join", lock_dir.get(), file_name.get());
}

// Takes the lock file, or ends the process after handing the activation
// over when another copy holds it. A lock that cannot be taken otherwise
// leaves the process running without one.
void take_lock(PyObject* module, PyObject* state, PyObject* key, const QString& srv_name) {
    Owned lock_path = lock_file_path(module, key);
    if (!PyUnicode_Check(lock_path.get())) py::raise(PyExc_TypeError, "the lock file's path is not a text");
    const std::filesystem::path native = fs_path(lock_path.get());
    dg::LockAttempt attempt;
    {
        py::GilRelease nogil;
        attempt = dg::lock_instance_file(native);
    }
    if (attempt.outcome == dg::LockOutcome::HeldElsewhere) {
        {
            py::GilRelease nogil;
            dg::hand_over(srv_name);
        }
        dg::terminate_now(0);
    }
    if (attempt.outcome == dg::LockOutcome::Failed) {
        vyr::trace::report(kTrace, "lock file", "the lock could not be taken");
        return;
    }
    dg::write_owner_pid(attempt.fd, dg::current_process_id());
    set_state(state, "lock_fh", new_lockfile(lock_path.get(), attempt.fd).get());
}

// Starts (once per name and process) the local server that answers later
// copies, and keeps its stand-in in the record.
void start_server(PyObject* state, const QString& srv_name) {
    auto& known = servers();
    dg::ActivationServer* server;
    if (auto it = known.find(srv_name); it != known.end()) {
        server = it->second;
    } else {
        if (known.empty()) qAddPostRoutine(close_servers);
        server = new dg::ActivationServer([](const QList<QByteArray>&) { on_activation_batch(); });
        known.emplace(srv_name, server);
        server->start(srv_name);
    }
    py::contain(kTrace, "local server record", [&] { set_state(state, "server", new_server(server).get()); });
}

// Whether the check is off for this process: multiple copies allowed by the
// environment, or a skip option among the arguments (as a whole argument).
bool check_skipped(PyObject* module) {
    Owned allow = environ_get(module, "VYR_ALLOW_MULTI_INSTANCE");
    if (py::check(PyObject_RichCompareBool(allow.get(), str("1").get(), Py_EQ))) return true;
    Owned argv = checked(PyObject_GetAttrString(module_global(module, "sys").get(), "argv"));
    for (const char* flag : kSkipFlags) {
        if (py::check(PySequence_Contains(argv.get(), str(flag).get()))) return true;
    }
    return false;
}

// The name of the local server of `key`, by the rule that the launcher
// follows too (with the user's tag).
QString server_name_of(PyObject* key) {
    Py_ssize_t key_size = 0;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (!key_text) throw py::Error();
    return QString::fromStdString(vyr::instance_name::server_name(
        std::string_view(key_text, static_cast<size_t>(key_size)), vyr::instance_name::user_tag()));
}

Owned single_instance(PyObject* module, PyObject* app_code, PyObject* main_window) {
    Owned state = module_global(module, "_VYR_SINGLE_INSTANCE_STATE");
    // The window is registered before any other test, so that activation
    // requests find it even when the check itself is skipped.
    if (main_window != Py_None) set_state(state.get(), "main_win", main_window);
    if (check_skipped(module)) return Owned::borrow(Py_True);
    // A process that holds the instance already does not check again.
    if (truth(get_state(state.get(), "locked").get())) return Owned::borrow(Py_True);

    Owned key = derive_app_key(module, derive_raw_code(module, app_code, main_window).get());
    const QString srv_name = server_name_of(key.get());

    // A running copy that answers gets the activation message; this copy ends.
    bool answered;
    {
        py::GilRelease nogil;
        answered = dg::send_activation(srv_name, 250, 200, true);
    }
    if (answered) dg::terminate_now(0);

    // Otherwise this copy takes the instance: the lock file, then the local
    // server, and the record says so.
    py::contain(kTrace, "lock file", [&] { take_lock(module, state.get(), key.get(), srv_name); });
    start_server(state.get(), srv_name);
    set_state(state.get(), "locked", Py_True);
    set_state(state.get(), "app_key", key.get());
    return Owned::borrow(Py_True);
}

PyObject* dg_ensure_single_instance(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"app_code", "main_window", nullptr};
    PyObject* app_code;
    PyObject* main_window = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:ensure_vyr_single_instance", const_cast<char**>(kwlist),
                                     &app_code, &main_window))
        return nullptr;
    return py::entry([&] {
        // The code is not checked here: only a full check reads it, through its
        // strip() and the key's text operations, whose errors leave the call.
        check_widget_arg(main_window, "main_window", true);
        return single_instance(module, app_code, main_window);
    });
}

// ---- Text cleaner -------------------------------------------------------

// The noisy symbols and English labels removed, the jargon replaced, blanks
// trimmed; when nothing is left, the text merely trimmed.
Owned clean_text(PyObject* module, PyObject* txt) {
    if (!truth(txt)) return Owned::borrow(txt);
    Owned empty = str("");
    Owned work = Owned::borrow(txt);
    for (const char* pattern : {"_VYR_NOISY_SYMBOLS_RE", "_VYR_EN_PARENS_RE"})
        work = call_method(module_global(module, pattern).get(), "sub", empty.get(), work.get());
    Owned iter = checked(PyObject_GetIter(module_global(module, "_VYR_JARGON_REPLACEMENTS").get()));
    while (Owned pair{PyIter_Next(iter.get())}) {
        PyObject *old_text, *new_text;
        if (!PyArg_ParseTuple(pair.get(), "OO", &old_text, &new_text)) throw py::Error();
        if (py::check(PySequence_Contains(work.get(), old_text)))
            work = call_method(work.get(), "replace", old_text, new_text);
    }
    if (PyErr_Occurred()) throw py::Error();
    work = call_method(work.get(), "strip");
    if (truth(work.get())) return work;
    return call_method(txt, "strip");
}

PyObject* dg_clean_text(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"txt", nullptr};
    PyObject* txt;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_clean_vyr_text", const_cast<char**>(kwlist), &txt))
        return nullptr;
    return py::entry([&] { return clean_text(module, txt); });
}

// ---- UI tree sanitiser --------------------------------------------------

// The sanitiser's text operations: the module's `_clean_vyr_text` and
// str.strip. An ordinary error skips the widget at hand; an exit request or an
// interrupt leaves the walk (and the call) as it is.
class RuntimeTextOps : public dg::TextOps {
public:
    explicit RuntimeTextOps(PyObject* module) : module_(module) {}

    std::optional<QString> clean(const QString& text) override {
        return skipping_on_error([&] {
            return checked(PyObject_CallOneArg(module_global(module_, "_clean_vyr_text").get(), to_py(text).get()));
        });
    }

    std::optional<QString> strip(const QString& text) override {
        return skipping_on_error([&] { return call_method(to_py(text).get(), "strip"); });
    }

private:
    template <typename Call>
    static std::optional<QString> skipping_on_error(Call&& call) {
        std::optional<QString> out;
        py::contain(kTrace, "UI text cleaner", [&] {
            Owned result = call();
            out = result.get() == Py_None ? QString() : from_py(result.get());
        });
        return out;
    }

    PyObject* module_;
};

PyObject* dg_sanitize_ui_tree(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"win", nullptr};
    PyObject* win;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_sanitize_vyr_ui_tree", const_cast<char**>(kwlist), &win))
        return nullptr;
    return py::entry([&] {
        check_widget_arg(win, "win", false);
        RuntimeTextOps ops(module);
        dg::sanitize_ui_tree(live_widget(win), ops);
        return Owned::borrow(Py_None);
    });
}

// ---- Screen-fit guard ---------------------------------------------------

// The working folder, the running executable's folder and this module's
// folder, as the runtime names them.
QStringList search_folder_candidates(PyObject* module) {
    Owned cwd = call_method(module_global(module, "os").get(), "getcwd");
    Owned exe = checked(PyObject_GetAttrString(module_global(module, "sys").get(), "executable"));
    if (!truth(exe.get())) exe = str("");
    Owned file = module_global(module, "__file__");
    QStringList names{from_py(cwd.get())};
    for (PyObject* path : {exe.get(), file.get()}) {
        Owned absolute = os_path_call(module, "abspath", path);
        names.append(from_py(os_path_call(module, "dirname", absolute.get()).get()));
    }
    return names;
}

// Fonts, application id and icon, from the folders where the program's
// files may lie.
void load_fonts_and_icon(PyObject* module, QWidget* win) {
    const QStringList folders = dg::search_folders(search_folder_candidates(module));
    dg::register_fonts(folders);
#ifdef _WIN32
    QString app_key;
    py::contain(kTrace, "application id", [&] {
        Owned key = get_state(module_global(module, "_VYR_SINGLE_INSTANCE_STATE").get(), "app_key");
        if (PyUnicode_Check(key.get())) app_key = from_py(key.get());
    });
    dg::set_app_user_model_id(dg::app_user_model_id(app_key));
#endif
    bool listing_failed = false;
    const auto icon = dg::find_icon_path(folders, &listing_failed);
    if (listing_failed) vyr::trace::report(kTrace, "icon search", "a folder could not be listed");
    if (icon && !dg::apply_icon(win, *icon)) vyr::trace::report(kTrace, "window icon", "no image in the icon file");
}

// Calls the module's function `name` (as it is bound now) with `args`.
void call_global(PyObject* module, const char* name, std::initializer_list<PyObject*> args) {
    Owned fn = module_global(module, name);
    Owned tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* arg : args) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(arg));
    checked(PyObject_Call(fn.get(), tuple.get(), nullptr));
}

Owned attach_guard(PyObject* module, PyObject* win_obj) {
    if (win_obj == Py_None) return Owned::borrow(Py_None);
    QPointer<QWidget> win = live_widget(win_obj);
    if (dg::guard_attached(win)) return Owned::borrow(Py_None);
    dg::mark_guard_attached(win);

    // Registers the window with the single-instance channel (and runs the
    // whole check when none has run in this process yet).
    call_global(module, "ensure_vyr_single_instance", {str("").get(), win_obj});
    if (!win) widget_gone();

    // Fonts, application id and icon: an ordinary error ends this block only.
    py::contain(kTrace, "fonts and icon", [&] { load_fonts_and_icon(module, win); });

    call_global(module, "_sanitize_vyr_ui_tree", {win_obj});
    if (!win) widget_gone();

    win->setMinimumSize(760, 480);
    std::vector<dg::SidebarRecord> sidebars;
    if (!dg::apply_widget_rules(win, sidebars)) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'centralWidget'",
                     win->metaObject()->className());
        throw py::Error();
    }
    auto* fit = new dg::ScreenFit(win, std::move(sidebars));
    fit->install();
    return Owned::borrow(Py_None);
}

PyObject* dg_attach_resolution_guard(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"win", nullptr};
    PyObject* win;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:attach_vyr_resolution_guard", const_cast<char**>(kwlist), &win))
        return nullptr;
    return py::entry([&] {
        check_widget_arg(win, "win", true);
        return attach_guard(module, win);
    });
}

// ---- Module set-up ------------------------------------------------------

#define VYR_FN(name, impl)                                                                                 \
    PyMethodDef impl##_def = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)), \
                              METH_VARARGS | METH_KEYWORDS, nullptr}

VYR_FN("_vyr_global_qt_excepthook", dg_excepthook);
VYR_FN("_wrap_widget_in_scroll", dg_wrap_widget_in_scroll);
VYR_FN("_activate_vyr_window", dg_activate_window);
VYR_FN("ensure_vyr_single_instance", dg_ensure_single_instance);
VYR_FN("_clean_vyr_text", dg_clean_text);
VYR_FN("_sanitize_vyr_ui_tree", dg_sanitize_ui_tree);
VYR_FN("attach_vyr_resolution_guard", dg_attach_resolution_guard);

#undef VYR_FN

Owned compile_pattern(PyObject* module, const std::string& pattern, bool ignore_case) {
    Owned re = module_global(module, "re");
    Owned text = checked(PyUnicode_FromStringAndSize(pattern.data(), static_cast<Py_ssize_t>(pattern.size())));
    if (!ignore_case) return call_method(re.get(), "compile", text.get());
    Owned flag = checked(PyObject_GetAttrString(re.get(), "IGNORECASE"));
    return call_method(re.get(), "compile", text.get(), flag.get());
}

std::string english_labels_pattern() {
    std::string pattern = "\\s*\\((?:";
    for (std::size_t i = 0; i < texts::kEnglishFeatureLabelCount; ++i) {
        if (i) pattern += '|';
        pattern += texts::kEnglishFeatureLabels[i];
    }
    pattern += ")\\)";
    return pattern;
}

Owned jargon_table() {
    Owned table = checked(PyTuple_New(static_cast<Py_ssize_t>(texts::kJargonReplacementCount)));
    for (std::size_t i = 0; i < texts::kJargonReplacementCount; ++i) {
        PyObject* pair =
            Py_BuildValue("(ss)", texts::kJargonReplacements[i].old_text, texts::kJargonReplacements[i].new_text);
        if (!pair) throw py::Error();
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return table;
}

// The record of the single-instance channel, empty: not locked, no key, no
// lock file, no server, no window.
Owned empty_instance_record() {
    Owned state = checked(PyDict_New());
    py::check(PyDict_SetItemString(state.get(), "locked", Py_False));
    py::check(PyDict_SetItemString(state.get(), "app_key", str("").get()));
    for (const char* key : {"lock_fh", "server", "main_win"}) py::check(PyDict_SetItemString(state.get(), key, Py_None));
    return state;
}

// The module's names in their order; the exception hook is installed as
// sys.excepthook right after its definition.
void define_names(PyObject* module) {
    for (const char* name : {"os", "sys", "time", "re"})
        add_object(module, name, checked(PyImport_ImportModule(name)));
    Owned hook = make_function(module, &dg_excepthook_def);
    add_object(module, "_vyr_global_qt_excepthook", hook);
    py::check(PySys_SetObject("excepthook", hook.get()));
    add_function(module, &dg_wrap_widget_in_scroll_def);
    add_object(module, "_VYR_SINGLE_INSTANCE_STATE", empty_instance_record());
    add_function(module, &dg_activate_window_def);
    add_function(module, &dg_ensure_single_instance_def);
    add_object(module, "_VYR_NOISY_SYMBOLS_RE", compile_pattern(module, texts::kNoisySymbolsPattern, false));
    add_object(module, "_VYR_EN_PARENS_RE", compile_pattern(module, english_labels_pattern(), true));
    add_object(module, "_VYR_JARGON_REPLACEMENTS", jargon_table());
    add_function(module, &dg_clean_text_def);
    add_function(module, &dg_sanitize_ui_tree_def);
    add_function(module, &dg_attach_resolution_guard_def);
}

int desk_guard_body(PyObject* module) {
    return py::entry_status([&] {
        // Internal types of the stand-ins kept in the single-instance record.
        Py_XSETREF(g_lockfile_type, checked(PyType_FromModuleAndSpec(module, &lockfile_spec, nullptr)).release());
        Py_XSETREF(g_server_type, checked(PyType_FromModuleAndSpec(module, &server_spec, nullptr)).release());
        define_names(module);
        Py_XSETREF(g_module, Py_NewRef(module));
    });
}

}  // namespace

VYR_MULTI_PHASE_MODULE(vyr_desk_guard, desk_guard_body, nullptr)
