#include "module/kit/callbacks.hpp"

namespace tarvek::py {

Function::Function(PyObject* object) {
    if (!PyCallable_Check(object)) raise(PyExc_TypeError, "callback must be callable");
    callable_ = Ref::borrow(object);
}

void LatchedError::latch_pending() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {  // nothing pending: a fault of the caller, not of the callback
        type = Py_NewRef(PyExc_SystemError);
        value = PyUnicode_FromString("error return without exception set");
    }
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
}

void LatchedError::latch(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
    latch_pending();
}

void LatchedError::raise_if_latched() {
    if (!latched()) return;
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    throw PythonError();
}

std::optional<double> callback_number(PyObject* result) noexcept {
    if (PyFloat_Check(result)) return PyFloat_AS_DOUBLE(result);
    const double value = PyFloat_AsDouble(result);
    if (value == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

}  // namespace tarvek::py
