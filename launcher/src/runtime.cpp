// The embedded runtime: start, bootstrap script, exit code, finalisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstdint>

#include "vyr/launcher/launcher.hpp"
#include "vyr/trace.hpp"

namespace vyr::launcher {
namespace {

// The argument form that matches the system's characters is picked by overload.
[[maybe_unused]] PyStatus set_config_arguments(PyConfig* config, int count, wchar_t** vector) {
    return PyConfig_SetArgv(config, count, vector);
}
[[maybe_unused]] PyStatus set_config_arguments(PyConfig* config, int count, char** vector) {
    return PyConfig_SetBytesArgv(config, count, vector);
}

// The exit code that the bootstrap script leaves in sys, 1 when it cannot be had.
int exit_code_from_runtime(int script_result) {
    PyObject* attribute = PySys_GetObject(kExitCodeAttribute);  // borrowed
    int code = 1;
    if (attribute != nullptr && script_result == 0) {
        const long value = PyLong_AsLong(attribute);
        // long is wider than the process status on some systems: only a signed 32-bit
        // value passes.
        if (value >= INT32_MIN && value <= INT32_MAX) code = static_cast<int>(value);
        else code = 1;
    }
    if (PyErr_Occurred() != nullptr) {
        vyr::trace::report("vyr.launcher", "exit code", "the application's exit code is not a 32-bit integer");
        PyErr_Clear();
        code = 1;
    }
    return code;
}

}  // namespace

int run_application(Platform& platform) {
    ArgumentVector args = platform.split_arguments();

    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;
    if (args.vector != nullptr && args.count > 0) {
        const PyStatus given = set_config_arguments(&config, args.count, args.vector);
        if (PyStatus_Exception(given))
            vyr::trace::report("vyr.launcher", "runtime arguments", given.err_msg ? given.err_msg : "not taken");
    }
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (args.vector != nullptr) platform.free_arguments(args);

    if (PyStatus_Exception(status) || !Py_IsInitialized()) {
        platform.message_box(kProductTitle, kRuntimeFailureText);
        return 1;
    }

    const int script_result = PyRun_SimpleStringFlags(kBootstrapScript, nullptr);
    const int code = exit_code_from_runtime(script_result);
    if (Py_FinalizeEx() < 0) vyr::trace::report("vyr.launcher", "runtime end", "the runtime's buffered output could not be written");
    return code;
}

}  // namespace vyr::launcher
