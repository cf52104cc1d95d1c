// A Qt widget crossing the runtime between modules: a capsule named
// "vyr.QWidget" that holds a QPointer to the widget, so a widget destroyed
// on the C++ side reads back as null instead of a dangling pointer.
// Every module links the same shared Qt, so the pointer is valid in all.
#pragma once

#include <Python.h>

#include <QPointer>
#include <QWidget>

namespace vyr::widget_handle {

inline constexpr const char* kCapsuleName = "vyr.QWidget";

namespace detail {
inline void destroy(PyObject* capsule) {
    delete static_cast<QPointer<QWidget>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}
}  // namespace detail

// A new handle for `widget` (a new reference), or null with an exception set.
inline PyObject* wrap(QWidget* widget) {
    auto* ptr = new QPointer<QWidget>(widget);
    PyObject* capsule = PyCapsule_New(ptr, kCapsuleName, &detail::destroy);
    if (!capsule) delete ptr;
    return capsule;
}

// True when `obj` is a widget handle.
inline bool is_handle(PyObject* obj) { return PyCapsule_IsValid(obj, kCapsuleName) != 0; }

// Reads a handle or None. Returns false with a TypeError set for anything else.
// `*widget` becomes null for None and for a widget that no longer exists.
inline bool unwrap(PyObject* obj, QWidget** widget) {
    *widget = nullptr;
    if (obj == Py_None) return true;
    if (!is_handle(obj)) {
        PyErr_Format(PyExc_TypeError, "expected a widget handle or None, not %.100s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    auto* ptr = static_cast<QPointer<QWidget>*>(PyCapsule_GetPointer(obj, kCapsuleName));
    *widget = ptr ? ptr->data() : nullptr;
    return true;
}

}  // namespace vyr::widget_handle
