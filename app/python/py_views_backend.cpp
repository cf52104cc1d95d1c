#include "py_views_backend.hpp"

#include <climits>

#include "py_backend.hpp"
#include "vyr/py_records.hpp"

namespace vyr::apppy {

namespace {

long long saturated(PyObject* integer) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::Error();
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    return v;
}

}  // namespace

vyr::app::SettingValue views_value_from(PyObject* v) {
    using vyr::app::SettingValue;
    if (v == Py_None) return SettingValue();
    if (PyBool_Check(v)) return SettingValue(v == Py_True);
    if (PyLong_Check(v)) return SettingValue(saturated(v));
    if (PyFloat_Check(v)) return SettingValue(PyFloat_AS_DOUBLE(v));
    if (PyUnicode_Check(v)) return SettingValue(py::utf8(v));
    if (PyDict_Check(v)) {
        SettingValue::Object items;
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(v, &pos, &key, &value)) {
            PyRef k = py::checked(PyObject_Str(key));
            items.emplace_back(py::utf8(k.get()), views_value_from(value));
        }
        return SettingValue(std::move(items));
    }
    if (PyList_Check(v) || PyTuple_Check(v)) {
        PyRef fast = py::checked(PySequence_Fast(v, "a sequence was expected"));
        SettingValue::List items;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        for (Py_ssize_t i = 0; i < n; ++i)
            items.push_back(views_value_from(PySequence_Fast_GET_ITEM(fast.get(), i)));
        return SettingValue(std::move(items));
    }
    PyRef s = py::checked(PyObject_Str(v));
    return SettingValue(py::utf8(s.get()));
}

PyRef python_from(const vyr::app::SettingValue& value) {
    struct Visitor {
        PyRef operator()(std::monostate) const { return PyRef::borrow(Py_None); }
        PyRef operator()(bool b) const { return PyRef::borrow(b ? Py_True : Py_False); }
        PyRef operator()(long long i) const { return py::checked(PyLong_FromLongLong(i)); }
        PyRef operator()(double d) const { return py::checked(PyFloat_FromDouble(d)); }
        PyRef operator()(const std::string& s) const { return text(s); }
        PyRef operator()(const vyr::app::SettingValue::List& l) const {
            PyRef list = py::checked(PyList_New(0));
            for (const auto& item : l) py::check(PyList_Append(list.get(), python_from(item).get()));
            return list;
        }
        PyRef operator()(const vyr::app::SettingValue::Object& o) const {
            PyRef dict = py::checked(PyDict_New());
            for (const auto& [k, item] : o)
                py::check(PyDict_SetItem(dict.get(), text(k).get(), python_from(item).get()));
            return dict;
        }
    };
    return std::visit(Visitor{}, value.storage());
}

// ---- settings ---------------------------------------------------------------------

PyViewsSettings::PyViewsSettings(PyObject* manager) : manager_(Py_NewRef(manager)) {}

PyViewsSettings::~PyViewsSettings() {
    GilScope gil;
    Py_CLEAR(manager_);
}

vyr::app::SettingValue PyViewsSettings::get(const std::string& key,
                                            const vyr::app::SettingValue& default_value) const {
    GilScope gil;
    PyRef k = text(key);
    PyRef d = python_from(default_value);
    PyRef v = py::checked(PyObject_CallMethod(manager_, "get", "OO", k.get(), d.get()));
    return views_value_from(v.get());
}

void PyViewsSettings::set(const std::string& key, const vyr::app::SettingValue& value) {
    GilScope gil;
    PyRef k = text(key);
    PyRef v = python_from(value);
    PyRef r = py::checked(PyObject_CallMethod(manager_, "set", "OO", k.get(), v.get()));
}

// ---- engine --------------------------------------------------------------------------

PyViewsEngine::PyViewsEngine(PyObject* engine) : engine_(Py_NewRef(engine)) {}

PyViewsEngine::~PyViewsEngine() {
    GilScope gil;
    Py_CLEAR(engine_);
}

vyr::app::TerminateResult PyViewsEngine::terminate_process(long long pid, bool force,
                                                           const std::string& expected_name) {
    // One call per confirmation: the engine may have sent its signal before
    // failing, so a failed call is never repeated. Its error goes to the caller.
    GilScope gil;
    PyRef method = py::checked(PyObject_GetAttrString(engine_, "terminate_process"));
    PyRef args = py::checked(Py_BuildValue("(L)", pid));
    PyRef kwargs = py::checked(PyDict_New());
    py::check(PyDict_SetItemString(kwargs.get(), "force", force ? Py_True : Py_False));
    // The name's bytes as the engine's texts carry them (undecodable bytes as
    // escapes), so that the engine gets back the very name it gave.
    py::check(PyDict_SetItemString(kwargs.get(), "expected_name", py::system_text(expected_name).get()));
    PyRef pair = py::checked(PyObject_Call(method.get(), args.get(), kwargs.get()));
    PyRef fast = py::checked(PySequence_Fast(pair.get(), "a pair was expected"));
    if (PySequence_Fast_GET_SIZE(fast.get()) != 2) py::raise(PyExc_ValueError, "a pair was expected");
    const int ok = py::check(PyObject_IsTrue(PySequence_Fast_GET_ITEM(fast.get(), 0)));
    PyRef msg = py::checked(PyObject_Str(PySequence_Fast_GET_ITEM(fast.get(), 1)));
    vyr::app::TerminateResult result;
    result.ok = ok != 0;
    result.message = py::utf8(msg.get());
    return result;
}

void PyViewsEngine::trigger_folder_scan_async() {
    GilScope gil;
    PyRef r = py::checked(PyObject_CallMethod(engine_, "trigger_folder_scan_async", nullptr));
}

std::vector<FolderUsageInfo> PyViewsEngine::get_folder_usages() {
    GilScope gil;
    PyRef list = py::checked(PyObject_CallMethod(engine_, "get_folder_usages", nullptr));
    return py::read_records<FolderUsageInfo>(list.get());
}

// ---- backend ----------------------------------------------------------------------------

std::unique_ptr<vyr::app::SettingsStore> PyMonitorBackend::make_settings() {
    GilScope gil;
    PyRef cls = py::checked(PyObject_GetAttrString(module_, "SettingsManager"));
    PyRef manager = py::checked(PyObject_CallNoArgs(cls.get()));
    return std::make_unique<PyViewsSettings>(manager.get());
}

std::shared_ptr<vyr::app::MonitorEngine> PyMonitorBackend::make_engine() {
    GilScope gil;
    PyRef cls = py::checked(PyObject_GetAttrString(module_, "SystemMonitorEngine"));
    PyRef engine = py::checked(PyObject_CallNoArgs(cls.get()));
    engine_ = std::make_shared<PyViewsEngine>(engine.get());
    return engine_;
}

std::shared_ptr<vyr::shell::TelemetrySource> PyMonitorBackend::make_telemetry_source() {
    return std::make_shared<PyTelemetrySource>(engine_->object());
}

std::string PyMonitorBackend::assets_dir() {
    GilScope gil;
    PyRef dir = py::checked(PyObject_GetAttrString(module_, "ASSETS_DIR"));
    PyRef path = py::checked(PyOS_FSPath(dir.get()));
    if (PyBytes_Check(path.get())) return PyBytes_AS_STRING(path.get());
    PyRef encoded = py::checked(PyUnicode_EncodeFSDefault(path.get()));
    return PyBytes_AS_STRING(encoded.get());
}

}  // namespace vyr::apppy
