#pragma once
// Trampolines from the interpreter's calling conventions to plain C++ lambdas.
//
// Every call runs the same steps: bind the arguments to the parameter names, borrow the
// receiver (shared for `const Value&`, exclusive for `Value&` and consuming `Taken<Value>`),
// convert the arguments in parameter order, refuse a closed receiver (a consuming method takes
// the value out here), refuse closed object arguments in order, run the body, convert the
// result. Any C++ exception becomes the matching Python exception.

#include <array>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/kit/arguments.hpp"

namespace tarvek::py {

// Wraps a value in a new object of `Class`.
template <class Class>
Object make_object(typename Class::Value value) {
    return Object{Ref::steal(allocate_instance(type_object<Class>(), std::move(value)))};
}

namespace detail {

template <class Tuple>
struct TupleTail;
template <class Head, class... Tail>
struct TupleTail<std::tuple<Head, Tail...>> {
    using Head_ = Head;
    using Type = std::tuple<Tail...>;
};

// Calls `f` with a leading receiver (if any) and the converted arguments; converts the result.
template <class F, class Params, class... Lead, class Converted>
PyObject* invoke(Converted& converted, Lead&&... lead) {
    return std::apply(
        [&](auto&... argument) -> PyObject* {
            return [&]<class... P>(std::type_identity<std::tuple<P...>>) -> PyObject* {
                using Result = typename CallableTraits<F>::Result;
                if constexpr (std::is_void_v<Result>) {
                    F{}(std::forward<Lead>(lead)..., static_cast<P&&>(argument)...);
                    return none();
                } else {
                    return to_python(
                        F{}(std::forward<Lead>(lead)..., static_cast<P&&>(argument)...));
                }
            }(std::type_identity<Params>{});
        },
        converted);
}

template <class... P>
auto convert_params(const CallableInfo& info, PyObject** bound,
                    std::type_identity<std::tuple<P...>>) {
    return convert_arguments<P...>(info, bound, std::index_sequence_for<P...>{});
}

template <std::size_t N>
using BoundArguments = std::array<PyObject*, (N > 0 ? N : 1)>;

template <class Value, class Receiver>
constexpr int receiver_kind() {
    using Plain = std::remove_cvref_t<Receiver>;
    if constexpr (std::is_same_v<Plain, Taken<Value>>) {
        return 2;  // consuming
    } else {
        static_assert(std::is_same_v<Plain, Value>,
                      "the first parameter must be the receiver's value");
        return std::is_const_v<std::remove_reference_t<Receiver>> ? 0 : 1;
    }
}

}  // namespace detail

// A method: `self` is an instance of the class holding `Value`. `Bound`: the class is bound to
// its creating thread, checked right after binding the arguments.
template <class Value, class F, bool Bound = false>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        using Traits = CallableTraits<F>;
        using Split = detail::TupleTail<typename Traits::Params>;
        using Receiver = typename Split::Head_;
        using Params = typename Split::Type;
        const CallableInfo& info = callable_info<F>();
        detail::BoundArguments<Traits::arity - 1> bound{};
        bind_arguments(info, args, nargs, kwnames, bound.data());
        check_thread<Bound, Value>(self);
        auto* instance = instance_cast<Value>(self);
        constexpr int kind = detail::receiver_kind<Value, Receiver>();
        if constexpr (kind == 0) {
            SharedBorrow borrow(instance->borrow);
            auto converted =
                detail::convert_params(info, bound.data(), std::type_identity<Params>{});
            if (!instance->value) raise_consumed();
            check_arguments_open(converted);
            return detail::invoke<F, Params>(converted, std::as_const(*instance->value));
        } else if constexpr (kind == 1) {
            ExclusiveBorrow borrow(instance->borrow);
            auto converted =
                detail::convert_params(info, bound.data(), std::type_identity<Params>{});
            if (!instance->value) raise_consumed();
            check_arguments_open(converted);
            return detail::invoke<F, Params>(converted, *instance->value);
        } else {
            ExclusiveBorrow borrow(instance->borrow);
            auto converted =
                detail::convert_params(info, bound.data(), std::type_identity<Params>{});
            if (!instance->value) raise_consumed();
            Taken<Value> taken{std::move(*instance->value)};
            instance->value.reset();
            check_arguments_open(converted);
            return detail::invoke<F, Params>(converted, std::move(taken));
        }
    });
}

// A static method or a module function: no receiver.
template <class F>
PyObject* function_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        using Traits = CallableTraits<F>;
        using Params = typename Traits::Params;
        const CallableInfo& info = callable_info<F>();
        detail::BoundArguments<Traits::arity> bound{};
        bind_arguments(info, args, nargs, kwnames, bound.data());
        auto converted = detail::convert_params(info, bound.data(), std::type_identity<Params>{});
        check_arguments_open(converted);
        return detail::invoke<F, Params>(converted);
    });
}

// A constructor: the lambda returns the new object's value.
template <class Value, class F>
PyObject* constructor_trampoline(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        using Traits = CallableTraits<F>;
        using Params = typename Traits::Params;
        const CallableInfo& info = callable_info<F>();
        detail::BoundArguments<Traits::arity> bound{};
        bind_arguments(info, args, kwargs, bound.data());
        auto converted = detail::convert_params(info, bound.data(), std::type_identity<Params>{});
        check_arguments_open(converted);
        Value value =
            std::apply([](auto&... argument) { return F{}(std::move(argument)...); }, converted);
        return allocate_instance(type, std::move(value));
    });
}

// A property getter: thread check, shared borrow, closed check, body.
template <class Value, class F, bool Bound = false>
PyObject* getter_trampoline(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        check_thread<Bound, Value>(self);
        auto* instance = instance_cast<Value>(self);
        SharedBorrow borrow(instance->borrow);
        if (!instance->value) raise_consumed();
        return to_python(F{}(std::as_const(*instance->value)));
    });
}

// A property setter: thread check, converts the new value, then borrows exclusively and checks
// closed.
template <class Value, class F, bool Bound = false>
int setter_trampoline(PyObject* self, PyObject* new_value, void*) {
    return guarded<int>(-1, [&]() -> int {
        check_thread<Bound, Value>(self);
        if (new_value == nullptr) raise(PyExc_AttributeError, "property has no deleter");
        using Param = Stored<std::tuple_element_t<1, typename CallableTraits<F>::Params>>;
        const CallableInfo& info = callable_info<F>();
        Param converted = convert_argument<Param>(new_value, info.params[0].c_str());
        auto* instance = instance_cast<Value>(self);
        ExclusiveBorrow borrow(instance->borrow);
        if (!instance->value) raise_consumed();
        F{}(*instance->value, std::move(converted));
        return 0;
    });
}

}  // namespace tarvek::py
