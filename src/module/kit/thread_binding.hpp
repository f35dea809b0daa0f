#pragma once
// Objects of some classes belong to the thread that created them (their values call back into
// Python code that expects that thread). A class opts in with
//   static constexpr bool bound_to_creating_thread = true;
// Every member then refuses other threads with the fault exception, and an object released on
// another thread reports it as unraisable (its value is still freed: nothing in it depends on
// the thread).

#include <string>

#include "module/kit/errors.hpp"
#include "module/kit/python.hpp"

namespace tarvek::py {

template <class Class>
inline constexpr bool bound_to_creating_thread =
    requires { requires Class::bound_to_creating_thread; };

inline unsigned long current_thread() noexcept {
    return PyThread_get_thread_ident();
}

// "_tarvek_rs::binding_generationf32::GenerationF32" for the class named "GenerationF32".
std::string class_path(PyTypeObject* type);

// The fault exception "<class path> is unsendable, but sent to another thread".
[[noreturn]] void raise_sent_to_other_thread(PyObject* self);

// Reports RuntimeError "<class path> is unsendable, but is being dropped on another thread" as
// unraisable, keeping any exception already pending.
void report_dropped_on_other_thread(PyObject* self) noexcept;

}  // namespace tarvek::py
