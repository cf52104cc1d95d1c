// The records across both bindings: built by the engine's record builder
// into the engine module's own record types, and read back by the app's
// telemetry source and engine adapter. Every field of every record carries a
// value of its own, chosen by the field's place among the record's members
// (their order in memory, which is their order in records.hpp) and checked
// by its place among the runtime's fields (dataclasses.fields): a field
// filled from, or read into, another member of the same type fails.
//
// The builder calls the class that the module carries at that moment; what
// it makes is what that class makes when called with the same values.
#include <Python.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
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
        Ref fields = py::checked(PyObject_CallOneArg(fields_fn.get(), types.type<R>().get()));
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
    return py::checked(PyObject_Call(rt.types.type<R>().get(), no_args.get(), kwargs.get()));
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

// Texts of the system become the str that the runtime's decoder makes of
// them (undecodable bytes as escapes), whatever their length and wherever a
// byte above ASCII sits.
TEST(SystemText, WhatTheDecoderMakes) {
    vyr::apppy::GilScope gil;
    std::vector<std::string> texts = {"", "a", "\xff", "ab", "\xc3\xa7"};
    for (std::size_t n : {7, 8, 9, 15, 16, 17, 33}) {
        texts.push_back(std::string(n, 'a'));
        for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
            std::string t(n, 'a');
            t[at] = '\xff';
            texts.push_back(t);
        }
    }
    for (const std::string& t : texts) {
        SCOPED_TRACE(t);
        Ref got = py::system_text(t);
        Ref want = py::checked(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), "surrogateescape"));
        EXPECT_EQ(PyUnicode_Compare(got.get(), want.get()), 0);
        EXPECT_EQ(PyUnicode_KIND(got.get()), PyUnicode_KIND(want.get()));
        EXPECT_EQ(PyUnicode_IS_ASCII(got.get()), PyUnicode_IS_ASCII(want.get()));
    }
}

// ---- records as their classes make them ----------------------------------------

// Python helpers of these tests, in a namespace of their own (kept for the
// life of the test program).
PyObject* helpers() {
    static PyObject* ns = [] {
        Ref globals = py::checked(PyDict_New());
        py::check(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
        py::checked(PyRun_String(
            "import dataclasses, engine, types\n"
            "def describe(record):\n"
            "    # What a caller can see of a record, NaN aside.\n"
            "    attributes = getattr(record, '__dict__', None)\n"
            "    return (type(record), repr(record), dataclasses.asdict(record),\n"
            "            None if attributes is None else [(k, type(v), v) for k, v in attributes.items()])\n"
            "def after_changes(record):\n"
            "    # A caller's changes: a field taken away and set again, an attribute more.\n"
            "    first = dataclasses.fields(record)[0].name\n"
            "    value = getattr(record, first)\n"
            "    delattr(record, first)\n"
            "    setattr(record, first, value)\n"
            "    record.note = 'n'\n"
            "    return describe(record)\n"
            "def shared(a, b):\n"
            "    # The lists, and the records in them, that two records share.\n"
            "    out = []\n"
            "    for f in dataclasses.fields(a):\n"
            "        x, y = getattr(a, f.name), getattr(b, f.name)\n"
            "        if isinstance(x, list) and (x is y or any(\n"
            "                p is q for p, q in zip(x, y) if dataclasses.is_dataclass(p))):\n"
            "            out.append(f.name)\n"
            "    return out\n"
            "def copy_of(cls, extra=(), **options):\n"
            "    # A new dataclass with the fields of `cls`.\n"
            "    specs = []\n"
            "    for f in dataclasses.fields(cls):\n"
            "        if f.default is not dataclasses.MISSING:\n"
            "            specs.append((f.name, f.type, dataclasses.field(default=f.default)))\n"
            "        elif f.default_factory is not dataclasses.MISSING:\n"
            "            specs.append((f.name, f.type, dataclasses.field(default_factory=f.default_factory)))\n"
            "        else:\n"
            "            specs.append((f.name, f.type))\n"
            "    return dataclasses.make_dataclass(cls.__name__, specs + list(extra), **options)\n"
            "def records_with(process):\n"
            "    return types.SimpleNamespace(\n"
            "        DiskPartitionInfo=copy_of(engine.DiskPartitionInfo),\n"
            "        FolderUsageInfo=copy_of(engine.FolderUsageInfo),\n"
            "        SystemMetricsSnapshot=copy_of(engine.SystemMetricsSnapshot),\n"
            "        ProcessEntry=process)\n"
            "def own_init(self, **values):\n"
            "    for name, value in values.items():\n"
            "        setattr(self, name, value)\n"
            "    self.name = self.name.upper()\n"
            "def post_init(self):\n"
            "    self.checked = True\n",
            Py_file_input, globals.get(), globals.get()));
        return globals.release();
    }();
    return ns;
}

Ref helper_call(const char* name, std::initializer_list<PyObject*> args) {
    PyObject* fn = PyDict_GetItemString(helpers(), name);  // borrowed
    std::vector<PyObject*> argv(args);
    return py::checked(PyObject_Vectorcall(fn, argv.data(), argv.size(), nullptr));
}

Ref evaluated(const char* expression) {
    return py::checked(PyRun_String(expression, Py_eval_input, helpers(), helpers()));
}

std::string repr_text(PyObject* o) {
    Ref r = py::checked(PyObject_Repr(o));
    return PyUnicode_AsUTF8(r.get());
}

bool equal(PyObject* a, PyObject* b) { return py::check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1; }

// Expects `built` to be what its class made of the same values (`made`):
// the same type, equal, the same repr and asdict, and the same attributes
// in the same order, each of the same type and value.
void expect_as_made(PyObject* built, PyObject* made) {
    EXPECT_EQ(repr_text(built), repr_text(made));
    EXPECT_TRUE(equal(built, made));
    Ref seen = helper_call("describe", {built});
    Ref expected = helper_call("describe", {made});
    EXPECT_TRUE(equal(seen.get(), expected.get())) << repr_text(seen.get()) << "\n" << repr_text(expected.get());
}

// Record R made by `cls`, called with the values of record number `record`
// by the names of the engine's fields.
template <typename R>
Ref made_by(PyObject* cls, int record) {
    const std::vector<std::string> names = Runtime::get().field_names<R>();
    Ref kwargs = py::checked(PyDict_New());
    for (std::size_t place = 0; place < names.size(); ++place)
        py::check(PyDict_SetItemString(kwargs.get(), names[place].c_str(), python_value_at<R>(record, place).get()));
    Ref no_args = py::checked(PyTuple_New(0));
    return py::checked(PyObject_Call(cls, no_args.get(), kwargs.get()));
}

template <typename R>
void expect_built_as_made(int record) {
    SCOPED_TRACE(rf::Record<R>::name);
    Runtime& rt = Runtime::get();
    Ref built = rt.types.build(filled<R>(record));
    Ref made = made_by<R>(rt.types.type<R>().get(), record);
    expect_as_made(built.get(), made.get());
    // Each build has lists, and records in them, of its own.
    Ref again = rt.types.build(filled<R>(record));
    EXPECT_EQ(repr_text(helper_call("shared", {built.get(), again.get()}).get()), "[]");
    // Changed by a caller, both change alike.
    EXPECT_TRUE(equal(helper_call("after_changes", {built.get()}).get(), helper_call("after_changes", {made.get()}).get()));
}

TEST(RecordBuilder, MakesWhatTheClassMakesOfTheSameValues) {
    vyr::apppy::GilScope gil;
    expect_built_as_made<vyr::DiskPartitionInfo>(1);
    expect_built_as_made<vyr::FolderUsageInfo>(2);
    expect_built_as_made<vyr::SystemMetricsSnapshot>(3);
    expect_built_as_made<vyr::ProcessEntry>(4);
}

// The runtime's value of a member: a new object of its own.
Ref own_object(double v) { return py::checked(PyFloat_FromDouble(v)); }
Ref own_object(long long v) { return py::checked(PyLong_FromLongLong(v)); }
Ref own_object(const std::string& v) { return py::system_text(v); }

// A process record made by the class from new objects of the values of `p`.
Ref made_from_own_objects(const vyr::ProcessEntry& p) {
    Ref kwargs = py::checked(PyDict_New());
    for (const auto& field : rf::Record<vyr::ProcessEntry>::fields) {
        std::visit(
            [&](auto member) {
                if constexpr (std::is_same_v<decltype(member), double vyr::ProcessEntry::*> ||
                              std::is_same_v<decltype(member), long long vyr::ProcessEntry::*> ||
                              std::is_same_v<decltype(member), std::string vyr::ProcessEntry::*>) {
                    py::check(PyDict_SetItemString(kwargs.get(), field.name, own_object(p.*member).get()));
                }
            },
            field.member);
    }
    Ref no_args = py::checked(PyTuple_New(0));
    return py::checked(PyObject_Call(Runtime::get().types.type<vyr::ProcessEntry>().get(), no_args.get(), kwargs.get()));
}

TEST(RecordBuilder, FiguresAndTextsAtTheirEdges) {
    vyr::apppy::GilScope gil;
    Runtime& rt = Runtime::get();
    vyr::ProcessEntry p = filled<vyr::ProcessEntry>(5);
    p.pid = 1LL << 62;
    p.process_count = -1;
    p.cpu_percent = -0.0;  // its own sign: repr shows -0.0
    p.ram_mb = 0.0;
    p.swap_mb = std::numeric_limits<double>::infinity();
    p.name = "";
    p.display_name = "x";
    p.username = std::string(120, 'u') + "\xc4\x9f";
    p.status = "\xc3\xa7";
    p.cmdline = "/bin/a " + std::string(300, 'b') + " \xff";
    {
        SCOPED_TRACE("edges");
        expect_as_made(rt.types.build(p).get(), made_from_own_objects(p).get());
    }
    // A NaN is a new object in each record, as the class gets it: two
    // records with one are never equal.
    p.ram_percent = std::numeric_limits<double>::quiet_NaN();
    Ref a = rt.types.build(p);
    Ref b = rt.types.build(p);
    EXPECT_EQ(repr_text(a.get()), repr_text(made_from_own_objects(p).get()));
    EXPECT_FALSE(equal(a.get(), b.get()));
    EXPECT_FALSE(equal(made_from_own_objects(p).get(), made_from_own_objects(p).get()));
}

// Whatever the class is, its records are what it makes of the values: a
// class that is more than its fields, and one whose __init__ is replaced
// after the builder was made, and given back.
TEST(RecordBuilder, RecordsOfAnyClass) {
    struct Case {
        const char* name;
        const char* process_class;
    };
    const Case cases[] = {
        {"a plain copy", "copy_of(engine.ProcessEntry)"},
        {"frozen", "copy_of(engine.ProcessEntry, frozen=True)"},
        {"with slots", "copy_of(engine.ProcessEntry, slots=True)"},
        {"with __post_init__", "copy_of(engine.ProcessEntry, namespace={'__post_init__': post_init})"},
        {"with an __init__ of its own", "copy_of(engine.ProcessEntry, namespace={'__init__': own_init})"},
        {"with a field more", "copy_of(engine.ProcessEntry, [('note', str, dataclasses.field(default='-'))])"},
    };
    vyr::apppy::GilScope gil;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ref cls = evaluated(c.process_class);
        Ref ns = helper_call("records_with", {cls.get()});
        const py::RecordTypes types = py::RecordTypes::of_module(ns.get());
        expect_as_made(types.build(filled<vyr::ProcessEntry>(6)).get(), made_by<vyr::ProcessEntry>(cls.get(), 6).get());
    }

    Ref cls = evaluated("copy_of(engine.ProcessEntry)");
    Ref ns = helper_call("records_with", {cls.get()});
    const py::RecordTypes types = py::RecordTypes::of_module(ns.get());
    expect_as_made(types.build(filled<vyr::ProcessEntry>(7)).get(), made_by<vyr::ProcessEntry>(cls.get(), 7).get());
    Ref plain_init = py::checked(PyObject_GetAttrString(cls.get(), "__init__"));
    Ref replaced = py::checked(PyRun_String(
        "lambda init: lambda self, **values: (init(self, **values), setattr(self, 'checked', True))[0]",
        Py_eval_input, helpers(), helpers()));
    Ref wrapped = py::checked(PyObject_CallOneArg(replaced.get(), plain_init.get()));
    py::check(PyObject_SetAttrString(cls.get(), "__init__", wrapped.get()));
    Ref built = types.build(filled<vyr::ProcessEntry>(7));
    EXPECT_TRUE(PyObject_HasAttrString(built.get(), "checked"));
    expect_as_made(built.get(), made_by<vyr::ProcessEntry>(cls.get(), 7).get());
    py::check(PyObject_SetAttrString(cls.get(), "__init__", plain_init.get()));
    built = types.build(filled<vyr::ProcessEntry>(7));
    EXPECT_FALSE(PyObject_HasAttrString(built.get(), "checked"));
    expect_as_made(built.get(), made_by<vyr::ProcessEntry>(cls.get(), 7).get());

    // Another class put in the module's place makes the records from then on.
    Ref other = evaluated("copy_of(engine.ProcessEntry, namespace={'__post_init__': post_init})");
    py::check(PyObject_SetAttrString(ns.get(), "ProcessEntry", other.get()));
    built = types.build(filled<vyr::ProcessEntry>(8));
    EXPECT_EQ(Py_TYPE(built.get()), reinterpret_cast<PyTypeObject*>(other.get()));
    expect_as_made(built.get(), made_by<vyr::ProcessEntry>(other.get(), 8).get());
}

}  // namespace
