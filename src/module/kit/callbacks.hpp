#pragma once
// Python callables that C++ code calls back (random sources), and the first failure of such a
// call, kept aside until the operation that made the calls can raise it.

#include <optional>

#include "module/kit/errors.hpp"
#include "module/kit/python.hpp"

namespace tarvek::py {

// A strong reference to an object that was callable when wrapped.
class Function {
  public:
    // TypeError "callback must be callable" for anything else.
    explicit Function(PyObject* object);

    // Calls it with no arguments: the result, or null with the raised exception pending.
    Ref call0() const noexcept { return Ref::steal(PyObject_CallNoArgs(callable_.get())); }

  private:
    Ref callable_;
};

// The first exception of a series of calls, or nothing.
class LatchedError {
  public:
    bool latched() const noexcept { return static_cast<bool>(type_); }
    // Takes the pending exception over (one must be pending).
    void latch_pending() noexcept;
    // Latches a new exception of `type` with `message`.
    void latch(PyObject* type, const char* message) noexcept;
    // Raises the latched exception unchanged (throws PythonError); nothing when none is latched.
    void raise_if_latched();

  private:
    Ref type_, value_, traceback_;
};

// A callback's result as a 64-bit float, by the interpreter's float conversion (float, int,
// bool, objects with __float__ or __index__); nothing when it does not convert. The
// conversion's own Exception is dropped, but one outside Exception (KeyboardInterrupt,
// SystemExit) stays pending, so that the caller latches it instead of its own message.
std::optional<double> callback_number(PyObject* result) noexcept;

}  // namespace tarvek::py
