#include "metric_table.hpp"

#include "vyr/app/metric_meta.hpp"

namespace vyr::apppy {

PyRef make_metric_table() {
    PyRef table = py::checked(PyDict_New());
    for (const auto& m : vyr::app::METRIC_META) {
        PyRef entry = py::checked(PyDict_New());
        const std::pair<const char*, const char*> fields[] = {
            {"short", m.short_}, {"title", m.title}, {"full_title", m.full_title}, {"accent", m.accent}};
        for (const auto& [name, value] : fields)
            py::check(PyDict_SetItemString(entry.get(), name, text(value).get()));
        PyRef frozen = py::checked(PyDictProxy_New(entry.get()));
        py::check(PyDict_SetItemString(table.get(), m.key, frozen.get()));
    }
    return py::checked(PyDictProxy_New(table.get()));
}

}  // namespace vyr::apppy
