// vyr_build_info: the build version of the system.
#include <Python.h>

#include "vyr/module_init.hpp"

namespace {

int build_info_body(PyObject* module) {
    return PyModule_AddStringConstant(module, "VERSION", "1.5.0");
}

}  // namespace

VYR_MULTI_PHASE_MODULE(vyr_build_info, build_info_body, nullptr)
