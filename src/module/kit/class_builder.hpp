#pragma once
// Declaring a Python class of the module: its constructor, methods, static methods and
// properties as C++ lambdas over the held value. A class is a struct with
//   using Value = ...;                          // the object-layer value it holds
//   static std::string name();                  // "ModelF32"
//   static void define(ClassBuilder<Class>&);   // its members
// Every class gets `free()`, `close()` and `is_closed`. A class may declare
//   static constexpr bool bound_to_creating_thread = true;   // see kit/thread_binding.hpp
// The type object is created once per process, with `__module__` "tarvek_rs", no subclassing, no
// `__dict__`, and a doc that is the constructor's text signature (empty, and instantiation refused,
// when it has none).

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/kit/binding.hpp"

namespace tarvek::py {

// Keeps a text alive for the life of the process (type and method tables point into it).
const char* keep_text(std::string text);

// Creates the type object from collected tables; raises the interpreter's error on failure.
struct TypeTables {
    std::string name;
    std::size_t basic_size = 0;
    destructor deallocate = nullptr;
    newfunc constructor = nullptr;
    std::string constructor_signature;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> properties;
    std::vector<PyType_Slot> extra_slots;
};
PyTypeObject* create_type(TypeTables& tables);

template <class Class>
class ClassBuilder {
  public:
    using Value = typename Class::Value;
    static constexpr bool bound = bound_to_creating_thread<Class>;

    explicit ClassBuilder(std::string name) {
        tables_.name = std::move(name);
        tables_.basic_size = sizeof(Instance<Value>);
        tables_.deallocate = &deallocate_instance<Value, bound>;
    }

    // `signature` lists the parameters: "(layouts, durations)".
    template <class F>
    void constructor(const char* signature, F) {
        static_assert(std::is_empty_v<F>, "bound callables must not capture");
        set_callable_info(callable_info<F>(), tables_.name, signature, CallableTraits<F>::arity);
        tables_.constructor = &constructor_trampoline<Value, F>;
        tables_.constructor_signature = signature;
    }

    // `signature` is the method's name and parameters without the receiver: "stream(index)".
    template <class F>
    void method(const char* signature, F) {
        static_assert(std::is_empty_v<F>, "bound callables must not capture");
        add_method(signature, CallableTraits<F>::arity - 1, callable_info<F>(),
                   reinterpret_cast<PyCFunction>(
                       reinterpret_cast<void (*)()>(&method_trampoline<Value, F, bound>)),
                   0);
    }

    template <class F>
    void static_method(const char* signature, F) {
        static_assert(std::is_empty_v<F>, "bound callables must not capture");
        add_method(
            signature, CallableTraits<F>::arity, callable_info<F>(),
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_trampoline<F>)),
            METH_STATIC);
    }

    template <class Getter>
    void property(const char* name, Getter) {
        add_property(name, &getter_trampoline<Value, Getter, bound>, nullptr);
    }

    // A writable property; deleting it raises AttributeError "property has no deleter". A new
    // value that does not convert is reported as the setter's argument `value`.
    template <class Getter, class Setter>
    void property(const char* name, Getter, Setter) {
        static_assert(std::is_empty_v<Setter>, "bound callables must not capture");
        set_callable_info(callable_info<Setter>(), tables_.name + "." + name, "(value)", 1);
        add_property(name, &getter_trampoline<Value, Getter, bound>,
                     &setter_trampoline<Value, Setter, bound>);
    }

    // `cloned()`: a new object of the same class holding a deep copy.
    void cloned() {
        method("cloned()", [](const Value& value) { return make_object<Class>(Value(value)); });
    }

    // A raw type slot (comparison, representation, number protocol).
    void slot(int id, void* function) { tables_.extra_slots.push_back({id, function}); }

    // Classes whose objects are never closed (the enumeration class) have no `free()`.
    void without_closing() { closable_ = false; }

    PyTypeObject* create() {
        if (closable_) add_closing_members();
        return create_type(tables_);
    }

  private:
    void add_method(const char* signature, std::size_t arity, CallableInfo& info,
                    PyCFunction function, int flags) {
        std::string name;
        std::vector<std::string> params;
        parse_signature(signature, name, params);
        set_callable_info(info, tables_.name + "." + name, signature, arity);
        std::string doc = name + "(";
        if (!(flags & METH_STATIC)) doc += params.empty() ? "$self" : "$self, ";
        for (std::size_t i = 0; i < params.size(); ++i) doc += (i ? ", " : "") + params[i];
        doc += ")\n--\n\n";
        tables_.methods.push_back(
            {keep_text(name), function, METH_FASTCALL | METH_KEYWORDS | flags, keep_text(doc)});
    }

    void add_property(const char* name, getter get, setter set) {
        tables_.properties.push_back({keep_text(name), get, set, nullptr, nullptr});
    }

    static PyObject* free_value(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            check_thread<bound, Value>(self);
            auto* instance = instance_cast<Value>(self);
            ExclusiveBorrow borrow(instance->borrow);
            instance->value.reset();
            return none();
        });
    }

    static PyObject* is_closed(PyObject* self, void*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            check_thread<bound, Value>(self);
            auto* instance = instance_cast<Value>(self);
            SharedBorrow borrow(instance->borrow);
            return to_python(!instance->value.has_value());
        });
    }

    void add_closing_members() {
        for (const char* name : {"free", "close"}) {
            tables_.methods.push_back(
                {name, &free_value, METH_NOARGS, keep_text(std::string(name) + "($self)\n--\n\n")});
        }
        add_property("is_closed", &is_closed, nullptr);
    }

    TypeTables tables_;
    bool closable_ = true;
};

template <class Pointer>
struct MemberType;
template <class Owner, class T>
struct MemberType<T Owner::*> {
    using type = T;
};

// A writable property over one plain data member of the held value:
// `define_field<&Value::temperature>(c, "temperature")`. The getter returns a copy; the setter
// converts the new value to the member's own type and stores it.
template <auto Member, class Class>
void define_field(ClassBuilder<Class>& c, const char* name) {
    using Value = typename Class::Value;
    using Field = typename MemberType<decltype(Member)>::type;
    c.property(
        name, [](const Value& value) { return value.*Member; },
        [](Value& value, Field field) { value.*Member = field; });
}

// The class's type object, created on first use and kept for the life of the process, so a
// second import of the module registers the very same classes.
template <class Class>
PyTypeObject* type_object() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        ClassBuilder<Class> builder(Class::name());
        Class::define(builder);
        type = builder.create();
        if constexpr (requires { Class::finish(type); }) Class::finish(type);
    }
    return type;
}

}  // namespace tarvek::py
