// The engine module's settings store, SettingsManager: a class of the
// runtime that keeps the user's settings in a real dict and reads and writes
// the settings file with the runtime's json module.
#pragma once

#include <Python.h>

namespace vyr::engine_binding {

// Defines SettingsManager, with its DEFAULT_SETTINGS, on `module`. The store
// looks up the module's CONFIG_DIR and SETTINGS_FILE at every use, so a
// caller that sets them elsewhere moves the file.
void define_settings_manager(PyObject* module);

}  // namespace vyr::engine_binding
