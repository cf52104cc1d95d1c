#include "py_support.hpp"

#include <cstdio>

namespace vyr::apppy {

namespace {

std::string describe(PyObject* exc) {
    if (!exc) return "unknown error";
    std::string out = Py_TYPE(exc)->tp_name;
    PyObject* s = PyObject_Str(exc);
    if (s) {
        const char* c = PyUnicode_AsUTF8(s);
        if (c && *c) out += std::string(": ") + c;
        Py_DECREF(s);
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return out;
}

}  // namespace

PyError::PyError() : exc_(PyErr_GetRaisedException()) {
    if (!exc_) {
        PyErr_SetString(PyExc_SystemError, "error without an exception set");
        exc_ = PyErr_GetRaisedException();
    }
    text_ = describe(exc_);
}

PyError::PyError(const PyError& o) : std::exception(o), text_(o.text_) {
    GilScope gil;
    exc_ = Py_XNewRef(o.exc_);
}

PyError::~PyError() {
    if (exc_) {
        GilScope gil;
        Py_CLEAR(exc_);
    }
}

void PyError::restore() {
    PyErr_SetRaisedException(exc_);
    exc_ = nullptr;
}

PyRef text(const std::string& utf8) {
    return checked(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

std::string utf8_of(PyObject* str) {
    PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", "surrogateescape");
    if (!bytes) {
        PyErr_Clear();
        bytes = PyUnicode_AsEncodedString(str, "utf-8", "replace");
        if (!bytes) throw PyError();
    }
    std::string out(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ error");
    }
}

void report_to_excepthook(std::exception_ptr error) noexcept {
    GilScope gil;
    try {
        std::rethrow_exception(error);
    } catch (...) {
        set_python_error_from_current_exception();
    }
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    PyObject* tb = PyException_GetTraceback(exc);
    PyObject* hook = PySys_GetObject("excepthook");  // borrowed
    if (hook && hook != Py_None) {
        PyObject* r = PyObject_CallFunctionObjArgs(hook, type, exc, tb ? tb : Py_None, nullptr);
        if (r) {
            Py_DECREF(r);
        } else {
            // The hook itself failed: show both errors on standard error.
            PyObject* hook_error = PyErr_GetRaisedException();
            if (hook_error) {
                PyErr_DisplayException(hook_error);
                Py_DECREF(hook_error);
            }
            PyErr_DisplayException(exc);
        }
    } else {
        PyErr_DisplayException(exc);
    }
    Py_XDECREF(tb);
    Py_DECREF(exc);
}

}  // namespace vyr::apppy
