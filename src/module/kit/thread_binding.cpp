#include "module/kit/thread_binding.hpp"

#include <cctype>
#include <cstring>

namespace tarvek::py {

std::string class_path(PyTypeObject* type) {
    const char* full = type->tp_name;
    const char* dot = std::strrchr(full, '.');
    const std::string name = dot ? dot + 1 : full;
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "_tarvek_rs::binding_" + lower + "::" + name;
}

void raise_sent_to_other_thread(PyObject* self) {
    const std::string message =
        class_path(Py_TYPE(self)) + " is unsendable, but sent to another thread";
    raise(fault_exception_type(), message.c_str());
}

void report_dropped_on_other_thread(PyObject* self) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    try {
        const std::string message =
            class_path(Py_TYPE(self)) + " is unsendable, but is being dropped on another thread";
        PyErr_SetString(PyExc_RuntimeError, message.c_str());
    } catch (...) {
        PyErr_NoMemory();
    }
    // The object is half destroyed: the report names no object.
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, traceback);
}

}  // namespace tarvek::py
