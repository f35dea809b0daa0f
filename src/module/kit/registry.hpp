#pragma once
// Classes and module functions announce themselves here when the module loads; the module's
// execution adds them in its fixed registration order.

#include <exception>
#include <string>
#include <type_traits>
#include <vector>

#include "module/kit/class_builder.hpp"

namespace tarvek::py {

using TypeFactory = PyTypeObject* (*)();

void register_class_entry(std::string name, TypeFactory factory);
void register_function_entry(std::string name, PyMethodDef* definition);

// Looks up a registered entry; null when the name has not been registered.
TypeFactory find_class_entry(const std::string& name);
PyMethodDef* find_function_entry(const std::string& name);
// Every registered name, to check them against the registration order.
std::vector<std::string> registered_names();

// A fault while announcing entries at load time is kept and reported when the module executes.
void record_registration_fault(const char* message) noexcept;
const std::string& registration_fault();

// Announces a class; called from a binding file's load-time registration.
template <class Class>
void register_class() {
    register_class_entry(Class::name(), &type_object<Class>);
}

// Announces a module function from its text signature and a lambda.
template <class F>
void register_function(const std::string& signature, F) {
    static_assert(std::is_empty_v<F>, "bound callables must not capture");
    std::string name;
    std::vector<std::string> params;
    parse_signature(signature, name, params);
    set_callable_info(callable_info<F>(), name, signature, CallableTraits<F>::arity);
    auto* definition = new PyMethodDef{
        keep_text(name),
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_trampoline<F>)),
        METH_FASTCALL | METH_KEYWORDS, keep_text(signature + "\n--\n\n")};
    register_function_entry(name, definition);
}

// Runs a binding file's registrations when the module loads:
// `static const Registration numerical{[] { register_class<...>(); ... }};`
// Their order is free: the module adds entries in its own registration order, and a name on
// only one side (registered, or in that order) fails the import with SystemError.
struct Registration {
    template <class F>
    explicit Registration(F run) noexcept {
        try {
            run();
        } catch (const std::exception& fault) {
            record_registration_fault(fault.what());
        }
    }
};

}  // namespace tarvek::py
