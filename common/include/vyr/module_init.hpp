// Shared multi-phase initialisation of the system's extension modules.
//
// Every module built on it behaves the same way:
//  - it is loaded into one interpreter per process; another interpreter gets
//    ImportError("Interpreter change detected - ...");
//  - its set-up runs once per process: a later import, or one after the module
//    was removed from sys.modules, returns the object made first;
//  - executing the set-up on a second, different module object raises
//    RuntimeError("Module '<name>' has already been imported. ...");
//  - a runtime other than 3.12 gets a RuntimeWarning with the version texts;
//  - the module carries an empty __test__ dict;
//  - a failed set-up adds a traceback entry "init <name>", drops the module
//    object and leaves the next import to start from scratch.
#pragma once

#include <Python.h>

namespace vyr::pymod {

// The body of a module's set-up: creates its attributes on `module`.
// Returns 0 on success, -1 with an exception set on failure.
using BodyFn = int (*)(PyObject* module);

class SingleModule {
public:
    explicit constexpr SingleModule(const char* name) : name_(name) {}

    // Py_mod_create slot.
    PyObject* create(PyObject* spec, PyModuleDef* def);
    // Py_mod_exec slot.
    int exec(PyObject* module, BodyFn body);

    const char* name() const { return name_; }
    // The module object of the completed set-up (borrowed), or null.
    PyObject* module() const { return module_; }

private:
    int check_single_interpreter();

    const char* name_;
    long long main_interpreter_id_ = -1;
    PyObject* module_ = nullptr;
};

// Adds a traceback entry named `funcname` (for example "init engine") to the
// exception that is being raised.
void add_traceback_entry(const char* funcname, const char* filename);

}  // namespace vyr::pymod

// Defines the create and exec slots, the module definition and PyInit_<name>
// for a module whose set-up is `body`. `methods` may be nullptr.
#define VYR_MULTI_PHASE_MODULE(modname, body, methods)                              \
    namespace {                                                                     \
    ::vyr::pymod::SingleModule vyr_module_once_(#modname);                          \
    PyObject* vyr_module_create_(PyObject* spec, PyModuleDef* def) {                \
        return vyr_module_once_.create(spec, def);                                  \
    }                                                                               \
    int vyr_module_exec_(PyObject* m) { return vyr_module_once_.exec(m, (body)); }  \
    PyModuleDef_Slot vyr_module_slots_[] = {                                        \
        {Py_mod_create, reinterpret_cast<void*>(&vyr_module_create_)},              \
        {Py_mod_exec, reinterpret_cast<void*>(&vyr_module_exec_)},                  \
        {0, nullptr}};                                                              \
    PyMethodDef vyr_module_no_methods_[] = {{nullptr, nullptr, 0, nullptr}};        \
    PyModuleDef vyr_module_def_ = {PyModuleDef_HEAD_INIT, #modname, nullptr, 0,     \
        (methods) ? (methods) : vyr_module_no_methods_, vyr_module_slots_,          \
        nullptr, nullptr, nullptr};                                                 \
    }                                                                               \
    PyMODINIT_FUNC PyInit_##modname(void) { return PyModuleDef_Init(&vyr_module_def_); }
