// Small helpers for the app module's calls into the runtime: an owning
// reference, a GIL scope, and a C++ exception that carries a Python error
// across C++ frames until it can be reported or raised.
#pragma once

#include <Python.h>

#include "vyr/py_ref.hpp"

#include <exception>
#include <string>

namespace vyr::apppy {

using PyRef = vyr::py::Ref;
using GilScope = vyr::py::GilScope;
using GilRelease = vyr::py::GilRelease;

// A Python error taken out of the runtime's error indicator. Create it only
// with the GIL held and an error set; the error is dropped (under the GIL)
// when the exception object goes away unreported.
class PyError : public std::exception {
public:
    PyError();  // fetches the current error
    ~PyError() override;
    PyError(const PyError& o);
    PyError& operator=(const PyError&) = delete;

    const char* what() const noexcept override { return text_.c_str(); }
    // Puts the error back into the indicator (GIL held); the object keeps none.
    void restore();
    // The exception object, borrowed (GIL held).
    PyObject* value() const { return exc_; }

private:
    PyObject* exc_ = nullptr;
    std::string text_;
};

// Throws PyError when `p` is null, else returns it as an owning reference.
inline PyRef checked(PyObject* p) {
    if (!p) throw PyError();
    return PyRef(p);
}

inline void check_rc(int rc) {
    if (rc < 0) throw PyError();
}

// A Python text from UTF-8 (invalid bytes replaced).
PyRef text(const std::string& utf8);

// UTF-8 of a Python str; surrogates escaped back to their bytes where they
// came from undecodable data, otherwise replaced.
std::string utf8_of(PyObject* str);

// Raises the C++ exception being handled as a Python error (call inside a
// catch block): a PyError goes back as itself, anything else as RuntimeError.
void set_python_error_from_current_exception() noexcept;

// Passes an exception to sys.excepthook with the GIL held; the program goes on.
void report_to_excepthook(std::exception_ptr error) noexcept;

}  // namespace vyr::apppy
