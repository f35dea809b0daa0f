#pragma once
// The Python object of every class: the interpreter's header, a borrow flag, the creating
// thread and an optional object-layer value. Absence of the value is the closed state.

#include <new>
#include <optional>
#include <utility>

#include "module/kit/borrow.hpp"
#include "module/kit/errors.hpp"
#include "module/kit/python.hpp"
#include "module/kit/thread_binding.hpp"

namespace tarvek::py {

template <class Value>
struct Instance {
    PyObject_HEAD BorrowFlag borrow;
    unsigned long thread;  // consulted only by classes bound to their creating thread
    std::optional<Value> value;
};

template <class Value>
Instance<Value>* instance_cast(PyObject* object) noexcept {
    return reinterpret_cast<Instance<Value>*>(object);
}

// Creates an open object of `type` holding `value`.
template <class Value>
PyObject* allocate_instance(PyTypeObject* type, Value&& value) {
    PyObject* object = made_for_python([&] { return type->tp_alloc(type, 0); });
    auto* instance = instance_cast<std::remove_cvref_t<Value>>(object);
    new (&instance->borrow) BorrowFlag();
    instance->thread = current_thread();
    new (&instance->value) std::optional<std::remove_cvref_t<Value>>();
    try {
        instance->value.emplace(std::forward<Value>(value));
    } catch (...) {
        Py_DECREF(object);
        throw;
    }
    return object;
}

// Refuses a member call from another thread, for classes bound to their creating thread.
template <bool Bound, class Value>
void check_thread(PyObject* self) {
    if constexpr (Bound) {
        if (instance_cast<Value>(self)->thread != current_thread()) {
            raise_sent_to_other_thread(self);
        }
    }
}

// tp_dealloc of every class: drops the held value, then the object.
template <class Value, bool Bound = false>
void deallocate_instance(PyObject* object) noexcept {
    auto* instance = instance_cast<Value>(object);
    if constexpr (Bound) {
        if (instance->thread != current_thread()) report_dropped_on_other_thread(object);
    }
    PyTypeObject* type = Py_TYPE(object);
    instance->value.~optional();
    instance->borrow.~BorrowFlag();
    type->tp_free(object);
    Py_DECREF(type);
}

}  // namespace tarvek::py
