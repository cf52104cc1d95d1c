#include "vyr/module_init.hpp"

#include <cstdio>
#include <frameobject.h>

namespace vyr::pymod {

namespace {

// Copies spec.<from> into the module dict as <to>; with allow_none false a
// None value is skipped. A missing attribute is not an error.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to,
                   bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    int rc = 0;
    if (allow_none || value != Py_None) rc = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return rc;
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

    PyObject* modname = PyObject_GetAttrString(spec, "name");
    if (!modname) return nullptr;
    PyObject* module = PyModule_NewObject(modname);
    Py_DECREF(modname);
    if (!module) return nullptr;

    PyObject* dict = PyModule_GetDict(module);
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int SingleModule::exec(PyObject* module, BodyFn body) {
    if (module_) {
        if (module_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     name_);
        return -1;
    }
    module_ = Py_NewRef(module);

    bool ok = false;
    do {
        const long ct_major = PY_VERSION_HEX >> 24;  // compile time
        const long ct_minor = (PY_VERSION_HEX >> 16) & 0xFF;
        const unsigned long run = Py_Version;
        const long run_major = static_cast<long>(run >> 24);
        const long run_minor = static_cast<long>((run >> 16) & 0xFF);
        if (run_major != ct_major || run_minor != ct_minor) {
            char message[200];
            std::snprintf(message, sizeof message,
                          "compile time Python version %ld.%ld of module '%.100s' %s runtime "
                          "version %ld.%ld",
                          ct_major, ct_minor, name_, "does not match", run_major, run_minor);
            if (PyErr_WarnEx(nullptr, message, 1) < 0) break;
        }
        PyObject* dict = PyModule_GetDict(module);
        if (!PyDict_GetItemString(dict, "__builtins__")) {
            if (PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()) < 0) break;
        }
        if (body && body(module) < 0) break;
        PyObject* test = PyDict_New();
        if (!test) break;
        const int rc = PyObject_SetAttrString(module, "__test__", test);
        Py_DECREF(test);
        if (rc < 0) break;
        ok = true;
    } while (false);

    if (ok) return 0;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", name_);
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
