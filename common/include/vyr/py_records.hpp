// The records as the runtime's objects, made from the field tables of
// record_fields.hpp: the record types (dataclasses), a record built from its
// C++ struct and a record read back into one, every field by its name. The
// engine defines the types and builds the records; the app reads them back.
// GIL held throughout; failures throw py::Error.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "vyr/py_error.hpp"
#include "vyr/py_ref.hpp"
#include "vyr/records.hpp"

namespace vyr::py {

// One record type of the runtime and the names of its fields, in order.
struct RecordClass {
    Ref type;
    Ref field_names;  // a tuple of interned str, for calls by keyword and for attributes
    // Whether its records are made directly (RecordTypes::direct), as decided
    // for the class at its version tag `version`; 0: the class has no tag to
    // follow, and its records are made by calls.
    bool direct = false;
    unsigned int version = 0;
    // Where a direct record keeps each field among its attribute values, as
    // learned for the class's shared keys `shared_keys` (py_records.cpp);
    // empty: the fields are set by name.
    std::vector<unsigned char> places;
    const void* shared_keys = nullptr;
};

// The values that a RecordTypes gives out again (py_records.cpp).
class RecurringValues;

// The four record types.
class RecordTypes {
public:
    // Defines the records as dataclasses of the module `module` (named in
    // their __module__) and adds each to it under its name, in the order a
    // partition, a folder, a snapshot, a process.
    static RecordTypes define_in(PyObject* module);
    // The record types that `module` carries under the records' names.
    static RecordTypes of_module(PyObject* module);

    // The type of record R.
    template <typename R>
    PyObject* type() const;
    // A new record of the runtime with every field of `record`: what the
    // class makes when called with them by name. A text or a number may be
    // an object given out before for the same value (str, float and int
    // objects never change); every list is new.
    template <typename R>
    Ref build(const R& record) const;
    // Whether build() makes records of R directly: a new instance of the
    // class (object.__new__) with each field stored as an attribute in field
    // order (by name, or straight into the places that storing by name puts
    // them), without a call of its __init__. Only for a plain dataclass: the
    // object's own __new__ and attribute setting, instance attributes kept by
    // the runtime (no slots), not frozen, no __post_init__, exactly the
    // fields of the table, each taken by __init__, and an __init__ that
    // stores exactly its arguments in order, which a probe call checks.
    // Decided again whenever the class changes; any other class is called.
    template <typename R>
    bool direct() const;

private:
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
    // Decides `direct` for the class as it is now.
    static void decide(RecordClass& cls);
    // The record class at `index`, decided again when it has changed since.
    RecordClass& current(std::size_t index) const;

    mutable std::array<RecordClass, 4> classes_;  // `direct` follows the classes
    std::shared_ptr<RecurringValues> recurring_;
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
