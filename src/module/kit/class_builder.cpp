#include "module/kit/class_builder.hpp"

#include <deque>

namespace tarvek::py {

const char* keep_text(std::string text) {
    static std::deque<std::string> texts;  // never shrinks: type tables point into it
    return texts.emplace_back(std::move(text)).c_str();
}

PyTypeObject* create_type(TypeTables& tables) {
    // The tables outlive the type: the interpreter keeps pointers to the method and property
    // arrays, and types live until the process ends.
    auto* methods = new std::vector<PyMethodDef>(tables.methods);
    methods->push_back({nullptr, nullptr, 0, nullptr});
    auto* properties = new std::vector<PyGetSetDef>(tables.properties);
    properties->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

    const bool constructible = tables.constructor != nullptr;
    const char* doc =
        constructible ? keep_text(tables.name + tables.constructor_signature + "\n--\n\n") : "";
    std::vector<PyType_Slot> slots = {
        {Py_tp_dealloc, reinterpret_cast<void*>(tables.deallocate)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_methods, methods->data()},
        {Py_tp_getset, properties->data()},
    };
    if (constructible) slots.push_back({Py_tp_new, reinterpret_cast<void*>(tables.constructor)});
    slots.insert(slots.end(), tables.extra_slots.begin(), tables.extra_slots.end());
    slots.push_back({0, nullptr});

    PyType_Spec type_spec{};
    type_spec.name = keep_text("tarvek_rs." + tables.name);
    type_spec.basicsize = static_cast<int>(tables.basic_size);
    type_spec.itemsize = 0;
    // No Py_TPFLAGS_BASETYPE: no class can be subclassed.
    type_spec.flags = Py_TPFLAGS_DEFAULT | (constructible ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION);
    type_spec.slots = slots.data();
    return reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&type_spec)));
}

}  // namespace tarvek::py
