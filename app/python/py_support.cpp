#include "py_support.hpp"

namespace vyr::apppy {

PyRef text(const std::string& utf8) {
    return py::checked(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

void report_to_excepthook(std::exception_ptr error) noexcept {
    GilScope gil;
    try {
        std::rethrow_exception(error);
    } catch (...) {
        py::raise_current_exception();
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
