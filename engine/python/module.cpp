// engine: the metrics engine as the runtime sees it.
//
// The records are the runtime's own dataclasses, made from the records'
// field tables; the settings store (settings_manager.cpp) keeps a real dict
// and reads and writes its file with the runtime's json module; the engine
// object wraps the C++ core
// and lets go of the GIL while it reads the system.
//
// A failed call into the runtime throws py::Error; each function that the
// runtime calls turns what was thrown back into a raised exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vyr/engine/engine.hpp"
#include "vyr/module_init.hpp"
#include "vyr/py_error.hpp"
#include "vyr/py_records.hpp"
#include "vyr/py_ref.hpp"
#include "vyr/trace.hpp"

#include "settings_manager.hpp"

namespace {

using vyr::DiskPartitionInfo;
using vyr::FolderUsageInfo;
using vyr::ProcessEntry;
using vyr::SystemMetricsSnapshot;
namespace core = vyr::engine;
namespace py = vyr::py;
using Ref = py::Ref;

constexpr const char* kTrace = "vyr.engine";

// Objects kept for the life of the process: the module is set up once per
// process and never unloaded, so none of them is ever released.
struct Globals {
    PyObject* module = nullptr;
    PyObject* path_type = nullptr;
    PyObject* disk_usage = nullptr;  // the named tuple of a file system's usage
    py::RecordTypes* records = nullptr;
} G;

std::shared_ptr<core::Platform> system_platform() {
    static auto platform = core::make_system_platform();
    return platform;
}

// Raises the runtime's counterpart of a failed system call: OSError with the
// errno, its text and the file when the call named one.
[[noreturn]] void raise_system_error(const core::SystemError& e) {
    if (e.filename().empty()) py::raise(PyExc_RuntimeError, e.what());
    const char* desc = strerrordesc_np(e.error_number());
    Ref file = py::checked(PyUnicode_DecodeFSDefault(e.filename().c_str()));
    Ref exc = py::checked(PyObject_CallFunction(PyExc_OSError, "isO", e.error_number(),
                                                desc ? desc : "Unknown error", file.get()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw py::Error();
}

// Runs `f` on the engine core without the GIL; a failure of the core comes
// back as the runtime's error: OSError for a failed system call on a file,
// MemoryError, else RuntimeError with the failure's text.
template <typename F>
void core_call(F&& f) {
    try {
        py::GilRelease nogil;
        f();
    } catch (const core::SystemError& e) {
        raise_system_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw py::Error();
    } catch (const std::exception& e) {
        py::raise(PyExc_RuntimeError, e.what());
    }
}

// Text from the system: UTF-8, undecodable bytes kept as escapes.
Ref text(const std::string& s) { return py::system_text(s); }

// UTF-8 of a text, undecodable bytes kept as escapes (an escape of a byte
// only; any other surrogate fails with UnicodeEncodeError).
std::string utf8_strict(PyObject* text) {
    Ref b = py::checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
    return std::string(PyBytes_AS_STRING(b.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
}

// The record of `item`, made under the guard of its own stage: a record that
// cannot be made (an __init__ or an attribute setting that refuses its
// values) comes back empty, and is left out like a reading that failed. An
// exit request or an interrupt passes on.
template <typename R>
Ref guarded_record(const R& item, std::string_view stage) {
    Ref record;
    py::contain(kTrace, stage, [&] { record = G.records->build(item); });
    return record;
}

// A new list of the records of `items` that can be made, in their order.
template <typename R>
Ref guarded_records(const std::vector<R>& items, std::string_view stage) {
    Ref list = py::checked(PyList_New(0));
    for (const R& item : items)
        if (Ref record = guarded_record(item, stage)) py::check(PyList_Append(list.get(), record.get()));
    return list;
}

// A function that takes keywords, as the method tables hold it.
#define VYR_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// --- the usage of a file system ------------------------------------------------

// The usage of a file system as the system library reports it: a named
// tuple (total, used, free, percent), not a name of the module.
void define_disk_usage() {
    Ref collections = py::checked(PyImport_ImportModule("collections"));
    Ref namedtuple = py::checked(PyObject_GetAttrString(collections.get(), "namedtuple"));
    Ref args = py::checked(Py_BuildValue("(s[ssss])", "sdiskusage", "total", "used", "free", "percent"));
    Ref kw = py::checked(Py_BuildValue("{ss}", "module", "engine"));
    G.disk_usage = py::checked(PyObject_Call(namedtuple.get(), args.get(), kw.get())).release();
}

Ref disk_usage_tuple(const core::DiskUsage& usage) {
    Ref total = py::checked(PyLong_FromUnsignedLongLong(usage.total));
    Ref used = py::checked(PyLong_FromUnsignedLongLong(usage.used));
    Ref free = py::checked(PyLong_FromUnsignedLongLong(usage.free));
    Ref percent = py::checked(PyFloat_FromDouble(usage.percent));
    PyObject* args[] = {total.get(), used.get(), free.get(), percent.get()};
    return py::checked(PyObject_Vectorcall(G.disk_usage, args, 4, nullptr));
}

// --- the engine object -----------------------------------------------------------

struct EngineObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    // The core, shared with every call that is using it: an __init__ run
    // again makes a new one, and the one a call holds lives until it returns.
    std::shared_ptr<core::Engine> engine;
    PyObject* folder_records;  // the records of the last published scan
    std::size_t folder_generation;
};

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

std::shared_ptr<core::Engine> engine_of(PyObject* self) {
    std::shared_ptr<core::Engine> e = as_engine(self)->engine;
    if (!e) py::raise(PyExc_RuntimeError, "SystemMonitorEngine.__init__() has not run");
    return e;
}

PyObject* engine_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = as_engine(self);
    new (&o->engine) std::shared_ptr<core::Engine>();
    o->folder_records = nullptr;
    o->folder_generation = static_cast<std::size_t>(-1);
    return self;
}

int engine_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry_status([&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0))
            py::raise(PyExc_TypeError, "SystemMonitorEngine() takes no arguments");
        Ref app_dir = py::checked(PyObject_GetAttrString(G.module, "APP_DIR"));
        Ref app_text = py::checked(PyObject_Str(app_dir.get()));
        Ref app_bytes = py::checked(PyUnicode_EncodeFSDefault(app_text.get()));
        core::EngineOptions options;
        options.app_dir.assign(PyBytes_AS_STRING(app_bytes.get()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(app_bytes.get())));

        std::shared_ptr<core::Engine> created;
        core_call([&] { created = std::make_shared<core::Engine>(system_platform(), core::system_clock(), options); });
        auto* o = as_engine(self);
        o->engine = std::move(created);
        Py_CLEAR(o->folder_records);
        o->folder_generation = static_cast<std::size_t>(-1);
    });
}

int engine_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* o = as_engine(self);
    Py_VISIT(o->dict);
    Py_VISIT(o->folder_records);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int engine_clear(PyObject* self) {
    auto* o = as_engine(self);
    Py_CLEAR(o->dict);
    Py_CLEAR(o->folder_records);
    return 0;
}

void engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* o = as_engine(self);
    if (o->weakrefs) PyObject_ClearWeakRefs(self);
    engine_clear(self);
    o->engine.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

// The records of the partitions, each made under a guard of its own; when
// none of them can be made, the record of the entry that stands in for an
// empty list, made without a guard, as the core makes that entry.
Ref partition_records(core::Engine& e, const std::vector<DiskPartitionInfo>& parts) {
    Ref list = guarded_records(parts, "partition record");
    if (PyList_GET_SIZE(list.get()) > 0) return list;
    core::PrimaryDisk disk;
    core_call([&] { disk = e.resolve_primary_disk(); });
    Ref entry = G.records->build(core::Engine::primary_disk_entry(disk));
    py::check(PyList_Append(list.get(), entry.get()));
    return list;
}

PyObject* engine_snapshot(PyObject* self, PyObject*) {
    return py::entry([&] {
        const auto e = engine_of(self);
        SystemMetricsSnapshot snap;
        core_call([&] { snap = e->get_system_snapshot(); });
        Ref partitions = partition_records(*e, snap.partitions);
        return G.records->build(snap, partitions.get());
    });
}

// The sort key as the engine compares it; a text that UTF-8 cannot carry is
// none of the keys, and sorts as the default does.
std::string sort_key_of(PyObject* sort_by) {
    std::string key = "workload";
    if (!sort_by || !PyUnicode_Check(sort_by)) return key;
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(sort_by, &n)) return std::string(s, static_cast<std::size_t>(n));
    const py::Error error;
    if (!error.matches(PyExc_UnicodeEncodeError)) throw error;
    return key;
}

// The search as the process list applies it.
struct Search {
    core::SearchQuery query;
    // A search that no process passes: the test of each process against it
    // fails (a search that is not a text, such as bytes, is never found in a
    // process's name); the processes are still listed, and left out.
    bool finds_nothing = false;
};

// The search text stripped and lower-cased by the runtime's own methods of
// the object given. What that makes of an object other than a text (bytes
// strip and lower-case too) is an empty search when it is false, and else a
// search no process passes: a text holds nothing but text.
Search search_of(PyObject* search_query) {
    if (!search_query) return {};
    Ref stripped = py::checked(PyObject_CallMethod(search_query, "strip", nullptr));
    Ref lowered = py::checked(PyObject_CallMethod(stripped.get(), "lower", nullptr));
    if (!PyUnicode_Check(lowered.get())) {
        int truth = 1;
        py::contain(kTrace, "search text", [&] { truth = py::check(PyObject_IsTrue(lowered.get())); });
        return Search{{}, truth != 0};
    }
    Py_UCS4* wide = PyUnicode_AsUCS4Copy(lowered.get());
    if (!wide) throw py::Error();
    const auto query = core::SearchQuery::from_prepared(
        std::u32string_view(reinterpret_cast<char32_t*>(wide), static_cast<std::size_t>(PyUnicode_GET_LENGTH(lowered.get()))));
    PyMem_Free(wide);
    return Search{query, false};
}

// How many rows to keep, as a slice's end takes it: 80 by default, all for
// None, saturated at the ends of the range.
long long row_limit_of(PyObject* limit) {
    if (limit == Py_None) return LLONG_MAX;
    if (!limit) return 80;
    if (!PyIndex_Check(limit))
        py::raise(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
    Ref index = py::checked(PyNumber_Index(limit));
    int overflow = 0;
    const long long keep = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    if (keep == -1 && PyErr_Occurred()) throw py::Error();
    return keep;
}

// The record of each row, made as the listing's per-process guard runs:
// a row whose record cannot be made is left out like a process that cannot
// be read, and the others stay.
Ref guarded_record(const ProcessEntry& row) { return guarded_record(row, "process record"); }

// The process list: the records of the rows in the order of `sort_key`, left
// out where one cannot be made, cut to `keep` rows. A grouped list is made
// so as well, each group under a guard of its own.
Ref process_records(std::vector<ProcessEntry> rows, const std::string& sort_key, long long keep) {
    const std::vector<std::size_t> order = core::Engine::arrange_processes(rows, sort_key, LLONG_MAX);
    Ref list = py::checked(PyList_New(0));
    for (const std::size_t i : order) {
        if (keep >= 0 && PyList_GET_SIZE(list.get()) >= keep) break;
        if (Ref record = guarded_record(rows[i])) py::check(PyList_Append(list.get(), record.get()));
    }
    // A negative limit drops the last rows of those made.
    if (keep < 0) py::check(PyList_SetSlice(list.get(), std::max<Py_ssize_t>(0, PyList_GET_SIZE(list.get()) + keep),
                                            PyList_GET_SIZE(list.get()), nullptr));
    return list;
}

// The process list by program: only the rows whose records can be made take
// part in the groups, whose records are then made in the order of
// `sort_key`, a group that cannot be made left out as a row is.
Ref group_records(std::vector<ProcessEntry> rows, const std::string& sort_key, long long keep) {
    std::vector<ProcessEntry> members;
    members.reserve(rows.size());
    for (ProcessEntry& row : rows)
        if (guarded_record(row)) members.push_back(std::move(row));
    return process_records(core::Engine::group_processes(std::move(members)), sort_key, keep);
}

PyObject* engine_collect(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* sort_by = nullptr;
    PyObject* search_query = nullptr;
    PyObject* group_by_app = Py_False;
    PyObject* limit = nullptr;
    static const char* kwlist[] = {"sort_by", "search_query", "group_by_app", "limit", nullptr};
    return py::entry([&] {
        const auto e = engine_of(self);
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:collect_processes", const_cast<char**>(kwlist),
                                         &sort_by, &search_query, &group_by_app, &limit))
            throw py::Error();
        const std::string sort_key = sort_key_of(sort_by);
        const Search search = search_of(search_query);
        const bool group = py::check(PyObject_IsTrue(group_by_app)) != 0;
        const long long keep = row_limit_of(limit);
        std::vector<ProcessEntry> rows;
        core_call([&] { rows = e->list_processes(search.query); });
        if (search.finds_nothing) rows.clear();
        return group ? group_records(std::move(rows), sort_key, keep) : process_records(std::move(rows), sort_key, keep);
    });
}

PyObject* engine_trigger(PyObject* self, PyObject*) {
    return py::entry([&] {
        const auto e = engine_of(self);
        core_call([&] { e->trigger_folder_scan_async(); });
        return Ref::borrow(Py_None);
    });
}

// The records of the last finished scan; the same objects until the next one.
PyObject* folder_records(PyObject* self) {
    const auto e = engine_of(self);
    auto* o = as_engine(self);
    std::vector<FolderUsageInfo> list;
    const std::size_t generation = e->get_folder_usages(list);
    if (!o->folder_records || generation != o->folder_generation) {
        // A folder whose record cannot be made is left out, as one that cannot be measured.
        Py_XSETREF(o->folder_records, guarded_records(list, "folder record").release());
        o->folder_generation = generation;
    }
    return o->folder_records;
}

PyObject* engine_folder_usages(PyObject* self, PyObject*) {
    return py::entry([&] {
        PyObject* records = folder_records(self);
        return py::checked(PyList_GetSlice(records, 0, PyList_GET_SIZE(records)));
    });
}

PyObject* engine_format_uptime(PyObject* self, PyObject*) {
    return py::entry([&] {
        const auto e = engine_of(self);
        std::string out;
        core_call([&] { out = e->format_uptime(); });
        return text(out);
    });
}

PyObject* engine_primary_disk(PyObject* self, PyObject*) {
    return py::entry([&] {
        const auto e = engine_of(self);
        core::PrimaryDisk disk;
        core_call([&] { disk = e->resolve_primary_disk(); });
        Ref usage = disk_usage_tuple(disk.usage);
        Ref mount = text(disk.mount);
        Ref device = text(disk.device);
        return py::checked(PyTuple_Pack(3, mount.get(), device.get(), usage.get()));
    });
}

PyObject* engine_get_partitions(PyObject* self, PyObject*) {
    return py::entry([&] {
        const auto e = engine_of(self);
        std::vector<DiskPartitionInfo> parts;
        core_call([&] { parts = e->get_partitions(); });
        return partition_records(*e, parts);
    });
}

// --- terminate_process -------------------------------------------------------------

// What the process id argument of terminate_process comes to, as the system
// library's Process(pid) takes it.
struct PidArgument {
    bool call_engine = false;  // false: `message` is the whole answer
    long long pid = 0;         // saturated at the ends of the range
    std::string text;          // the id as the caller wrote it
    Ref message;
};

// The integer value of `obj` when its text is the decimal of that value (an
// integer, or an object whose __index__ agrees with its text); else none. True
// and 5.0 are not: their texts name no process.
Ref pid_index(PyObject* obj, PyObject* shown) {
    if (PyLong_CheckExact(obj)) return Ref::borrow(obj);
    if (!PyIndex_Check(obj)) return {};
    Ref index;
    // An __index__ that fails makes the value no process id.
    py::contain(kTrace, "process id argument", [&] {
        Ref candidate = py::checked(PyNumber_Index(obj));
        Ref decimal = py::checked(PyObject_Str(candidate.get()));
        if (PyUnicode_Compare(decimal.get(), shown) == 0) index = std::move(candidate);
        if (PyErr_Occurred()) throw py::Error();
    });
    return index;
}

PidArgument read_pid_argument(PyObject* obj) {
    PidArgument out;
    // None is the calling process.
    if (obj == Py_None) {
        out.call_engine = true;
        out.pid = getpid();
        out.text = "None";
        return out;
    }
    Ref zero = py::checked(PyLong_FromLong(0));
    Ref blank = py::checked(PyUnicode_FromString(""));
    Ref shown = py::checked(PyObject_Format(obj, blank.get()));  // as a message writes it

    // The library compares the value with 0 first; a value that cannot be
    // compared ends in that error's own text.
    int negative = 0;
    try {
        negative = py::check(PyObject_RichCompareBool(obj, zero.get(), Py_LT));
    } catch (py::Error& e) {
        if (!e.ordinary()) throw;
        out.message = py::checked(PyUnicode_FromFormat("Hata: %S", e.value()));
        return out;
    }
    Ref index = pid_index(obj, shown.get());
    out.text = utf8_strict(shown.get());
    if (index) {
        int overflow = 0;
        out.pid = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (out.pid == -1 && PyErr_Occurred()) throw py::Error();
        if (overflow) out.pid = overflow < 0 ? LLONG_MIN : LLONG_MAX;
        out.call_engine = true;
        return out;
    }
    if (negative) {
        out.message = py::checked(PyUnicode_FromFormat("Hata: pid must be a positive integer (got %S)", obj));
        return out;
    }
    // No process answers to it: it goes in as an id beyond the range.
    out.call_engine = true;
    out.pid = LLONG_MAX;
    return out;
}

// The name the caller expects the process to have; a text that UTF-8 cannot
// carry is a name no process can carry.
core::ExpectedName expected_name_of(PyObject* expected) {
    if (expected == Py_None) return {};
    if (!PyUnicode_Check(expected)) py::raise(PyExc_TypeError, "expected_name must be a text or None");
    try {
        return utf8_strict(expected);
    } catch (const py::Error& e) {
        if (!e.matches(PyExc_UnicodeEncodeError)) throw;
        return core::ExpectedName::no_process();
    }
}

PyObject* engine_terminate(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* pid_obj;
    PyObject* force_obj = Py_False;
    PyObject* expected = Py_None;
    static const char* kwlist[] = {"pid", "force", "expected_name", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:terminate_process", const_cast<char**>(kwlist), &pid_obj,
                                     &force_obj, &expected))
        return nullptr;
    return py::entry([&] {
        const core::ExpectedName expected_name = expected_name_of(expected);
        const PidArgument pid = read_pid_argument(pid_obj);
        if (!pid.call_engine) return py::checked(PyTuple_Pack(2, Py_False, pid.message.get()));
        // The truth of `force` is asked once the process is open and its name
        // read; a truth test that fails ends the call like a failed signal.
        auto force = [force_obj] {
            py::GilScope gil;
            return py::check(PyObject_IsTrue(force_obj)) != 0;
        };
        core::TerminateResult result;
        auto platform = system_platform();
        try {
            py::GilRelease nogil;
            result = core::Engine::terminate_process(*platform, pid.pid, force, expected_name, pid.text);
        } catch (const py::Error& e) {
            if (!e.ordinary()) throw;
            Ref message = py::checked(PyUnicode_FromFormat("Hata: %S", e.value()));
            return py::checked(PyTuple_Pack(2, Py_False, message.get()));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& ex) {
            // The caller shows the failure as the answer's message.
            result.ok = false;
            result.message = std::string("Hata: ") + ex.what();
        }
        Ref message = text(result.message);
        return py::checked(Py_BuildValue("(OO)", result.ok ? Py_True : Py_False, message.get()));
    });
}

// The process whose files "/proc/" + format(obj) + "/..." name: the id when
// that text is the plain decimal of one (an int, or any object written so),
// else none (5.0, None, "abc", an id beyond the kernel's range); a text that
// cannot be made names no process either.
std::optional<long long> proc_dir_pid(PyObject* obj) {
    std::optional<long long> pid;
    py::contain(kTrace, "process id argument", [&] {
        Ref blank = py::checked(PyUnicode_FromString(""));
        Ref shown = py::checked(PyObject_Format(obj, blank.get()));
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(shown.get(), &n);
        if (!text) throw py::Error();
        const std::string_view digits(text, static_cast<std::size_t>(n));
        if (digits.empty() || digits.size() > 10 || (digits[0] == '0' && digits.size() > 1)) return;
        long long value = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return;
            value = value * 10 + (c - '0');
        }
        if (value <= INT_MAX) pid = value;
    });
    return pid;
}

PyObject* engine_swap_and_io(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* pid_obj = nullptr;
    static const char* kwlist[] = {"pid", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_read_proc_swap_and_io", const_cast<char**>(kwlist), &pid_obj))
        return nullptr;
    return py::entry([&] {
        core::SwapAndIo r;
        // An argument that names no process reads nothing: its figures are zero.
        const std::optional<long long> pid = proc_dir_pid(pid_obj);
        if (!pid) return py::checked(Py_BuildValue("(dL)", r.swap_mb, r.total_io_bytes));
        auto platform = system_platform();
        try {
            py::GilRelease nogil;
            r = core::Engine::read_proc_swap_and_io(*platform, *pid);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            // The read never fails for its caller: its figures stay at zero.
            r = core::SwapAndIo{};
            vyr::trace::report(kTrace, "per-process swap and io read", e.what());
        }
        return py::checked(Py_BuildValue("(dL)", r.swap_mb, r.total_io_bytes));
    });
}

PyObject* get_cpu_logical(PyObject* self, void*) {
    return py::entry([&] { return py::checked(PyLong_FromLong(engine_of(self)->cpu_count_logical())); });
}
PyObject* get_cpu_physical(PyObject* self, void*) {
    return py::entry([&] { return py::checked(PyLong_FromLong(engine_of(self)->cpu_count_physical())); });
}
PyObject* get_folder_list(PyObject* self, void*) {
    return py::entry([&] { return Ref::borrow(folder_records(self)); });
}
PyObject* get_last_scan(PyObject* self, void*) {
    return py::entry([&] { return py::checked(PyFloat_FromDouble(engine_of(self)->last_folder_scan())); });
}

PyMethodDef engine_methods[] = {
    {"get_system_snapshot", engine_snapshot, METH_NOARGS, "One full measurement of the machine."},
    {"collect_processes", VYR_METHOD(engine_collect), METH_VARARGS | METH_KEYWORDS,
     "collect_processes(sort_by='workload', search_query='', group_by_app=False, limit=80)"},
    {"trigger_folder_scan_async", engine_trigger, METH_NOARGS,
     "Starts a folder scan unless one started less than 45 seconds ago."},
    {"get_folder_usages", engine_folder_usages, METH_NOARGS, "The folders of the last finished scan."},
    {"_format_uptime", engine_format_uptime, METH_NOARGS, nullptr},
    {"_resolve_primary_disk", engine_primary_disk, METH_NOARGS,
     "_resolve_primary_disk() -> (mount point, device, usage)"},
    {"_get_partitions", engine_get_partitions, METH_NOARGS, nullptr},
    {"terminate_process", VYR_METHOD(engine_terminate), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "terminate_process(pid, force=False, *, expected_name=None) -> (ok, message)"},
    {"_read_proc_swap_and_io", VYR_METHOD(engine_swap_and_io), METH_VARARGS | METH_KEYWORDS | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_getset[] = {
    {"cpu_count_logical", get_cpu_logical, nullptr, nullptr, nullptr},
    {"cpu_count_physical", get_cpu_physical, nullptr, nullptr, nullptr},
    {"folder_usages", get_folder_list, nullptr, nullptr, nullptr},
    {"_last_folder_scan", get_last_scan, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef engine_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(EngineObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(EngineObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_init, reinterpret_cast<void*>(engine_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engine_clear)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_members, engine_members},
    {Py_tp_doc, const_cast<char*>("The metrics engine: snapshots, the process list, the folder scan.")},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "engine.SystemMonitorEngine",
    sizeof(EngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    engine_slots,
};

// --- set-up -------------------------------------------------------------------------

Ref join(PyObject* path, const char* part) {
    Ref p = py::checked(PyUnicode_FromString(part));
    return py::checked(PyNumber_TrueDivide(path, p.get()));
}

// The runtime facilities the engine uses: pathlib for the module's paths.
void load_runtime_facilities() {
    Ref pathlib = py::checked(PyImport_ImportModule("pathlib"));
    G.path_type = py::checked(PyObject_GetAttrString(pathlib.get(), "Path")).release();
}

// APP_DIR (the folder of the module's real file, links resolved), ASSETS_DIR
// beside it, and the settings folder and file under the user's home.
void define_paths(PyObject* module) {
    Ref file = py::checked(PyObject_GetAttrString(module, "__file__"));
    Ref file_path = py::checked(PyObject_CallOneArg(G.path_type, file.get()));
    Ref resolved = py::checked(PyObject_CallMethod(file_path.get(), "resolve", nullptr));
    Ref app_dir = py::checked(PyObject_GetAttrString(resolved.get(), "parent"));
    py::check(PyModule_AddObjectRef(module, "APP_DIR", app_dir.get()));
    py::check(PyModule_AddObjectRef(module, "ASSETS_DIR", join(app_dir.get(), "assets").get()));
    Ref home = py::checked(PyObject_CallMethod(G.path_type, "home", nullptr));
    Ref config_dir = join(join(home.get(), ".config").get(), "vyr-linux-monitor");
    py::check(PyModule_AddObjectRef(module, "CONFIG_DIR", config_dir.get()));
    py::check(PyModule_AddObjectRef(module, "SETTINGS_FILE", join(config_dir.get(), "settings.json").get()));
}

// Loading the module defines its names in their published order: the paths,
// the records, the settings store, the engine. It opens no file and takes no
// measurement.
int engine_body(PyObject* module) {
    return py::entry_status([&] {
        G.module = Py_NewRef(module);
        load_runtime_facilities();
        define_paths(module);
        G.records = new py::RecordTypes(py::RecordTypes::define_in(module));
        define_disk_usage();
        vyr::engine_binding::define_settings_manager(module);
        Ref type = py::checked(PyType_FromSpec(&engine_spec));
        py::check(PyModule_AddObjectRef(module, "SystemMonitorEngine", type.get()));
    });
}

}  // namespace

VYR_MULTI_PHASE_MODULE(engine, engine_body, nullptr)
