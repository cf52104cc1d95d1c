// The records across both bindings: built by the engine's record builder
// into the engine module's own record types, and read back by the app's
// telemetry source and engine adapter. Every field of every record carries a
// value of its own, chosen by the field's place among the record's members
// (their order in memory, which is their order in records.hpp) and checked
// by its place among the runtime's fields (dataclasses.fields): a field
// filled from, or read into, another member of the same type fails.
#include <Python.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "py_backend.hpp"
#include "py_support.hpp"
#include "py_views_backend.hpp"
#include "vyr/py_records.hpp"
#include "vyr/record_fields.hpp"

namespace {

namespace py = vyr::py;
namespace rf = vyr::record_fields;
using py::Ref;

// The members of record R in their order in memory.
template <typename R>
std::vector<rf::Member<R>> members_in_order() {
    const R probe{};
    auto offset = [&](const rf::Member<R>& m) {
        return std::visit(
            [&](auto pointer) {
                return reinterpret_cast<const char*>(&(probe.*pointer)) - reinterpret_cast<const char*>(&probe);
            },
            m);
    };
    std::vector<rf::Member<R>> members;
    for (const auto& field : rf::Record<R>::fields) members.push_back(field.member);
    std::sort(members.begin(), members.end(), [&](const auto& a, const auto& b) { return offset(a) < offset(b); });
    return members;
}

template <typename T>
using Plain = std::remove_cv_t<std::remove_reference_t<T>>;

// The value of the member at `place` of a record with the number `record`.
template <typename T>
T value_at(int record, std::size_t place) {
    const double base = record * 100.0 + static_cast<double>(place);
    if constexpr (std::is_same_v<T, double>) {
        return base + 0.5;
    } else if constexpr (std::is_same_v<T, long long>) {
        return static_cast<long long>(base);
    } else if constexpr (std::is_same_v<T, std::string>) {
        // Non-ASCII text and a byte that is no UTF-8, which cross as an escape.
        return "r" + std::to_string(record) + "f" + std::to_string(place) + " \xc3\xa7\xff";
    } else if constexpr (std::is_same_v<T, std::vector<double>>) {
        return {base + 0.25, base + 0.75};
    } else {
        T parts(2);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const int number = record * 10 + static_cast<int>(i);
            const auto members = members_in_order<vyr::DiskPartitionInfo>();
            for (std::size_t p = 0; p < members.size(); ++p)
                std::visit([&](auto m) { parts[i].*m = value_at<Plain<decltype(parts[i].*m)>>(number, p); },
                           members[p]);
        }
        return parts;
    }
}

// Record R with the values of record number `record`.
template <typename R>
R filled(int record) {
    R r;
    const auto members = members_in_order<R>();
    for (std::size_t p = 0; p < members.size(); ++p)
        std::visit([&](auto m) { r.*m = value_at<Plain<decltype(r.*m)>>(record, p); }, members[p]);
    return r;
}

// The engine module's record types and the fields of each, as the runtime has them.
struct Runtime {
    Ref engine;
    Ref fields_fn;  // dataclasses.fields
    py::RecordTypes types;

    static Runtime& get() {
        static Runtime* runtime = [] {
            vyr::apppy::GilScope gil;
            auto* r = new Runtime;
            r->engine = py::checked(PyImport_ImportModule("engine"));
            Ref dataclasses = py::checked(PyImport_ImportModule("dataclasses"));
            r->fields_fn = py::checked(PyObject_GetAttrString(dataclasses.get(), "fields"));
            r->types = py::RecordTypes::of_module(r->engine.get());
            return r;
        }();
        return *runtime;
    }

    // The field names of the runtime's record type R, in order.
    template <typename R>
    std::vector<std::string> field_names() {
        Ref fields = py::checked(PyObject_CallOneArg(fields_fn.get(), types.type<R>()));
        std::vector<std::string> names;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.get()); ++i) {
            Ref name = py::checked(PyObject_GetAttrString(PyTuple_GET_ITEM(fields.get(), i), "name"));
            names.push_back(PyUnicode_AsUTF8(name.get()));
        }
        return names;
    }
};

template <typename R>
Ref record_by_place(int record);

// The runtime's value of the field at `place` of record number `record`.
template <typename R>
Ref python_value_at(int record, std::size_t place) {
    return std::visit(
        [&](auto m) -> Ref {
            using T = Plain<decltype(std::declval<R&>().*m)>;
            const T v = value_at<T>(record, place);
            if constexpr (std::is_same_v<T, double>) {
                return py::checked(PyFloat_FromDouble(v));
            } else if constexpr (std::is_same_v<T, long long>) {
                return py::checked(PyLong_FromLongLong(v));
            } else if constexpr (std::is_same_v<T, std::string>) {
                return py::system_text(v);
            } else if constexpr (std::is_same_v<T, std::vector<double>>) {
                return py::checked(Py_BuildValue("[dd]", v[0], v[1]));
            } else {
                Ref a = record_by_place<vyr::DiskPartitionInfo>(record * 10);
                Ref b = record_by_place<vyr::DiskPartitionInfo>(record * 10 + 1);
                return py::checked(Py_BuildValue("[OO]", a.get(), b.get()));
            }
        },
        members_in_order<R>()[place]);
}

// A record of the runtime made by its type with every field given by name,
// the value of each chosen by the field's place among the runtime's fields.
template <typename R>
Ref record_by_place(int record) {
    Runtime& rt = Runtime::get();
    const std::vector<std::string> names = rt.field_names<R>();
    Ref kwargs = py::checked(PyDict_New());
    for (std::size_t place = 0; place < names.size(); ++place)
        py::check(PyDict_SetItemString(kwargs.get(), names[place].c_str(), python_value_at<R>(record, place).get()));
    Ref no_args = py::checked(PyTuple_New(0));
    return py::checked(PyObject_Call(rt.types.type<R>(), no_args.get(), kwargs.get()));
}

// The engine's builder puts each member's value in the runtime's field of
// the same place.
template <typename R>
void expect_built_by_place(int record) {
    SCOPED_TRACE(rf::Record<R>::name);
    Runtime& rt = Runtime::get();
    vyr::apppy::GilScope gil;
    Ref built = rt.types.build(filled<R>(record));
    const std::vector<std::string> names = rt.field_names<R>();
    ASSERT_EQ(names.size(), rf::field_count<R>());
    for (std::size_t place = 0; place < names.size(); ++place) {
        Ref got = py::checked(PyObject_GetAttrString(built.get(), names[place].c_str()));
        Ref want = python_value_at<R>(record, place);
        EXPECT_EQ(Py_TYPE(got.get()), Py_TYPE(want.get())) << names[place];
        EXPECT_EQ(py::check(PyObject_RichCompareBool(got.get(), want.get(), Py_EQ)), 1) << names[place];
    }
}

// Each member of `a` equals the member of `b` (partitions member by member).
template <typename R>
void expect_same_members(const R& got, const R& want) {
    const auto members = members_in_order<R>();
    for (std::size_t place = 0; place < members.size(); ++place) {
        SCOPED_TRACE("member " + std::to_string(place));
        std::visit(
            [&](auto m) {
                using T = Plain<decltype(got.*m)>;
                if constexpr (std::is_same_v<T, std::vector<vyr::DiskPartitionInfo>>) {
                    ASSERT_EQ((got.*m).size(), (want.*m).size());
                    for (std::size_t i = 0; i < (got.*m).size(); ++i) expect_same_members((got.*m)[i], (want.*m)[i]);
                } else {
                    EXPECT_EQ(got.*m, want.*m);
                }
            },
            members[place]);
    }
}

// An engine of the runtime that answers with the given records.
Ref engine_answering(PyObject* snapshot, PyObject* processes, PyObject* folders) {
    Ref globals = py::checked(PyDict_New());
    py::check(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    Ref defined = py::checked(PyRun_String(
        "class Engine:\n"
        "    def __init__(self, snapshot, processes, folders):\n"
        "        self.answers = snapshot, processes, folders\n"
        "    def get_system_snapshot(self):\n"
        "        return self.answers[0]\n"
        "    def collect_processes(self, sort_by, search_query, group_by_app, limit):\n"
        "        return self.answers[1]\n"
        "    def get_folder_usages(self):\n"
        "        return self.answers[2]\n",
        Py_file_input, globals.get(), globals.get()));
    PyObject* cls = PyDict_GetItemString(globals.get(), "Engine");  // borrowed
    return py::checked(PyObject_CallFunctionObjArgs(cls, snapshot, processes, folders, nullptr));
}

TEST(RecordRoundTrip, TheEngineBuilderFillsEachFieldFromItsOwnMember) {
    expect_built_by_place<vyr::DiskPartitionInfo>(1);
    expect_built_by_place<vyr::FolderUsageInfo>(2);
    expect_built_by_place<vyr::SystemMetricsSnapshot>(3);
    expect_built_by_place<vyr::ProcessEntry>(4);
}

TEST(RecordRoundTrip, TheAppReadsEachFieldIntoItsOwnMember) {
    Ref engine;
    {
        vyr::apppy::GilScope gil;
        Ref snapshot = record_by_place<vyr::SystemMetricsSnapshot>(3);
        Ref process = record_by_place<vyr::ProcessEntry>(4);
        Ref folder = record_by_place<vyr::FolderUsageInfo>(2);
        Ref processes = py::checked(Py_BuildValue("[O]", process.get()));
        Ref folders = py::checked(Py_BuildValue("[O]", folder.get()));
        engine = engine_answering(snapshot.get(), processes.get(), folders.get());
    }
    vyr::apppy::PyTelemetrySource telemetry(engine.get());
    vyr::apppy::PyViewsEngine views(engine.get());
    {
        SCOPED_TRACE("snapshot");
        expect_same_members(telemetry.snapshot(), filled<vyr::SystemMetricsSnapshot>(3));
    }
    const auto rows = telemetry.processes("workload", "", false, 75);
    ASSERT_EQ(rows.size(), 1u);
    {
        SCOPED_TRACE("process");
        expect_same_members(rows[0], filled<vyr::ProcessEntry>(4));
    }
    const auto folders = views.get_folder_usages();
    ASSERT_EQ(folders.size(), 1u);
    {
        SCOPED_TRACE("folder");
        expect_same_members(folders[0], filled<vyr::FolderUsageInfo>(2));
    }
    vyr::apppy::GilScope gil;
    engine = Ref();
}

}  // namespace
