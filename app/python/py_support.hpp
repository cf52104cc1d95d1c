// Small helpers for the app module's calls into the runtime, on the common
// owning reference, GIL scopes and error idiom (a failed call throws
// py::Error, which carries the Python error across C++ frames until it is
// reported or raised).
#pragma once

#include <Python.h>

#include "vyr/py_error.hpp"
#include "vyr/py_ref.hpp"

#include <exception>
#include <string>

namespace vyr::apppy {

namespace py = ::vyr::py;
using PyRef = py::Ref;
using GilScope = py::GilScope;
using GilRelease = py::GilRelease;

// The trace category of the app module's contained failures.
inline constexpr const char* kTrace = "vyr.app";

// A Python text from UTF-8 (invalid bytes replaced).
PyRef text(const std::string& utf8);

// Passes an exception to sys.excepthook with the GIL held; the program goes on.
void report_to_excepthook(std::exception_ptr error) noexcept;

}  // namespace vyr::apppy
