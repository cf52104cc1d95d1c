#include "vyr/py_records.hpp"

#include <array>
#include <type_traits>
#include <utility>

#include "vyr/record_fields.hpp"

namespace vyr::py {

namespace rf = vyr::record_fields;

namespace {

template <typename T>
using MemberType = std::remove_cv_t<std::remove_reference_t<T>>;

// The runtime's type of a field whose member is a T.
template <typename T>
PyObject* runtime_type() {
    if constexpr (std::is_same_v<T, double>) {
        return reinterpret_cast<PyObject*>(&PyFloat_Type);
    } else if constexpr (std::is_same_v<T, long long>) {
        return reinterpret_cast<PyObject*>(&PyLong_Type);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return reinterpret_cast<PyObject*>(&PyUnicode_Type);
    } else {
        return reinterpret_cast<PyObject*>(&PyList_Type);
    }
}

template <typename R>
Ref field_names() {
    const auto& fields = rf::Record<R>::fields;
    Ref names = checked(PyTuple_New(static_cast<Py_ssize_t>(std::size(fields))));
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        PyObject* name = PyUnicode_InternFromString(fields[i].name);
        if (!name) throw Error();
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return names;
}

template <typename Item, typename Make>
Ref list_of(const std::vector<Item>& items, Make&& make) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(items[i]).release());
    return list;
}

// Calls `fn` with each item of a sequence (borrowed).
template <typename Fn>
void for_each_item(PyObject* sequence, Fn&& fn) {
    Ref fast = checked(PySequence_Fast(sequence, "a list was expected"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject** items = PySequence_Fast_ITEMS(fast.get());
    for (Py_ssize_t i = 0; i < n; ++i) fn(items[i]);
}

double double_of(PyObject* value) {
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) throw Error();
    return d;
}

void assign(double& out, PyObject* value) { out = double_of(value); }

void assign(long long& out, PyObject* value) {
    out = PyLong_AsLongLong(value);
    if (out == -1 && PyErr_Occurred()) throw Error();
}

void assign(std::string& out, PyObject* value) {
    if (PyUnicode_Check(value)) {
        out = utf8(value);
    } else {
        Ref text = checked(PyObject_Str(value));
        out = utf8(text.get());
    }
}

void assign(std::vector<double>& out, PyObject* value) {
    out.clear();
    for_each_item(value, [&](PyObject* item) { out.push_back(double_of(item)); });
}

void assign(std::vector<DiskPartitionInfo>& out, PyObject* value) {
    out = read_records<DiskPartitionInfo>(value);
}

}  // namespace

Ref system_text(std::string_view utf8) {
    return checked(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogateescape"));
}

std::string utf8(PyObject* text) {
    PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape");
    if (!bytes) {
        // Not an escape of a byte: a lone surrogate of the text's own.
        PyErr_Clear();
        bytes = PyUnicode_AsEncodedString(text, "utf-8", "replace");
    }
    Ref owned = checked(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

// ---- record types ---------------------------------------------------------

namespace {

// The member of the field at `I` of record R, known when compiling.
template <typename R, std::size_t I>
constexpr auto member_at() {
    constexpr const auto& member = rf::Record<R>::fields[I].member;
    return std::get<member.index()>(member);
}

// Calls `fn(i, value)` with the place and the value of each field of
// `record`, in field order.
template <typename R, typename Fn, std::size_t... I>
void for_each_field(const R& record, Fn&& fn, std::index_sequence<I...>) {
    (fn(I, record.*member_at<R, I>()), ...);
}

template <typename R, typename Fn>
void for_each_field(const R& record, Fn&& fn) {
    for_each_field(record, fn, std::make_index_sequence<rf::field_count<R>()>{});
}

}  // namespace

template <typename R>
Ref RecordTypes::type() const {
    return checked(PyObject_GetAttr(module_.get(), classes_[index_of<R>()].name.get()));
}

Ref RecordTypes::value(double v) const { return checked(PyFloat_FromDouble(v)); }

Ref RecordTypes::value(long long v) const { return checked(PyLong_FromLongLong(v)); }

Ref RecordTypes::value(const std::string& v) const { return system_text(v); }

Ref RecordTypes::value(const std::vector<double>& v) const {
    return list_of(v, [&](double d) { return value(d); });
}

Ref RecordTypes::value(const std::vector<DiskPartitionInfo>& v) const {
    return list_of(v, [&](const DiskPartitionInfo& item) { return build(item); });
}

template <typename R>
Ref RecordTypes::value_of(const R& record, std::size_t field) const {
    return std::visit([&](auto pointer) { return value(record.*pointer); }, rf::Record<R>::fields[field].member);
}

template <typename R>
Ref RecordTypes::build(const R& record) const {
    return build_with(record, nullptr);
}

Ref RecordTypes::build(const SystemMetricsSnapshot& snapshot, PyObject* partitions) const {
    return build_with(snapshot, partitions);
}

template <typename R>
Ref RecordTypes::build_with(const R& record, PyObject* partitions) const {
    constexpr std::size_t n = rf::field_count<R>();
    std::array<Ref, n> values;
    std::array<PyObject*, n> args{};
    for_each_field(record, [&](std::size_t i, const auto& v) {
        if constexpr (std::is_same_v<MemberType<decltype(v)>, std::vector<DiskPartitionInfo>>)
            values[i] = partitions ? Ref::borrow(partitions) : value(v);
        else
            values[i] = value(v);
        args[i] = values[i].get();
    });
    Ref type = this->type<R>();
    return checked(PyObject_Vectorcall(type.get(), args.data(), 0, classes_[index_of<R>()].field_names.get()));
}

namespace {

// The dataclass of record R: make_dataclass(name, [(field, type[, default])...],
// module=...), a field that may be left out with the value of a default-made
// record, a list with a new empty one.
template <typename R, typename ValueOf>
Ref make_record_type(PyObject* dataclasses, PyObject* module_name, ValueOf&& default_value) {
    Ref make = checked(PyObject_GetAttrString(dataclasses, "make_dataclass"));
    Ref field = checked(PyObject_GetAttrString(dataclasses, "field"));
    const auto& fields = rf::Record<R>::fields;
    Ref specs = checked(PyList_New(0));
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        const auto& f = fields[i];
        PyObject* type = std::visit(
            [](auto pointer) { return runtime_type<MemberType<decltype(std::declval<R&>().*pointer)>>(); },
            f.member);
        Ref spec;
        if (f.presence == rf::Presence::kRequired) {
            spec = checked(Py_BuildValue("(sO)", f.name, type));
        } else {
            Ref fallback;
            if (type == reinterpret_cast<PyObject*>(&PyList_Type)) {
                Ref no_args = checked(PyTuple_New(0));
                Ref kwargs = checked(Py_BuildValue("{sO}", "default_factory", type));
                fallback = checked(PyObject_Call(field.get(), no_args.get(), kwargs.get()));
            } else {
                fallback = default_value(i);
            }
            spec = checked(Py_BuildValue("(sOO)", f.name, type, fallback.get()));
        }
        check(PyList_Append(specs.get(), spec.get()));
    }
    Ref args = checked(Py_BuildValue("(sO)", rf::Record<R>::name, specs.get()));
    Ref kwargs = checked(Py_BuildValue("{sO}", "module", module_name));
    return checked(PyObject_Call(make.get(), args.get(), kwargs.get()));
}

}  // namespace

RecordTypes::RecordTypes(PyObject* module) : module_(Ref::borrow(module)) {
    rf::for_each_record([&](auto table) {
        using R = typename decltype(table)::R;
        RecordClass& cls = classes_[index_of<R>()];
        PyObject* name = PyUnicode_InternFromString(table.name);
        if (!name) throw Error();
        cls.name = Ref(name);
        cls.field_names = field_names<R>();
    });
}

RecordTypes RecordTypes::define_in(PyObject* module) {
    Ref dataclasses = checked(PyImport_ImportModule("dataclasses"));
    Ref module_name = checked(PyModule_GetNameObject(module));
    RecordTypes types(module);
    rf::for_each_record([&](auto table) {
        using R = typename decltype(table)::R;
        const R defaults{};
        Ref type = make_record_type<R>(dataclasses.get(), module_name.get(),
                                       [&](std::size_t i) { return types.value_of(defaults, i); });
        check(PyModule_AddObjectRef(module, table.name, type.get()));
    });
    return types;
}

RecordTypes RecordTypes::of_module(PyObject* module) { return RecordTypes(module); }

// ---- reading back -----------------------------------------------------------

template <typename R>
R read_record(PyObject* object) {
    R record;
    for (const auto& field : rf::Record<R>::fields) {
        Ref value = checked(PyObject_GetAttrString(object, field.name));
        std::visit([&](auto pointer) { assign(record.*pointer, value.get()); }, field.member);
    }
    return record;
}

template <typename R>
std::vector<R> read_records(PyObject* sequence) {
    std::vector<R> out;
    for_each_item(sequence, [&](PyObject* item) { out.push_back(read_record<R>(item)); });
    return out;
}

#define VYR_RECORD_FUNCTIONS(R)                                 \
    template Ref RecordTypes::type<R>() const;                  \
    template Ref RecordTypes::build<R>(const R& record) const;  \
    template R read_record<R>(PyObject * object);               \
    template std::vector<R> read_records<R>(PyObject * sequence);

VYR_RECORD_FUNCTIONS(DiskPartitionInfo)
VYR_RECORD_FUNCTIONS(FolderUsageInfo)
VYR_RECORD_FUNCTIONS(SystemMetricsSnapshot)
VYR_RECORD_FUNCTIONS(ProcessEntry)

#undef VYR_RECORD_FUNCTIONS

}  // namespace vyr::py
