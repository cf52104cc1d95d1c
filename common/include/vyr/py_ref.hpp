// Owning references and GIL scopes for the bindings' calls into the runtime.
#pragma once

#include <Python.h>

#include <utility>

namespace vyr::py {

// Owns one reference (or none).
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }
    Ref(const Ref& o) : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    // Takes `owned` in place of the reference held now, which is dropped after.
    void reset(PyObject* owned = nullptr) { Py_XSETREF(p_, owned); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Holds the GIL for its lifetime; usable on any thread, nested or not.
class GilScope {
public:
    GilScope() : state_(PyGILState_Ensure()) {}
    ~GilScope() { PyGILState_Release(state_); }
    GilScope(const GilScope&) = delete;
    GilScope& operator=(const GilScope&) = delete;

private:
    PyGILState_STATE state_;
};

// Releases the GIL for its lifetime (the calling thread must hold it).
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace vyr::py
