// app.main(): the whole program, from the Qt application to SystemExit.
#pragma once

#include <Python.h>

namespace vyr::apppy {

// Runs the monitor; always returns null with SystemExit (the event loop's
// result) or the start-up error set.
PyObject* run_main(PyObject* module);

}  // namespace vyr::apppy
