#include "module/kit/errors.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include "core/numerics/block_cache.hpp"
#include "core/numerics/error.hpp"

namespace tarvek::py {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError();
}

void raise_consumed() {
    raise(PyExc_RuntimeError, consumed_message);
}

void raise_pending() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    throw PythonError();
}

bool kept_blocks_given_back() noexcept {
    return BlockCache::shared().release();
}

void prefix_argument_name(const char* name) noexcept {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject* prefixed = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (prefixed == nullptr) {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, prefixed);
    Py_DECREF(prefixed);
    if (replacement == nullptr) {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return;
    }
    if (traceback) PyException_SetTraceback(value, traceback);
    PyException_SetCause(replacement, value);  // steals value
    Py_DECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetObject(PyExc_TypeError, replacement);
    Py_DECREF(replacement);
}

PyObject* fault_exception_type() noexcept {
    static PyObject* type = PyErr_NewExceptionWithDoc("tarvek_rs.InternalFault",
                                                      "An internal fault of the native module.",
                                                      PyExc_BaseException, nullptr);
    return type ? type : PyExc_SystemError;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error without exception set");
    } catch (const tarvek::Error& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(fault_exception_type(), error.what());
    } catch (...) {
        PyErr_SetString(fault_exception_type(), "unknown internal fault");
    }
}

}  // namespace tarvek::py
