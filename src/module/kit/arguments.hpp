#pragma once
// Binding call arguments to named parameters, and object arguments of the module's classes.

#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/kit/convert.hpp"
#include "module/kit/instance.hpp"

namespace tarvek::py {

// What a trampoline knows of its callable: the name used in messages and the parameters.
struct CallableInfo {
    std::string qualified_name;       // "ModelF32.stream", "ModelF32", "regroup_data_f32"
    std::vector<std::string> params;  // parameter names, receiver excluded
};

// Splits "name(a, b)" into "name" and {"a", "b"}; "(a, b)" gives an empty name.
void parse_signature(std::string_view signature, std::string& name,
                     std::vector<std::string>& params);

// Matches a vectorcall's positional and keyword arguments to the parameters; every parameter
// is required. Raises TypeError for a surplus, repeated, unknown or missing argument.
void bind_arguments(const CallableInfo& info, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);
// The same for a tuple and a keyword dictionary (constructors).
void bind_arguments(const CallableInfo& info, PyObject* args, PyObject* kwargs, PyObject** bound);

template <class Class>
PyTypeObject* type_object();

// Raises the conversion TypeError for an object that is not an instance of `expected`.
[[noreturn]] void raise_wrong_class(PyObject* object, const char* expected);

// An object argument of `Class`, borrowed shared for the call. Its closed state is checked
// after the receiver's, so it can be converted while still closed.
template <class Class>
class Shared {
  public:
    using Value = typename Class::Value;
    Shared(Instance<Value>* instance) : instance_(instance), borrow_(instance->borrow) {}
    void check_open() const {
        if (!instance_->value) raise_consumed();
    }
    const Value& operator*() const { return *instance_->value; }
    const Value* operator->() const { return &*instance_->value; }
    PyObject* object() const { return reinterpret_cast<PyObject*>(instance_); }

  private:
    Instance<Value>* instance_;
    SharedBorrow borrow_;
};

// An object argument the method writes into, borrowed exclusively for the call.
template <class Class>
class Exclusive {
  public:
    using Value = typename Class::Value;
    Exclusive(Instance<Value>* instance) : instance_(instance), borrow_(instance->borrow) {}
    void check_open() const {
        if (!instance_->value) raise_consumed();
    }
    Value& operator*() const { return *instance_->value; }
    Value* operator->() const { return &*instance_->value; }
    PyObject* object() const { return reinterpret_cast<PyObject*>(instance_); }

  private:
    Instance<Value>* instance_;
    ExclusiveBorrow borrow_;
};

template <class Class>
Instance<typename Class::Value>* instance_of_class(PyObject* object) {
    if (Py_TYPE(object) != type_object<Class>()) raise_wrong_class(object, Class::name().c_str());
    return instance_cast<typename Class::Value>(object);
}

template <class Class>
struct FromPython<Shared<Class>> {
    static Shared<Class> convert(PyObject* object) { return {instance_of_class<Class>(object)}; }
};
template <class Class>
struct FromPython<Exclusive<Class>> {
    static Exclusive<Class> convert(PyObject* object) { return {instance_of_class<Class>(object)}; }
};

// A receiver value taken out of its object by a consuming method.
template <class Value>
struct Taken {
    Value value;
};

// ---- converting a parameter list ---------------------------------------------------------

template <class T>
using Stored = std::remove_cvref_t<T>;

template <class... Params, std::size_t... I>
std::tuple<Stored<Params>...> convert_arguments(const CallableInfo& info, PyObject** bound,
                                                std::index_sequence<I...>) {
    // Braced initialisation converts strictly in parameter order.
    return std::tuple<Stored<Params>...>{
        convert_argument<Stored<Params>>(bound[I], info.params[I].c_str())...};
}

// Checks the closed state of every object argument, in parameter order.
template <class Tuple>
void check_arguments_open(const Tuple& arguments) {
    std::apply(
        [](const auto&... argument) {
            (
                [&] {
                    if constexpr (requires { argument.check_open(); }) argument.check_open();
                }(),
                ...);
        },
        arguments);
}

// ---- callable introspection --------------------------------------------------------------

template <class F>
struct CallableTraits : CallableTraits<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct CallableTraits<R (C::*)(A...) const> {
    using Result = R;
    using Params = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

// Per-callable information, filled once when its class or function is registered.
template <class F>
CallableInfo& callable_info() {
    static CallableInfo info;
    return info;
}

// Records a callable's name and parameters; the signature must list exactly `arity` names.
void set_callable_info(CallableInfo& info, std::string qualified_name, std::string_view signature,
                       std::size_t arity);

}  // namespace tarvek::py
