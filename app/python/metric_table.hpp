// METRIC_META as Python sees it, built from the views' one table.
#pragma once

#include "py_support.hpp"

namespace vyr::apppy {

// A read-only ordered mapping from metric key to a read-only mapping of
// "short", "title", "full_title" and "accent" (GIL held; throws py::Error).
PyRef make_metric_table();

}  // namespace vyr::apppy
