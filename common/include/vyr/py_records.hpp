// The records as the runtime's objects, made from the field tables of
// record_fields.hpp: the record types (dataclasses), a record built from its
// C++ struct and a record read back into one, every field by its name. The
// engine defines the types and builds the records; the app reads them back.
// GIL held throughout; failures throw py::Error.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "vyr/py_error.hpp"
#include "vyr/py_ref.hpp"
#include "vyr/records.hpp"

namespace vyr::py {

// One record type: its name in the module and the names of its fields, in
// order (interned str, for calls by keyword and for attributes).
struct RecordClass {
    Ref name;
    Ref field_names;
};

// The four record types, as a module carries them.
class RecordTypes {
public:
    RecordTypes() = default;
    // Defines the records as dataclasses of the module `module` (named in
    // their __module__) and adds each to it under its name, in the order a
    // partition, a folder, a snapshot, a process.
    static RecordTypes define_in(PyObject* module);
    // The record types that `module` carries under the records' names.
    static RecordTypes of_module(PyObject* module);

    // The type of record R: what the module carries under its name now.
    template <typename R>
    Ref type() const;
    // A new record of the runtime with every field of `record`: that type
    // called with them by name (every value, list and partition new), so a
    // class replaced in the module, or one whose __init__ was replaced, makes
    // every record from then on.
    template <typename R>
    Ref build(const R& record) const;
    // The snapshot record of `snapshot` with `partitions`, a list of records
    // its caller has made already, as its partition list.
    Ref build(const SystemMetricsSnapshot& snapshot, PyObject* partitions) const;

private:
    // build() with `partitions`, when given, in place of records made from
    // the record's own partition list.
    template <typename R>
    Ref build_with(const R& record, PyObject* partitions) const;
    explicit RecordTypes(PyObject* module);
    // The place of record R in `classes_`: the order of definition.
    template <typename R>
    static constexpr std::size_t index_of() {
        if constexpr (std::is_same_v<R, DiskPartitionInfo>) return 0;
        else if constexpr (std::is_same_v<R, FolderUsageInfo>) return 1;
        else if constexpr (std::is_same_v<R, SystemMetricsSnapshot>) return 2;
        else return 3;
    }
    template <typename R>
    Ref value_of(const R& record, std::size_t field) const;
    Ref value(double v) const;
    Ref value(long long v) const;
    Ref value(const std::string& v) const;
    Ref value(const std::vector<double>& v) const;
    Ref value(const std::vector<DiskPartitionInfo>& v) const;

    Ref module_;
    std::array<RecordClass, 4> classes_;
};

// Record R read back from an object of the runtime, every field taken by its
// name as an attribute (a list as any sequence; a field that should be text
// and is not, as its str()).
template <typename R>
R read_record(PyObject* object);

// A list of records R read back from any sequence.
template <typename R>
std::vector<R> read_records(PyObject* sequence);

// Text of the system as a str: UTF-8, undecodable bytes kept as escapes that
// utf8() turns back into the same bytes.
Ref system_text(std::string_view utf8);

// UTF-8 of a str: escapes of undecodable bytes back to those bytes, anything
// else that UTF-8 cannot carry replaced.
std::string utf8(PyObject* text);

}  // namespace vyr::py
