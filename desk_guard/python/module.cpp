// vyr_desk_guard: desktop integration helpers as the embedded runtime sees
// them: the global exception hook and its runtime log, the per-user
// single-instance channel, main-window activation, the UI text cleaner and
// tree sanitiser, the scroll wrapper and the screen-fit guard.
//
// Text rules (case folding, whitespace, regular expressions) are the
// runtime's own: the code calls the `re` module and str methods. Widgets come
// and go as widget handles; None means no window.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <QApplication>
#include <QMetaObject>
#include <QPointer>
#include <QScrollArea>
#include <QWidget>

#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "vyr/desk_guard/instance_channel.hpp"
#include "vyr/desk_guard/screen_fit.hpp"
#include "vyr/desk_guard/texts.hpp"
#include "vyr/desk_guard/window_helpers.hpp"
#include "vyr/module_init.hpp"
#include "vyr/py_ref.hpp"
#include "vyr/widget_handle.hpp"

namespace {

namespace dg = vyr::desk_guard;
namespace texts = vyr::desk_guard::texts;
namespace wh = vyr::widget_handle;

// ---- Small helpers ------------------------------------------------------

// An owned reference, released at the end of its scope.
using Owned = vyr::py::Ref;
using GilHold = vyr::py::GilScope;
using vyr::py::GilRelease;

// The module object of the completed set-up, for slots that run later.
PyObject* g_module = nullptr;

// A name of the module's globals, looked up at the time of use (new ref).
PyObject* module_global(PyObject* module, const char* name) {
    PyObject* dict = PyModule_GetDict(module);
    Owned key(PyUnicode_FromString(name));
    if (!key) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, key.get());
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return nullptr;
    }
    return Py_NewRef(value);
}

PyObject* to_py(const QString& text) {
    const QVector<uint> ucs4 = text.toUcs4();
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, ucs4.constData(), ucs4.size());
}

bool from_py(PyObject* text, QString* out) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "expected str, not %.100s", Py_TYPE(text)->tp_name);
        return false;
    }
    Py_UCS4* buf = PyUnicode_AsUCS4Copy(text);
    if (!buf) return false;
    *out = QString::fromUcs4(reinterpret_cast<const uint*>(buf),
                             static_cast<int>(PyUnicode_GET_LENGTH(text)));
    PyMem_Free(buf);
    return true;
}

// True when an error of the ordinary family (Exception and its subclasses)
// is set; it is then cleared. Anything else stays set.
bool drop_ordinary_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

// Hands the raised exception to sys.excepthook, the way errors escaping a
// Qt slot are reported; the slot then returns normally.
void report_to_excepthook() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyObject* hook = PySys_GetObject("excepthook");  // borrowed
    if (hook && hook != Py_None) {
        PyObject* tb = PyException_GetTraceback(exc);
        PyObject* result = PyObject_CallFunctionObjArgs(
            hook, reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb : Py_None, nullptr);
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
bool check_widget_arg(PyObject* obj, const char* what, bool allow_none) {
    if ((allow_none && obj == Py_None) || wh::is_handle(obj)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be a widget handle%s, not %.100s", what,
                 allow_none ? " or None" : "", Py_TYPE(obj)->tp_name);
    return false;
}

// The live widget behind a handle, or null with RuntimeError for a widget
// that no longer exists.
QWidget* live_widget(PyObject* handle) {
    QWidget* widget = nullptr;
    if (!wh::unwrap(handle, &widget)) return nullptr;
    if (!widget) PyErr_SetString(PyExc_RuntimeError, "the widget of this handle has been deleted");
    return widget;
}

PyObject* widget_gone() {
    PyErr_SetString(PyExc_RuntimeError, "the widget of this handle has been deleted");
    return nullptr;
}

bool have_widget_application() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) return true;
    PyErr_SetString(PyExc_RuntimeError, "a QApplication must exist before widgets are made");
    return false;
}

// text.<method>(*args) for str methods and the like (new ref).
PyObject* call_method(PyObject* obj, const char* method, PyObject* a = nullptr,
                      PyObject* b = nullptr) {
    Owned name(PyUnicode_FromString(method));
    if (!name) return nullptr;
    if (b) return PyObject_CallMethodObjArgs(obj, name.get(), a, b, nullptr);
    if (a) return PyObject_CallMethodObjArgs(obj, name.get(), a, nullptr);
    return PyObject_CallMethodNoArgs(obj, name.get());
}

PyObject* str(const char* utf8) { return PyUnicode_FromString(utf8); }

// re.sub(pattern, repl, text) through the module's `re` (new ref).
PyObject* re_sub(PyObject* module, const char* pattern, const char* repl, PyObject* text) {
    Owned re(module_global(module, "re"));
    if (!re) return nullptr;
    Owned sub(PyObject_GetAttrString(re.get(), "sub"));
    Owned pat(str(pattern)), rep(str(repl));
    if (!sub || !pat || !rep) return nullptr;
    return PyObject_CallFunctionObjArgs(sub.get(), pat.get(), rep.get(), text, nullptr);
}

// os.environ.get(name) (new ref; None when unset).
PyObject* environ_get(PyObject* module, const char* name) {
    Owned os(module_global(module, "os"));
    if (!os) return nullptr;
    Owned environ(PyObject_GetAttrString(os.get(), "environ"));
    Owned key(str(name));
    if (!environ || !key) return nullptr;
    return call_method(environ.get(), "get", key.get());
}

// os.path.<fn>(*args) (new ref).
PyObject* os_path_call(PyObject* module, const char* fn, PyObject* a, PyObject* b = nullptr) {
    Owned os(module_global(module, "os"));
    if (!os) return nullptr;
    Owned path(PyObject_GetAttrString(os.get(), "path"));
    if (!path) return nullptr;
    return call_method(path.get(), fn, a, b);
}

// os.makedirs(folder, exist_ok=True); 0 or -1.
int make_folders(PyObject* module, PyObject* folder) {
    Owned os(module_global(module, "os"));
    if (!os) return -1;
    Owned makedirs(PyObject_GetAttrString(os.get(), "makedirs"));
    Owned args(PyTuple_Pack(1, folder));
    Owned kwargs(PyDict_New());
    if (!makedirs || !args || !kwargs || PyDict_SetItemString(kwargs.get(), "exist_ok", Py_True) < 0)
        return -1;
    Owned result(PyObject_Call(makedirs.get(), args.get(), kwargs.get()));
    return result ? 0 : -1;
}

std::filesystem::path fs_path(PyObject* path) {
#ifdef _WIN32
    wchar_t* wide = PyUnicode_AsWideCharString(path, nullptr);
    if (!wide) return {};
    std::filesystem::path out(wide);
    PyMem_Free(wide);
    return out;
#else
    Owned bytes(PyUnicode_EncodeFSDefault(path));
    if (!bytes) return {};
    return std::filesystem::path(std::string(PyBytes_AS_STRING(bytes.get()),
                                             static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))));
#endif
}

PyObject* make_function(PyObject* module, PyMethodDef* def) {
    Owned modname(PyModule_GetNameObject(module));
    if (!modname) return nullptr;
    return PyCFunction_NewEx(def, module, modname.get());
}

int add_function(PyObject* module, PyMethodDef* def) {
    Owned fn(make_function(module, def));
    if (!fn) return -1;
    return PyModule_AddObjectRef(module, def->ml_name, fn.get());
}

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
    return PyUnicode_FromFormat("<vyr_desk_guard lock file %R>",
                                reinterpret_cast<LockFileObject*>(self)->name);
}
void lockfile_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<LockFileObject*>(self)->name);
    type->tp_free(self);
    Py_DECREF(type);
}
PyMethodDef lockfile_methods[] = {{"fileno", lockfile_fileno, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};
PyMemberDef lockfile_members[] = {
    {"name", T_OBJECT, offsetof(LockFileObject, name), READONLY, nullptr},
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
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             lockfile_slots};

// The local server that answers activation requests (owned by the C++ side).
struct ServerObject {
    PyObject_HEAD
    dg::ActivationServer* server;
};

dg::ActivationServer* server_of(PyObject* self) {
    return reinterpret_cast<ServerObject*>(self)->server;
}
PyObject* server_name(PyObject* self, PyObject*) { return to_py(server_of(self)->server_name()); }
PyObject* server_full_name(PyObject* self, PyObject*) {
    return to_py(server_of(self)->full_server_name());
}
PyObject* server_listening(PyObject* self, PyObject*) {
    return PyBool_FromLong(server_of(self)->is_listening());
}
PyObject* server_repr(PyObject* self) {
    Owned name(to_py(server_of(self)->server_name()));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("<vyr_desk_guard local server %R>", name.get());
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
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           server_slots};

PyObject* g_lockfile_type = nullptr;
PyObject* g_server_type = nullptr;

PyObject* new_lockfile(PyObject* path, int fd) {
    auto* obj = PyObject_New(LockFileObject, reinterpret_cast<PyTypeObject*>(g_lockfile_type));
    if (!obj) return nullptr;
    obj->name = Py_NewRef(path);
    obj->fd = fd;
    return reinterpret_cast<PyObject*>(obj);
}

PyObject* new_server(dg::ActivationServer* server) {
    auto* obj = PyObject_New(ServerObject, reinterpret_cast<PyTypeObject*>(g_server_type));
    if (!obj) return nullptr;
    obj->server = server;
    return reinterpret_cast<PyObject*>(obj);
}

// ---- Global exception hook ----------------------------------------------

// Appends the report of one exception to Vyr_Logs/vyr_runtime_slot.log.
int append_runtime_log(PyObject* module, PyObject* exc_type, PyObject* exc_value,
                       PyObject* exc_tb) {
    // The entry is made before any folder or file is touched.
    Owned traceback(PyImport_ImportModule("traceback"));
    if (!traceback) return -1;
    Owned format(PyObject_GetAttrString(traceback.get(), "format_exception"));
    if (!format) return -1;
    Owned pieces(PyObject_CallFunctionObjArgs(format.get(), exc_type, exc_value, exc_tb, nullptr));
    if (!pieces) return -1;
    Owned empty(str("")), newline(str("\n"));
    if (!empty || !newline) return -1;
    Owned text(PyUnicode_Join(empty.get(), pieces.get()));
    if (!text) return -1;
    Owned entry(PyUnicode_Concat(text.get(), newline.get()));
    if (!entry) return -1;

    Owned base(environ_get(module, "LOCALAPPDATA"));
    if (!base) return -1;
    const int set = PyObject_IsTrue(base.get());
    if (set < 0) return -1;
    if (!set) {
        Owned home(str("~"));
        if (!home) return -1;
        base.reset(os_path_call(module, "expanduser", home.get()));
        if (!base) return -1;
    }
    Owned folder_name(str("Vyr_Logs")), file_name(str("vyr_runtime_slot.log"));
    if (!folder_name || !file_name) return -1;
    Owned folder(os_path_call(module, "join", base.get(), folder_name.get()));
    if (!folder || make_folders(module, folder.get()) < 0) return -1;
    Owned path(os_path_call(module, "join", folder.get(), file_name.get()));
    if (!path) return -1;

    Owned io(PyImport_ImportModule("io"));
    if (!io) return -1;
    Owned open(PyObject_GetAttrString(io.get(), "open"));
    Owned mode(str("a"));
    Owned open_args(path && mode ? PyTuple_Pack(2, path.get(), mode.get()) : nullptr);
    Owned open_kwargs(PyDict_New());
    Owned encoding(str("utf-8"));
    if (!open || !open_args || !open_kwargs || !encoding ||
        PyDict_SetItemString(open_kwargs.get(), "encoding", encoding.get()) < 0)
        return -1;
    Owned file(PyObject_Call(open.get(), open_args.get(), open_kwargs.get()));
    if (!file) return -1;

    // One write of the whole entry; the file is closed on every path.
    Owned written(call_method(file.get(), "write", entry.get()));
    PyObject* write_error = written ? nullptr : PyErr_GetRaisedException();
    Owned closed(call_method(file.get(), "close"));
    if (!closed) {
        if (write_error) {
            PyObject* close_error = PyErr_GetRaisedException();
            PyException_SetContext(close_error, write_error);
            PyErr_SetRaisedException(close_error);
        }
        return -1;
    }
    if (write_error) {
        PyErr_SetRaisedException(write_error);
        return -1;
    }
    return 0;
}

PyObject* dg_excepthook(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"exc_type", "exc_value", "exc_tb", nullptr};
    PyObject *exc_type, *exc_value, *exc_tb;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:_vyr_global_qt_excepthook",
                                     const_cast<char**>(kwlist), &exc_type, &exc_value, &exc_tb))
        return nullptr;
    // Failures of its own are dropped; only an exit request or an interrupt
    // raised meanwhile leaves the hook.
    if (append_runtime_log(module, exc_type, exc_value, exc_tb) < 0 && !drop_ordinary_error())
        return nullptr;
    Py_RETURN_NONE;
}

// ---- Scroll wrapper -----------------------------------------------------

PyObject* dg_wrap_widget_in_scroll(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"page", nullptr};
    PyObject* page_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_wrap_widget_in_scroll",
                                     const_cast<char**>(kwlist), &page_obj))
        return nullptr;
    if (!check_widget_arg(page_obj, "page", false)) return nullptr;
    QWidget* page = live_widget(page_obj);
    if (!page || !have_widget_application()) return nullptr;
    return wh::wrap(dg::wrap_widget_in_scroll(page));
}

// ---- Main-window activation ---------------------------------------------

PyObject* activate(PyObject* module, PyObject* win) {
    Owned target(Py_NewRef(win));
    if (win == Py_None) {
        Owned state(module_global(module, "_VYR_SINGLE_INSTANCE_STATE"));
        if (!state) return nullptr;
        Owned key(str("main_win"));
        if (!key) return nullptr;
        target.reset(call_method(state.get(), "get", key.get()));
        if (!target) return nullptr;
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
    Py_RETURN_NONE;
}

PyObject* dg_activate_window(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"win", nullptr};
    PyObject* win = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:_activate_vyr_window",
                                     const_cast<char**>(kwlist), &win))
        return nullptr;
    if (!check_widget_arg(win, "win", true)) return nullptr;
    return activate(module, win);
}

// Runs on the GUI thread for every batch of connections to the local server:
// the module's activation function, without a window.
void on_activation_batch() {
    if (!Py_IsInitialized() || !g_module) return;
    GilHold gil;
    Owned fn(module_global(g_module, "_activate_vyr_window"));
    Owned result(fn ? PyObject_CallNoArgs(fn.get()) : nullptr);
    if (!result) report_to_excepthook();
}

// ---- Single-instance channel --------------------------------------------

constexpr const char* kSkipFlags[] = {
    "--vyr-elevated-task", "--vyr-root-helper", "--service",  "--install-service",
    "--uninstall-service", "--status",          "--headless", "--self-test",
    "--screenshot",
};

constexpr char kNotKeyChar[] = "[^A-Za-z0-9_-]";
constexpr char kVersionWord[] = "\\bv\\d+(?:\\.\\d+)*\\b";
constexpr char kFallbackKey[] = "VYR_APP";

// Code taken from a window: its title up to the first em dash and the first
// " - ", trimmed, without version words; else the window's class name.
PyObject* code_from_window(PyObject* module, PyObject* handle) {
    QWidget* widget = live_widget(handle);
    if (!widget) return nullptr;
    Owned text(to_py(widget->windowTitle()));
    if (!text) return nullptr;
    static const char* separators[] = {"\u2014", " - "};
    for (const char* sep : separators) {
        Owned sep_obj(str(sep));
        Owned one(PyLong_FromLong(1));
        if (!sep_obj || !one) return nullptr;
        Owned parts(call_method(text.get(), "split", sep_obj.get(), one.get()));
        if (!parts) return nullptr;
        text.reset(PySequence_GetItem(parts.get(), 0));
        if (!text) return nullptr;
    }
    text.reset(call_method(text.get(), "strip"));
    if (!text) return nullptr;
    text.reset(re_sub(module, kVersionWord, "", text.get()));
    if (!text) return nullptr;
    text.reset(call_method(text.get(), "strip"));
    if (!text) return nullptr;
    const int nonempty = PyObject_IsTrue(text.get());
    if (nonempty < 0) return nullptr;
    if (nonempty) return text.release();
    // The class name without its C++ namespaces.
    QString cls = QString::fromLatin1(widget->metaObject()->className());
    const int colons = cls.lastIndexOf(QLatin1String("::"));
    if (colons >= 0) cls = cls.mid(colons + 2);
    return to_py(cls);
}

PyObject* derive_raw_code(PyObject* module, PyObject* app_code, PyObject* window) {
    Owned raw;
    if (app_code == Py_None) {
        raw.reset(str(""));
    } else {
        raw.reset(call_method(app_code, "strip"));
    }
    if (!raw) return nullptr;
    const int nonempty = PyObject_IsTrue(raw.get());
    if (nonempty < 0) return nullptr;
    if (nonempty || window == Py_None) return raw.release();
    PyObject* code = code_from_window(module, window);
    if (code) return code;
    if (!drop_ordinary_error()) return nullptr;
    return str(kFallbackKey);
}

// Upper case (the runtime's Unicode mapping), every character outside ASCII
// letters, digits, "_" and "-" replaced by "_", "_" trimmed at both ends.
PyObject* derive_app_key(PyObject* module, PyObject* raw_code) {
    Owned key;
    const int nonempty = PyObject_IsTrue(raw_code);
    if (nonempty < 0) return nullptr;
    key.reset(nonempty ? Py_NewRef(raw_code) : str(kFallbackKey));
    if (!key) return nullptr;
    key.reset(call_method(key.get(), "upper"));
    if (!key) return nullptr;
    key.reset(re_sub(module, kNotKeyChar, "_", key.get()));
    if (!key) return nullptr;
    Owned underscore(str("_"));
    if (!underscore) return nullptr;
    key.reset(call_method(key.get(), "strip", underscore.get()));
    if (!key) return nullptr;
    const int left = PyObject_IsTrue(key.get());
    if (left < 0) return nullptr;
    if (!left) return str(kFallbackKey);
    return key.release();
}

// The login name (getpass's rules) with characters outside the key set
// replaced; "user" when it cannot be found.
PyObject* derive_user_tag(PyObject* module) {
    Owned tag;
    do {
        Owned getpass(PyImport_ImportModule("getpass"));
        if (!getpass) break;
        Owned name(call_method(getpass.get(), "getuser"));
        if (!name) break;
        const int nonempty = PyObject_IsTrue(name.get());
        if (nonempty < 0) break;
        if (!nonempty) name.reset(str("user"));
        if (!name) break;
        tag.reset(re_sub(module, kNotKeyChar, "_", name.get()));
    } while (false);
    if (tag) return tag.release();
    if (!drop_ordinary_error()) return nullptr;
    return str("user");
}

int set_state(PyObject* state, const char* key, PyObject* value) {
    Owned k(str(key));
    if (!k) return -1;
    return PyObject_SetItem(state, k.get(), value);
}

PyObject* get_state(PyObject* state, const char* key) {
    Owned k(str(key));
    if (!k) return nullptr;
    return call_method(state, "get", k.get());
}

// The servers of this process, by name. They live until the process ends;
// when the application object goes, their sockets are closed (and removed).
std::map<QString, dg::ActivationServer*>& servers() {
    static auto* map = new std::map<QString, dg::ActivationServer*>();
    return *map;
}

void close_servers() {
    for (auto& [name, server] : servers()) server->close();
}

// The lock-file half; returns -1 only for errors that leave the call.
// Ends the process when another copy holds the lock.
int take_lock(PyObject* module, PyObject* state, PyObject* key, const QString& srv_name) {
    do {
        Owned base(environ_get(module, "LOCALAPPDATA"));
        if (!base) break;
        const int set = PyObject_IsTrue(base.get());
        if (set < 0) break;
        if (!set) {
            Owned config(str("~/.config"));
            if (!config) break;
            base.reset(os_path_call(module, "expanduser", config.get()));
            if (!base) break;
        }
        Owned locks(str("vyr_locks"));
        if (!locks) break;
        Owned lock_dir(os_path_call(module, "join", base.get(), locks.get()));
        if (!lock_dir || make_folders(module, lock_dir.get()) < 0) break;
        Owned file_name(PyUnicode_FromFormat("vyr_single_%U.lock", key));
        if (!file_name) break;
        Owned lock_path(os_path_call(module, "join", lock_dir.get(), file_name.get()));
        if (!lock_path || !PyUnicode_Check(lock_path.get())) break;
        const std::filesystem::path native = fs_path(lock_path.get());
        if (native.empty()) break;

        dg::LockAttempt attempt;
        {
            GilRelease nogil;
            attempt = dg::lock_instance_file(native);
        }
        if (attempt.outcome == dg::LockOutcome::HeldElsewhere) {
            {
                GilRelease nogil;
                dg::hand_over(srv_name);
            }
            dg::terminate_now(0);
        }
        if (attempt.outcome == dg::LockOutcome::Failed) return 0;  // no lock; go on
        dg::write_owner_pid(attempt.fd, dg::current_process_id());
        Owned standin(new_lockfile(lock_path.get(), attempt.fd));
        if (!standin || set_state(state, "lock_fh", standin.get()) < 0) break;
        return 0;
    } while (false);
    return drop_ordinary_error() ? 0 : -1;
}

// The local-server half; returns -1 only for errors that leave the call.
int start_server(PyObject* state, const QString& srv_name) {
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
    Owned standin(new_server(server));
    if (!standin || set_state(state, "server", standin.get()) < 0)
        return drop_ordinary_error() ? 0 : -1;
    return 0;
}

PyObject* single_instance(PyObject* module, PyObject* app_code, PyObject* main_window) {
    Owned state(module_global(module, "_VYR_SINGLE_INSTANCE_STATE"));
    if (!state) return nullptr;

    // 1. The window is registered before any other test.
    if (main_window != Py_None && set_state(state.get(), "main_win", main_window) < 0)
        return nullptr;

    // 2. Switched off for this environment.
    Owned allow(environ_get(module, "VYR_ALLOW_MULTI_INSTANCE"));
    if (!allow) return nullptr;
    Owned one(str("1"));
    if (!one) return nullptr;
    const int allowed = PyObject_RichCompareBool(allow.get(), one.get(), Py_EQ);
    if (allowed < 0) return nullptr;
    if (allowed) Py_RETURN_TRUE;

    // 3. Skip options, as whole arguments.
    Owned sys(module_global(module, "sys"));
    if (!sys) return nullptr;
    Owned argv(PyObject_GetAttrString(sys.get(), "argv"));
    if (!argv) return nullptr;
    for (const char* flag : kSkipFlags) {
        Owned flag_obj(str(flag));
        if (!flag_obj) return nullptr;
        const int found = PySequence_Contains(argv.get(), flag_obj.get());
        if (found < 0) return nullptr;
        if (found) Py_RETURN_TRUE;
    }

    // 4. This process already holds the instance.
    Owned locked(get_state(state.get(), "locked"));
    if (!locked) return nullptr;
    const int is_locked = PyObject_IsTrue(locked.get());
    if (is_locked < 0) return nullptr;
    if (is_locked) Py_RETURN_TRUE;

    // 5 to 9. Key, user tag, server name.
    Owned raw(derive_raw_code(module, app_code, main_window));
    if (!raw) return nullptr;
    Owned key(derive_app_key(module, raw.get()));
    if (!key) return nullptr;
    Owned tag(derive_user_tag(module));
    if (!tag) return nullptr;
    Owned srv_obj(PyUnicode_FromFormat("%s%U_%U", texts::kServerNamePrefix, key.get(), tag.get()));
    if (!srv_obj) return nullptr;
    QString srv_name;
    if (!from_py(srv_obj.get(), &srv_name)) return nullptr;

    // 10. A running copy that answers gets the message; this copy ends.
    bool answered;
    {
        GilRelease nogil;
        answered = dg::send_activation(srv_name, 250, 200, true);
    }
    if (answered) dg::terminate_now(0);

    // 11. The lock file.
    if (take_lock(module, state.get(), key.get(), srv_name) < 0) return nullptr;

    // 12. The local server.
    if (start_server(state.get(), srv_name) < 0) return nullptr;

    // 13.
    if (set_state(state.get(), "locked", Py_True) < 0 ||
        set_state(state.get(), "app_key", key.get()) < 0)
        return nullptr;
    Py_RETURN_TRUE;
}

PyObject* dg_ensure_single_instance(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"app_code", "main_window", nullptr};
    PyObject* app_code;
    PyObject* main_window = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:ensure_vyr_single_instance",
                                     const_cast<char**>(kwlist), &app_code, &main_window))
        return nullptr;
    // The code is not checked here: only a full check reads it, through its
    // strip() and the key's text operations, whose errors leave the call.
    if (!check_widget_arg(main_window, "main_window", true)) return nullptr;
    return single_instance(module, app_code, main_window);
}

// ---- Text cleaner -------------------------------------------------------

PyObject* clean_text(PyObject* module, PyObject* txt) {
    const int truth = PyObject_IsTrue(txt);
    if (truth < 0) return nullptr;
    if (!truth) return Py_NewRef(txt);
    Owned empty(str(""));
    if (!empty) return nullptr;
    Owned work(Py_NewRef(txt));
    for (const char* pattern : {"_VYR_NOISY_SYMBOLS_RE", "_VYR_EN_PARENS_RE"}) {
        Owned rx(module_global(module, pattern));
        if (!rx) return nullptr;
        work.reset(call_method(rx.get(), "sub", empty.get(), work.get()));
        if (!work) return nullptr;
    }
    Owned pairs(module_global(module, "_VYR_JARGON_REPLACEMENTS"));
    if (!pairs) return nullptr;
    Owned iter(PyObject_GetIter(pairs.get()));
    if (!iter) return nullptr;
    while (Owned pair{PyIter_Next(iter.get())}) {
        PyObject *old_text, *new_text;
        if (!PyArg_ParseTuple(pair.get(), "OO", &old_text, &new_text)) return nullptr;
        const int found = PySequence_Contains(work.get(), old_text);
        if (found < 0) return nullptr;
        if (found) {
            work.reset(call_method(work.get(), "replace", old_text, new_text));
            if (!work) return nullptr;
        }
    }
    if (PyErr_Occurred()) return nullptr;
    work.reset(call_method(work.get(), "strip"));
    if (!work) return nullptr;
    const int left = PyObject_IsTrue(work.get());
    if (left < 0) return nullptr;
    if (left) return work.release();
    return call_method(txt, "strip");
}

PyObject* dg_clean_text(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"txt", nullptr};
    PyObject* txt;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_clean_vyr_text",
                                     const_cast<char**>(kwlist), &txt))
        return nullptr;
    return clean_text(module, txt);
}

// ---- UI tree sanitiser --------------------------------------------------

// The sanitiser's text operations: the module's `_clean_vyr_text` and str.strip.
class RuntimeTextOps : public dg::TextOps {
public:
    explicit RuntimeTextOps(PyObject* module) : module_(module) {}

    std::optional<QString> clean(const QString& text) override {
        Owned fn(module_global(module_, "_clean_vyr_text"));
        Owned arg(fn ? to_py(text) : nullptr);
        Owned result(arg ? PyObject_CallOneArg(fn.get(), arg.get()) : nullptr);
        return back_to_qt(result.get());
    }

    std::optional<QString> strip(const QString& text) override {
        Owned arg(to_py(text));
        Owned result(arg ? call_method(arg.get(), "strip") : nullptr);
        return back_to_qt(result.get());
    }

private:
    std::optional<QString> back_to_qt(PyObject* result) {
        QString out;
        if (result) {
            if (result == Py_None) return QString();
            if (from_py(result, &out)) return out;
        }
        // An ordinary error skips the widget; anything else ends the walk.
        if (drop_ordinary_error()) return std::nullopt;
        throw dg::WalkAborted();
    }

    PyObject* module_;
};

PyObject* sanitize(PyObject* module, PyObject* win_obj) {
    QWidget* win = live_widget(win_obj);
    if (!win) return nullptr;
    RuntimeTextOps ops(module);
    try {
        dg::sanitize_ui_tree(win, ops);
    } catch (const dg::WalkAborted&) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* dg_sanitize_ui_tree(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"win", nullptr};
    PyObject* win;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_sanitize_vyr_ui_tree",
                                     const_cast<char**>(kwlist), &win))
        return nullptr;
    if (!check_widget_arg(win, "win", false)) return nullptr;
    return sanitize(module, win);
}

// ---- Screen-fit guard ---------------------------------------------------

// The working folder, the running executable's folder and this module's
// folder, as the runtime names them (new ref: a list of str).
PyObject* search_folder_candidates(PyObject* module) {
    Owned os(module_global(module, "os"));
    Owned sys(os ? module_global(module, "sys") : nullptr);
    if (!sys) return nullptr;
    Owned cwd(call_method(os.get(), "getcwd"));
    if (!cwd) return nullptr;
    Owned exe(PyObject_GetAttrString(sys.get(), "executable"));
    if (!exe) return nullptr;
    const int known = PyObject_IsTrue(exe.get());
    if (known < 0) return nullptr;
    if (!known) exe.reset(str(""));
    Owned file(exe ? module_global(module, "__file__") : nullptr);
    if (!file) return nullptr;
    Owned list(PyList_New(0));
    if (!list || PyList_Append(list.get(), cwd.get()) < 0) return nullptr;
    for (PyObject* path : {exe.get(), file.get()}) {
        Owned absolute(os_path_call(module, "abspath", path));
        Owned folder(absolute ? os_path_call(module, "dirname", absolute.get()) : nullptr);
        if (!folder || PyList_Append(list.get(), folder.get()) < 0) return nullptr;
    }
    return list.release();
}

// Fonts, application id and icon; any ordinary error ends this block only.
int load_fonts_and_icon(PyObject* module, QWidget* win) {
    Owned candidates(search_folder_candidates(module));
    if (!candidates) return drop_ordinary_error() ? 0 : -1;
    QStringList names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
        QString name;
        if (!from_py(PyList_GET_ITEM(candidates.get(), i), &name))
            return drop_ordinary_error() ? 0 : -1;
        names.append(name);
    }
    const QStringList folders = dg::search_folders(names);
    dg::register_fonts(folders);
#ifdef _WIN32
    {
        QString app_key;
        Owned state(module_global(module, "_VYR_SINGLE_INSTANCE_STATE"));
        Owned key(state ? get_state(state.get(), "app_key") : nullptr);
        if (key && PyUnicode_Check(key.get())) from_py(key.get(), &app_key);
        if (PyErr_Occurred() && !drop_ordinary_error()) return -1;
        dg::set_app_user_model_id(dg::app_user_model_id(app_key));
    }
#endif
    bool listing_failed = false;
    if (const auto icon = dg::find_icon_path(folders, &listing_failed)) dg::apply_icon(win, *icon);
    return 0;
}

PyObject* attach_guard(PyObject* module, PyObject* win_obj) {
    if (win_obj == Py_None) Py_RETURN_NONE;
    QPointer<QWidget> win = live_widget(win_obj);
    if (!win) return nullptr;
    if (dg::guard_attached(win)) Py_RETURN_NONE;
    dg::mark_guard_attached(win);

    // Registers the window with the single-instance channel (and runs the
    // whole check when none has run in this process yet).
    {
        Owned ensure(module_global(module, "ensure_vyr_single_instance"));
        Owned code(ensure ? str("") : nullptr);
        Owned result(code ? PyObject_CallFunctionObjArgs(ensure.get(), code.get(), win_obj, nullptr)
                          : nullptr);
        if (!result) return nullptr;
    }
    if (!win) return widget_gone();

    if (load_fonts_and_icon(module, win) < 0) return nullptr;

    {
        Owned sanitize_fn(module_global(module, "_sanitize_vyr_ui_tree"));
        Owned result(sanitize_fn ? PyObject_CallOneArg(sanitize_fn.get(), win_obj) : nullptr);
        if (!result) return nullptr;
    }
    if (!win) return widget_gone();

    win->setMinimumSize(760, 480);

    std::vector<dg::SidebarRecord> sidebars;
    if (!dg::apply_widget_rules(win, sidebars)) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'centralWidget'",
                     win->metaObject()->className());
        return nullptr;
    }
    auto* fit = new dg::ScreenFit(win, std::move(sidebars));
    fit->install();
    Py_RETURN_NONE;
}

PyObject* dg_attach_resolution_guard(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"win", nullptr};
    PyObject* win;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:attach_vyr_resolution_guard",
                                     const_cast<char**>(kwlist), &win))
        return nullptr;
    if (!check_widget_arg(win, "win", true)) return nullptr;
    return attach_guard(module, win);
}

// ---- Module set-up ------------------------------------------------------

#define VYR_FN(name, impl) \
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

PyObject* compile_pattern(PyObject* module, const std::string& pattern, bool ignore_case) {
    Owned re(module_global(module, "re"));
    if (!re) return nullptr;
    Owned text(PyUnicode_FromStringAndSize(pattern.data(), static_cast<Py_ssize_t>(pattern.size())));
    if (!text) return nullptr;
    if (!ignore_case) return call_method(re.get(), "compile", text.get());
    Owned flag(PyObject_GetAttrString(re.get(), "IGNORECASE"));
    if (!flag) return nullptr;
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

PyObject* jargon_table() {
    Owned table(PyTuple_New(static_cast<Py_ssize_t>(texts::kJargonReplacementCount)));
    if (!table) return nullptr;
    for (std::size_t i = 0; i < texts::kJargonReplacementCount; ++i) {
        PyObject* pair = Py_BuildValue("(ss)", texts::kJargonReplacements[i].old_text,
                                       texts::kJargonReplacements[i].new_text);
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return table.release();
}

int add_owned(PyObject* module, const char* name, PyObject* value) {
    Owned v(value);
    if (!v) return -1;
    return PyModule_AddObjectRef(module, name, v.get());
}

int desk_guard_body(PyObject* module) {
    // Internal types of the stand-ins kept in the single-instance record.
    Py_XSETREF(g_lockfile_type, PyType_FromModuleAndSpec(module, &lockfile_spec, nullptr));
    Py_XSETREF(g_server_type, PyType_FromModuleAndSpec(module, &server_spec, nullptr));
    if (!g_lockfile_type || !g_server_type) return -1;

    // Standard modules the helpers use.
    for (const char* name : {"os", "sys", "time", "re"}) {
        if (add_owned(module, name, PyImport_ImportModule(name)) < 0) return -1;
    }

    // The hook, installed right after its definition.
    Owned hook(make_function(module, &dg_excepthook_def));
    if (!hook || PyModule_AddObjectRef(module, "_vyr_global_qt_excepthook", hook.get()) < 0)
        return -1;
    if (PySys_SetObject("excepthook", hook.get()) < 0) return -1;

    if (add_function(module, &dg_wrap_widget_in_scroll_def) < 0) return -1;

    {
        Owned state(PyDict_New());
        Owned empty(str(""));
        if (!state || !empty || PyDict_SetItemString(state.get(), "locked", Py_False) < 0 ||
            PyDict_SetItemString(state.get(), "app_key", empty.get()) < 0 ||
            PyDict_SetItemString(state.get(), "lock_fh", Py_None) < 0 ||
            PyDict_SetItemString(state.get(), "server", Py_None) < 0 ||
            PyDict_SetItemString(state.get(), "main_win", Py_None) < 0 ||
            PyModule_AddObjectRef(module, "_VYR_SINGLE_INSTANCE_STATE", state.get()) < 0)
            return -1;
    }

    if (add_function(module, &dg_activate_window_def) < 0) return -1;
    if (add_function(module, &dg_ensure_single_instance_def) < 0) return -1;

    if (add_owned(module, "_VYR_NOISY_SYMBOLS_RE",
                  compile_pattern(module, texts::kNoisySymbolsPattern, false)) < 0)
        return -1;
    if (add_owned(module, "_VYR_EN_PARENS_RE",
                  compile_pattern(module, english_labels_pattern(), true)) < 0)
        return -1;
    if (add_owned(module, "_VYR_JARGON_REPLACEMENTS", jargon_table()) < 0) return -1;

    if (add_function(module, &dg_clean_text_def) < 0) return -1;
    if (add_function(module, &dg_sanitize_ui_tree_def) < 0) return -1;
    if (add_function(module, &dg_attach_resolution_guard_def) < 0) return -1;

    Py_XSETREF(g_module, Py_NewRef(module));
    return 0;
}

}  // namespace

VYR_MULTI_PHASE_MODULE(vyr_desk_guard, desk_guard_body, nullptr)
