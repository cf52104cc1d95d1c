// vyr_native_core: DUML frame building, parsing and checksums.
// Single-phase initialisation on the plain C API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vyr/native/duml.hpp"
#include "vyr/py_error.hpp"

namespace {

namespace py = vyr::py;

const std::uint8_t* as_bytes(const char* p) { return reinterpret_cast<const std::uint8_t*>(p); }

PyObject* duml_build_frame(PyObject*, PyObject* args) {
    vyr::duml::Fields f;
    const char* payload = nullptr;
    Py_ssize_t payload_len = 0;
    if (!PyArg_ParseTuple(args, "iiiiiiiis#", &f.sender_type, &f.sender_index, &f.receiver_type,
                          &f.receiver_index, &f.seq, &f.cmd_type, &f.cmd_set, &f.cmd_id, &payload,
                          &payload_len))
        return nullptr;
    return py::entry([&] {
        if (payload_len > static_cast<Py_ssize_t>(vyr::duml::kMaxBuildPayload)) {
            PyErr_Format(PyExc_ValueError, "payload too long: %zd bytes (at most %d)", payload_len,
                         static_cast<int>(vyr::duml::kMaxBuildPayload));
            throw py::Error();
        }
        const std::vector<std::uint8_t> frame =
            vyr::duml::build_frame(f, as_bytes(payload), static_cast<std::size_t>(payload_len));
        return py::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                                     static_cast<Py_ssize_t>(frame.size())));
    });
}

PyObject* duml_parse_frame(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t len = 0;
    if (!PyArg_ParseTuple(args, "y#", &data, &len)) return nullptr;
    return py::entry([&] {
        const auto parsed = vyr::duml::parse_frame(as_bytes(data), static_cast<std::size_t>(len));
        if (!parsed) return py::Ref::borrow(Py_None);
        py::Ref payload = py::checked(
            PyBytes_FromStringAndSize(data + parsed->payload_offset, static_cast<Py_ssize_t>(parsed->payload_len)));
        const auto& f = parsed->fields;
        return py::checked(Py_BuildValue("(iiiiiiiiO)", f.sender_type, f.sender_index, f.receiver_type,
                                         f.receiver_index, f.seq, f.cmd_type, f.cmd_set, f.cmd_id, payload.get()));
    });
}

PyObject* duml_crc8(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t len = 0;
    if (!PyArg_ParseTuple(args, "y#", &data, &len)) return nullptr;
    return PyLong_FromLong(vyr::duml::crc8(as_bytes(data), static_cast<std::size_t>(len)));
}

PyObject* duml_crc16(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t len = 0;
    if (!PyArg_ParseTuple(args, "y#", &data, &len)) return nullptr;
    return PyLong_FromLong(vyr::duml::crc16(as_bytes(data), static_cast<std::size_t>(len)));
}

PyMethodDef methods[] = {
    {"duml_build_frame", duml_build_frame, METH_VARARGS, nullptr},
    {"duml_parse_frame", duml_parse_frame, METH_VARARGS, nullptr},
    {"duml_crc8", duml_crc8, METH_VARARGS, nullptr},
    {"duml_crc16", duml_crc16, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vyr_native_core", nullptr, -1, methods, nullptr, nullptr, nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vyr_native_core(void) { return PyModule_Create2(&module_def, 1013); }
