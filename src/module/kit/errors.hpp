#pragma once
// Raising Python exceptions from C++ and turning every C++ failure into one.

#include <exception>

#include "module/kit/python.hpp"

namespace tarvek::py {

inline constexpr const char* consumed_message = "owner has been consumed";

// Thrown once a Python exception has been set; unwinds to the calling trampoline.
struct PythonError final : std::exception {
    const char* what() const noexcept override { return "Python exception set"; }
};

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* message);
// RuntimeError "owner has been consumed": a closed receiver or argument.
[[noreturn]] void raise_consumed();
// Throws PythonError for an exception a failed C API call has already set.
[[noreturn]] void raise_pending();
// Checks a C API result: a null pointer means an exception is pending.
inline PyObject* checked(PyObject* result) {
    if (result == nullptr) raise_pending();
    return result;
}

// Gives the blocks the shared block cache keeps back to the system; false when it kept none.
bool kept_blocks_given_back() noexcept;

// What follows a failed step of `made_for_python` with its error pending: the step once more when
// it failed for want of memory and kept blocks went back, else the error. Out of line and cold.
template <class Make>
[[gnu::cold, gnu::noinline]] PyObject* made_once_more(Make& make) {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError) || !kept_blocks_given_back()) raise_pending();
    PyErr_Clear();
    return checked(make());
}

// The new object `make` returns: a new reference, or null with a Python exception set. When it
// fails for want of memory while the block cache keeps freed tables, they go back and `make`
// runs once more; a second failure propagates as the first would have. Python's own allocations
// never reach the core's release of kept blocks, and under an address-space limit those blocks
// may be all that is missing. `make` must leave its inputs as they were. Always inlined, as
// `checked` was: a list makes one object a value.
template <class Make>
[[gnu::always_inline]] inline PyObject* made_for_python(Make&& make) {
    if (PyObject* object = make()) return object;
    return made_once_more(make);
}

// Puts "argument 'name': " in front of a pending TypeError, as argument conversion reports it.
void prefix_argument_name(const char* name) noexcept;

// Converts the exception being handled into the pending Python exception. Core and codec
// errors become ValueError with their message; allocation failures MemoryError; anything
// unexpected the module's fault exception (a BaseException, never caught by `except Exception`).
void set_error_from_current_exception() noexcept;

// The exception type for internal faults; created once.
PyObject* fault_exception_type() noexcept;

// Runs `body` and converts any C++ exception; returns `failure` when one was raised.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return failure;
    }
}

}  // namespace tarvek::py
