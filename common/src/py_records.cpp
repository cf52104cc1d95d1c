#include "vyr/py_records.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
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

namespace {

bool plain_ascii(std::string_view s) {
    std::uint64_t words = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        words |= w;
    }
    unsigned char rest = 0;
    for (; i < s.size(); ++i) rest |= static_cast<unsigned char>(s[i]);
    return (words & 0x8080808080808080ull) == 0 && (rest & 0x80) == 0;
}

}  // namespace

Ref system_text(std::string_view utf8) {
    // Plain ASCII is copied as it is, into the str the decoder would make;
    // the empty text and single characters are the runtime's shared ones.
    if (utf8.size() > 1 && plain_ascii(utf8)) {
        Ref text = checked(PyUnicode_New(static_cast<Py_ssize_t>(utf8.size()), 127));
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), utf8.data(), utf8.size());
        return text;
    }
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

// ---- values given out again -------------------------------------------------

// The values that come back record after record and cycle after cycle: the
// owners, states, names and command lines of the processes, their figures
// (most of them the same from one cycle to the next, many of them zero) and
// their ids. The object made for a value is kept in the slot of that value and
// given out again while the value comes back; str, float and int objects never
// change, so a kept one is as good as a new one. A NaN is always made anew: two
// records holding one NaN object would compare equal. GIL held.
class RecurringValues {
public:
    Ref text(std::string_view bytes) {
        if (bytes.size() > kLongestText) return system_text(bytes);
        TextSlot& slot = texts_[slot_of_text(bytes)];
        if (slot.object && slot.bytes == bytes) return slot.object;
        Ref made = system_text(bytes);
        slot.bytes.assign(bytes.data(), bytes.size());
        slot.object = made;
        return made;
    }

    Ref real(double value) {
        if (value != value) return checked(PyFloat_FromDouble(value));
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return number(reals_, bits, [&] { return checked(PyFloat_FromDouble(value)); });
    }

    Ref integer(long long value) {
        return number(integers_, static_cast<std::uint64_t>(value), [&] { return checked(PyLong_FromLongLong(value)); });
    }

private:
    static constexpr std::size_t kLongestText = 96;
    static constexpr unsigned kTextBits = 10;
    static constexpr unsigned kNumberBits = 11;

    struct TextSlot {
        std::string bytes;
        Ref object;
    };
    struct NumberSlot {
        std::uint64_t bits = 0;
        Ref object;
    };
    using Numbers = std::array<NumberSlot, std::size_t{1} << kNumberBits>;

    static std::uint64_t mix(std::uint64_t h) {
        h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDull;
        return h ^ (h >> 33);
    }

    // From the length and the first, middle and last eight bytes: enough to
    // tell apart the texts that come back, whose look-up compares them whole.
    static std::size_t slot_of_text(std::string_view s) {
        const std::size_t n = s.size();
        std::uint64_t head = 0, middle = 0, tail = 0;
        if (n >= 8) {
            std::memcpy(&head, s.data(), 8);
            std::memcpy(&middle, s.data() + n / 2 - 4, 8);
            std::memcpy(&tail, s.data() + n - 8, 8);
        } else {
            for (std::size_t i = 0; i < n; ++i) head = (head << 8) | static_cast<unsigned char>(s[i]);
        }
        const std::uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ (middle * 0xC2B2AE3D27D4EB4Full) ^ tail ^ n;
        return static_cast<std::size_t>(mix(h) >> (64 - kTextBits));
    }

    template <typename Make>
    static Ref number(Numbers& slots, std::uint64_t bits, Make&& make) {
        NumberSlot& slot = slots[static_cast<std::size_t>(mix(bits) >> (64 - kNumberBits))];
        if (slot.object && slot.bits == bits) return slot.object;
        Ref made = make();
        slot.bits = bits;
        slot.object = made;
        return made;
    }

    std::array<TextSlot, std::size_t{1} << kTextBits> texts_;
    Numbers reals_;
    Numbers integers_;
};

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

// ---- attribute values in the runtime's own layout -------------------------------

// CPython 3.12 keeps the attributes of an instance of a class like the
// records' in an array of values beside the object, one place for each key
// of the class's shared keys, with the order in which they were set in the
// bytes before the array ([-1]: the size of those bytes, [-2]: how many are
// set, [-3 - i]: the place of the i-th). Setting an attribute by name looks
// its place up in the shared keys. The fields of a record always land in the
// same places: these are learned once from a probe instance whose fields are
// set by name, checked there, and written directly afterwards, as long as
// the class keeps the same shared keys (which only ever grow).
namespace {

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
constexpr bool kValuesLayoutKnown = true;
#else
constexpr bool kValuesLayoutKnown = false;
#endif

// The attribute values of `object`, an instance of a class whose instances
// the runtime gives their attributes itself (Py_TPFLAGS_MANAGED_DICT), or
// null when they are kept in a dict.
PyObject** attribute_values(PyObject* object) {
    char* tagged = reinterpret_cast<char**>(object)[-3];
    if (!(reinterpret_cast<std::uintptr_t>(tagged) & 1)) return nullptr;
    return reinterpret_cast<PyObject**>(tagged + 1);
}

unsigned char* order_bytes(PyObject** values) { return reinterpret_cast<unsigned char*>(values); }

const void* shared_keys_of(PyObject* type) { return reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys; }

// The places of the fields `names` among the attribute values of a new
// instance of `type`, as setting them by name puts them there; empty where
// they do not land in the values.
std::vector<unsigned char> learn_places(PyObject* type, PyObject* names) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    if (!kValuesLayoutKnown || n > 30) return {};  // at most 30 shared keys
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    Ref no_args = checked(PyTuple_New(0));
    Ref probe = checked(tp->tp_new(tp, no_args.get(), nullptr));
    std::vector<Ref> marks;
    for (Py_ssize_t i = 0; i < n; ++i) {
        marks.push_back(checked(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
        check(PyObject_GenericSetAttr(probe.get(), PyTuple_GET_ITEM(names, i), marks.back().get()));
    }
    PyObject** values = attribute_values(probe.get());
    if (!values) return {};
    const unsigned char* order = order_bytes(values);
    if (order[-2] != n || order[-1] < n + 2) return {};
    std::vector<unsigned char> places;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const unsigned char place = order[-3 - i];
        if (place >= 30 || std::find(places.begin(), places.end(), place) != places.end() ||
            values[place] != marks[static_cast<std::size_t>(i)].get())
            return {};
        places.push_back(place);
    }
    return places;
}

}  // namespace

template <typename R>
PyObject* RecordTypes::type() const {
    return classes_[index_of<R>()].type.get();
}

Ref RecordTypes::value(double v) const { return recurring_->real(v); }

Ref RecordTypes::value(long long v) const { return recurring_->integer(v); }

Ref RecordTypes::value(const std::string& v) const { return recurring_->text(v); }

Ref RecordTypes::value(const std::vector<double>& v) const {
    return list_of(v, [&](double d) { return recurring_->real(d); });
}

Ref RecordTypes::value(const std::vector<DiskPartitionInfo>& v) const {
    return list_of(v, [&](const DiskPartitionInfo& item) { return build(item); });
}

template <typename R>
Ref RecordTypes::value_of(const R& record, std::size_t field) const {
    return std::visit([&](auto pointer) { return value(record.*pointer); }, rf::Record<R>::fields[field].member);
}

RecordClass& RecordTypes::current(std::size_t index) const {
    RecordClass& cls = classes_[index];
    if (cls.version != 0 && reinterpret_cast<PyTypeObject*>(cls.type.get())->tp_version_tag != cls.version)
        decide(cls);
    return cls;
}

template <typename R>
bool RecordTypes::direct() const {
    return current(index_of<R>()).direct;
}

template <typename R>
Ref RecordTypes::build(const R& record) const {
    const RecordClass& cls = current(index_of<R>());
    PyObject* const* names = &PyTuple_GET_ITEM(cls.field_names.get(), 0);
    if (cls.direct) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.type.get());
        Ref no_args = checked(PyTuple_New(0));
        Ref made = checked(type->tp_new(type, no_args.get(), nullptr));
        PyObject** values = cls.places.empty() ? nullptr : attribute_values(made.get());
        unsigned char* order = values ? order_bytes(values) : nullptr;
        if (order && order[-2] == 0 && shared_keys_of(cls.type.get()) == cls.shared_keys) {
            // Each value in its place, and the places in the order of the fields.
            for_each_field(record, [&](std::size_t i, const auto& v) {
                values[cls.places[i]] = value(v).release();
                order[-3 - static_cast<std::ptrdiff_t>(i)] = cls.places[i];
                order[-2] = static_cast<unsigned char>(i + 1);
            });
        } else {
            for_each_field(record, [&](std::size_t i, const auto& v) {
                check(PyObject_GenericSetAttr(made.get(), names[i], value(v).get()));
            });
        }
        return made;
    }
    constexpr std::size_t n = rf::field_count<R>();
    std::array<Ref, n> values;
    std::array<PyObject*, n> args{};
    for_each_field(record, [&](std::size_t i, const auto& v) {
        values[i] = value(v);
        args[i] = values[i].get();
    });
    return checked(PyObject_Vectorcall(cls.type.get(), args.data(), 0, cls.field_names.get()));
}

namespace {

// Whether the dataclass `type` has exactly the fields `names`, in order,
// each an argument of its __init__, and none of the things that make its
// records more than their fields: a __new__ or an attribute setting of its
// own (a frozen class has one), slots, a __post_init__.
bool plain_dataclass(PyObject* type, PyObject* names) {
    if (!PyType_Check(type)) return false;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_new != PyBaseObject_Type.tp_new ||
        tp->tp_setattro != PyObject_GenericSetAttr)
        return false;
    if (PyObject_HasAttrString(type, "__slots__") || PyObject_HasAttrString(type, "__post_init__")) return false;
    Ref params = checked(PyObject_GetAttrString(type, "__dataclass_params__"));
    Ref frozen = checked(PyObject_GetAttrString(params.get(), "frozen"));
    if (check(PyObject_IsTrue(frozen.get()))) return false;

    Ref all = checked(PyObject_GetAttrString(type, "__dataclass_fields__"));
    Ref dataclasses = checked(PyImport_ImportModule("dataclasses"));
    Ref fields = checked(PyObject_CallMethod(dataclasses.get(), "fields", "O", type));
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    if (PyObject_Length(all.get()) != n || PyTuple_GET_SIZE(fields.get()) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* field = PyTuple_GET_ITEM(fields.get(), i);
        Ref name = checked(PyObject_GetAttrString(field, "name"));
        Ref init = checked(PyObject_GetAttrString(field, "init"));
        if (check(PyObject_RichCompareBool(name.get(), PyTuple_GET_ITEM(names, i), Py_EQ)) != 1 ||
            check(PyObject_IsTrue(init.get())) != 1)
            return false;
    }
    return true;
}

// Whether the class called with a new object for each field, by name, makes
// an instance whose attributes are exactly those objects, in field order.
bool init_stores_its_arguments(PyObject* type, PyObject* names) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    std::vector<Ref> marks;
    std::vector<PyObject*> args;
    for (Py_ssize_t i = 0; i < n; ++i) {
        marks.push_back(checked(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
        args.push_back(marks.back().get());
    }
    Ref probe(PyObject_Vectorcall(type, args.data(), 0, names));
    if (!probe) {
        const Error failed;
        if (!failed.ordinary()) throw failed;
        return false;
    }
    Ref attributes = checked(PyObject_GetAttrString(probe.get(), "__dict__"));
    if (!PyDict_CheckExact(attributes.get()) || PyDict_GET_SIZE(attributes.get()) != n) return false;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* stored;
    for (Py_ssize_t i = 0; PyDict_Next(attributes.get(), &pos, &key, &stored); ++i) {
        if (stored != args[static_cast<std::size_t>(i)] ||
            check(PyObject_RichCompareBool(key, PyTuple_GET_ITEM(names, i), Py_EQ)) != 1)
            return false;
    }
    return true;
}

}  // namespace

void RecordTypes::decide(RecordClass& cls) {
    cls.direct = false;
    cls.version = 0;
    cls.places.clear();
    cls.shared_keys = nullptr;
    PyObject* type = cls.type.get();
    bool plain = false;
    std::vector<unsigned char> places;
    try {
        plain = plain_dataclass(type, cls.field_names.get()) && init_stores_its_arguments(type, cls.field_names.get());
        if (plain) places = learn_places(type, cls.field_names.get());
    } catch (const Error& e) {
        // A class that fails the questions is called like any other.
        if (!e.ordinary()) throw;
    }
    // The tag changes with any change of the class, and the class is
    // decided again then; without one, its records are made by calls.
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    if (!PyUnstable_Type_AssignVersionTag(tp)) return;
    cls.version = tp->tp_version_tag;
    cls.direct = plain;
    if (!plain) return;
    cls.places = std::move(places);
    cls.shared_keys = shared_keys_of(type);
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

RecordTypes RecordTypes::define_in(PyObject* module) {
    Ref dataclasses = checked(PyImport_ImportModule("dataclasses"));
    Ref module_name = checked(PyModule_GetNameObject(module));
    RecordTypes types;
    types.recurring_ = std::make_shared<RecurringValues>();
    rf::for_each_record([&](auto table) {
        using R = typename decltype(table)::R;
        const R defaults{};
        RecordClass& cls = types.classes_[index_of<R>()];
        cls.type = make_record_type<R>(dataclasses.get(), module_name.get(),
                                       [&](std::size_t i) { return types.value_of(defaults, i); });
        cls.field_names = field_names<R>();
        decide(cls);
        check(PyModule_AddObjectRef(module, table.name, cls.type.get()));
    });
    return types;
}

RecordTypes RecordTypes::of_module(PyObject* module) {
    RecordTypes types;
    types.recurring_ = std::make_shared<RecurringValues>();
    rf::for_each_record([&](auto table) {
        using R = typename decltype(table)::R;
        RecordClass& cls = types.classes_[index_of<R>()];
        cls.type = checked(PyObject_GetAttrString(module, table.name));
        cls.field_names = field_names<R>();
        decide(cls);
    });
    return types;
}

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
    template PyObject* RecordTypes::type<R>() const;            \
    template Ref RecordTypes::build<R>(const R& record) const;  \
    template bool RecordTypes::direct<R>() const;               \
    template R read_record<R>(PyObject * object);               \
    template std::vector<R> read_records<R>(PyObject * sequence);

VYR_RECORD_FUNCTIONS(DiskPartitionInfo)
VYR_RECORD_FUNCTIONS(FolderUsageInfo)
VYR_RECORD_FUNCTIONS(SystemMetricsSnapshot)
VYR_RECORD_FUNCTIONS(ProcessEntry)

#undef VYR_RECORD_FUNCTIONS

}  // namespace vyr::py
