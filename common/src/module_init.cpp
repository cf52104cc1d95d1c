#include "vyr/module_init.hpp"

#include "vyr/py_error.hpp"

#include <cstdio>
#include <frameobject.h>

namespace vyr::pymod {

namespace py = vyr::py;

namespace {

// Copies spec.<from> into the module dict as <to>; with allow_none false a
// None value is skipped. A missing attribute is not an error.
void copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    py::Ref value;
    try {
        value = py::checked(PyObject_GetAttrString(spec, from));
    } catch (const py::Error& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        return;
    }
    if (allow_none || value.get() != Py_None) py::check(PyDict_SetItemString(dict, to, value.get()));
}

// A RuntimeWarning when the runtime is not the version the module was built for.
void warn_on_other_version(const char* name) {
    const long ct_major = PY_VERSION_HEX >> 24;  // compile time
    const long ct_minor = (PY_VERSION_HEX >> 16) & 0xFF;
    const unsigned long run = Py_Version;
    const long run_major = static_cast<long>(run >> 24);
    const long run_minor = static_cast<long>((run >> 16) & 0xFF);
    if (run_major == ct_major && run_minor == ct_minor) return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %ld.%ld of module '%.100s' %s runtime version %ld.%ld", ct_major,
                  ct_minor, name, "does not match", run_major, run_minor);
    py::check(PyErr_WarnEx(nullptr, message, 1));
}

}  // namespace

int SingleModule::check_single_interpreter() {
    const long long current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (main_interpreter_id_ == -1) {
        main_interpreter_id_ = current;
        return current == -1 ? -1 : 0;
    }
    if (main_interpreter_id_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return -1;
    }
    return 0;
}

PyObject* SingleModule::create(PyObject* spec, PyModuleDef* /*def*/) {
    if (check_single_interpreter() != 0) return nullptr;
    if (module_) return Py_NewRef(module_);
    return py::entry([&] {
        py::Ref modname = py::checked(PyObject_GetAttrString(spec, "name"));
        py::Ref module = py::checked(PyModule_NewObject(modname.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_spec_attr(spec, dict, "loader", "__loader__", true);
        copy_spec_attr(spec, dict, "origin", "__file__", true);
        copy_spec_attr(spec, dict, "parent", "__package__", true);
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false);
        return module;
    });
}

int SingleModule::exec(PyObject* module, BodyFn body) {
    if (module_) {
        if (module_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", name_);
        return -1;
    }
    module_ = Py_NewRef(module);

    const int rc = py::entry_status([&] {
        warn_on_other_version(name_);
        PyObject* dict = PyModule_GetDict(module);
        if (!PyDict_GetItemString(dict, "__builtins__"))
            py::check(PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()));
        if (body && body(module) < 0) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", name_);
            throw py::Error();
        }
        py::check(PyObject_SetAttrString(module, "__test__", py::checked(PyDict_New()).get()));
    });
    if (rc == 0) return 0;

    // A failed set-up names itself in the traceback, and the next import
    // starts from scratch.
    char funcname[160];
    std::snprintf(funcname, sizeof funcname, "init %s", name_);
    add_traceback_entry(funcname, name_);
    Py_CLEAR(module_);
    return -1;
}

void add_traceback_entry(const char* funcname, const char* filename) {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(filename, funcname, 1);
    PyObject* globals = code ? PyDict_New() : nullptr;
    PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr)
                                   : nullptr;
    // Any error raised while building the entry gives way to the original one.
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

}  // namespace vyr::pymod
