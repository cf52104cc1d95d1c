// One way to carry a failure of the runtime's C API across C++.
//
// A call that fails returns null or -1 with an exception raised; wrapped in
// checked() or check(), it throws py::Error, which takes that exception out
// of the runtime and holds it. The C++ code in between has no error paths of
// its own: references are py::Ref, the GIL a scope, and both are released on
// the way out. Where the runtime calls into C++ (a module function, a type's
// slot, a module's set-up), entry() or entry_status() turns whatever was
// thrown back into a raised exception, so nothing C++ ever crosses a frame of
// the runtime.
//
// A failure that the program contains on purpose (the runtime's catch-all
// guard: an ordinary error is dropped, an exit request or a keyboard
// interrupt passes on) goes through contain(), which reports what it drops to
// the trace with its stage.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "vyr/py_ref.hpp"
#include "vyr/trace.hpp"

namespace vyr::py {

// A Python exception taken out of the runtime's error indicator.
class Error : public std::exception {
public:
    // Takes the raised exception (GIL held); a SystemError when none is.
    Error();
    Error(const Error& other);  // takes the GIL
    Error& operator=(const Error&) = delete;
    ~Error() override;  // takes the GIL when it still holds the exception

    // "TypeName: text" of the exception, as the trace shows it.
    const char* what() const noexcept override { return description_.c_str(); }

    // An Exception, not an exit request, an interrupt or a generator's end.
    bool ordinary() const;
    // Whether the exception is an instance of `type` (GIL held).
    bool matches(PyObject* type) const;
    // The exception object, borrowed (GIL held); null after restore().
    PyObject* value() const { return exception_; }
    // Puts the exception back into the indicator (GIL held).
    void restore();

private:
    PyObject* exception_ = nullptr;
    std::string description_;
};

// "TypeName: text" of an exception object (GIL held; never fails).
std::string describe(PyObject* exception);

// Raises `type` with `message` and throws it as an Error.
[[noreturn]] void raise(PyObject* type, const char* message);

// `result` as an owning reference; throws Error when it is null.
inline Ref checked(PyObject* result) {
    if (!result) throw Error();
    return Ref(result);
}

// `status` itself; throws Error when it is negative (the C API's -1).
inline int check(int status) {
    if (status < 0) throw Error();
    return status;
}

// Raises the C++ exception being handled as the runtime's exception (call in
// a catch block): an Error as itself, std::bad_alloc as MemoryError, any
// other as RuntimeError with its text.
void raise_current_exception() noexcept;

// Runs `body`, which returns the call's result as a Ref, for the runtime:
// the new reference, or null with the exception raised.
template <typename Body>
PyObject* entry(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)().release();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// Runs `body` for a slot that answers 0 or -1 with an exception raised.
template <typename Body>
int entry_status(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
        return 0;
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

// Runs `body`; an ordinary Python error that leaves it is dropped and written
// to the trace of `category` as the failure of `stage`. Returns false when it
// dropped one. An exit request or an interrupt passes on.
template <typename Body>
bool contain(std::string_view category, std::string_view stage, Body&& body) {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (const Error& error) {
        if (!error.ordinary()) throw;
        trace::report(category, stage, error.what());
        return false;
    }
}

}  // namespace vyr::py
