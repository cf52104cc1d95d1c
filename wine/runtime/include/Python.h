// The test runtime's interface: the part of the CPython 3.12 embedding API that the
// launcher calls, with the same names and signatures, so the launcher's own code builds
// unchanged against python312.dll made from wine/runtime/test_runtime.cpp.
//
// Only the fields the launcher touches exist in PyConfig; every other type is opaque.
#pragma once

#include <stddef.h>
#include <wchar.h>

#ifdef VYR_TEST_RUNTIME_BUILD
#define PyAPI_FUNC(type) __declspec(dllexport) type
#else
#define PyAPI_FUNC(type) __declspec(dllimport) type
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef ptrdiff_t Py_ssize_t;

typedef struct _object PyObject;

typedef struct {
    enum { _PyStatus_TYPE_OK = 0, _PyStatus_TYPE_ERROR = 1, _PyStatus_TYPE_EXIT = 2 } _type;
    const char* func;
    const char* err_msg;
    int exitcode;
} PyStatus;

typedef struct {
    Py_ssize_t length;
    wchar_t** items;
} PyWideStringList;

typedef struct PyConfig {
    int _config_init;
    int parse_argv;
    PyWideStringList argv;
} PyConfig;

typedef struct {
    int cf_flags;
    int cf_feature_version;
} PyCompilerFlags;

PyAPI_FUNC(void) PyConfig_InitPythonConfig(PyConfig* config);
PyAPI_FUNC(PyStatus) PyConfig_SetArgv(PyConfig* config, Py_ssize_t argc, wchar_t* const* argv);
PyAPI_FUNC(PyStatus) PyConfig_SetBytesArgv(PyConfig* config, Py_ssize_t argc, char* const* argv);
PyAPI_FUNC(void) PyConfig_Clear(PyConfig* config);
PyAPI_FUNC(PyStatus) Py_InitializeFromConfig(const PyConfig* config);
PyAPI_FUNC(int) PyStatus_Exception(PyStatus status);
PyAPI_FUNC(int) Py_IsInitialized(void);
PyAPI_FUNC(int) PyRun_SimpleStringFlags(const char* command, PyCompilerFlags* flags);
PyAPI_FUNC(PyObject*) PySys_GetObject(const char* name);
PyAPI_FUNC(long) PyLong_AsLong(PyObject* object);
PyAPI_FUNC(PyObject*) PyErr_Occurred(void);
PyAPI_FUNC(void) PyErr_Clear(void);
PyAPI_FUNC(int) Py_FinalizeEx(void);

#ifdef __cplusplus
}
#endif
