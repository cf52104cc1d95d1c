#include "vyr/py_error.hpp"

#include <new>

namespace vyr::py {

std::string describe(PyObject* exception) {
    if (!exception) return "unknown error";
    // The text may run code of the exception's own: whatever it raises is
    // dropped, and the one being described stays as it was.
    PyObject* pending = PyErr_GetRaisedException();
    std::string out = Py_TYPE(exception)->tp_name;
    if (PyObject* text = PyObject_Str(exception)) {
        Py_ssize_t size = 0;
        if (const char* c = PyUnicode_AsUTF8AndSize(text, &size); c && size > 0) {
            out += ": ";
            out.append(c, static_cast<std::size_t>(size));
        }
        Py_DECREF(text);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return out;
}

Error::Error() : exception_(PyErr_GetRaisedException()) {
    if (!exception_) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exception_ = PyErr_GetRaisedException();
    }
    description_ = describe(exception_);
}

Error::Error(const Error& other) : std::exception(other), description_(other.description_) {
    GilScope gil;
    exception_ = Py_XNewRef(other.exception_);
}

Error::~Error() {
    if (exception_) {
        GilScope gil;
        Py_CLEAR(exception_);
    }
}

bool Error::ordinary() const { return matches(PyExc_Exception); }

bool Error::matches(PyObject* type) const {
    return exception_ && PyErr_GivenExceptionMatches(exception_, type);
}

void Error::restore() { PyErr_SetRaisedException(std::exchange(exception_, nullptr)); }

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw Error();
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (Error& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ failure");
    }
}

}  // namespace vyr::py
