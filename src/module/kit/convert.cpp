#include "module/kit/convert.hpp"

#include <algorithm>
#include <cstring>

namespace tarvek::py {

namespace {

// An integer object for `object`, through __index__ when it is not an int already.
Ref as_index(PyObject* object) {
    if (PyLong_Check(object)) return Ref::borrow(object);
    return Ref::steal(checked(PyNumber_Index(object)));
}

template <class T, class Allocator>
bool copy_buffer_as(PyObject* object, std::vector<T, Allocator>& out) {
    if (!PyObject_CheckBuffer(object)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        return false;
    }
    bool copied = false;
    const char* format = view.format ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const bool is_double = std::strcmp(format, "d") == 0 && view.itemsize == 8;
    const bool is_float = std::strcmp(format, "f") == 0 && view.itemsize == 4;
    if (view.ndim == 1 && (is_double || is_float)) {
        const auto count = static_cast<std::size_t>(view.len / view.itemsize);
        try {
            // A mapped file may be far larger than memory: measure the copy before making it.
            require_allocatable(checked_mul(count, sizeof(T)));
            out.resize(count);
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        for (std::size_t i = 0; i < count; ++i) {
            double value;
            if (is_double) {
                std::memcpy(&value, static_cast<const char*>(view.buf) + 8 * i, 8);
            } else {
                float narrow;
                std::memcpy(&narrow, static_cast<const char*>(view.buf) + 4 * i, 4);
                value = narrow;
            }
            out[i] = static_cast<T>(value);
        }
        copied = true;
    }
    PyBuffer_Release(&view);
    return copied;
}

// The contents of a bytes or bytearray object, measured before they are copied; anything else
// converted as a sequence of ints.
template <class Vector>
BasicByteString<Vector> byte_string(PyObject* object) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(object)) {
        data = PyBytes_AS_STRING(object);
        size = PyBytes_GET_SIZE(object);
    } else if (PyByteArray_Check(object)) {
        data = PyByteArray_AS_STRING(object);
        size = PyByteArray_GET_SIZE(object);
    } else {
        return {FromPython<Vector>::convert(object)};
    }
    require_allocatable(static_cast<std::uint64_t>(size));
    const auto* first = reinterpret_cast<const std::uint8_t*>(data);
    return {Vector(first, first + size)};
}

// The length a sequence claims: 0 when it has none (TypeError, as `list()` takes it), beyond
// every ceiling when it is longer than Py_ssize_t; any other error of its `__len__` propagates.
Py_ssize_t claimed_length(PyObject* object) {
    const Py_ssize_t length = PySequence_Size(object);
    if (length >= 0) return length;
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return 0;
    }
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        // Raised by the interpreter converting the length (or by a built-in such as range), it
        // carries no traceback; one raised in a `__len__` written in Python is that method's own.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (traceback == nullptr) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            throw std::bad_alloc();
        }
        PyErr_Restore(type, value, traceback);
    }
    raise_pending();
}

}  // namespace

std::uint64_t to_u64(PyObject* object) {
    Ref index = as_index(object);
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_pending();
    return value;
}

std::int64_t to_i64(PyObject* object) {
    Ref index = as_index(object);
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) raise_pending();
    return value;
}

long to_long_in_range(PyObject* object, long low, long high) {
    Ref index = as_index(object);
    // A value beyond a C long is out of range like any other: one message for every magnitude.
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) raise_pending();
    if (overflow != 0 || value < low || value > high) {
        raise(PyExc_OverflowError, integral_range_message);
    }
    return value;
}

double to_f64(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) raise_pending();
    return value;
}

bool FromPython<bool>::convert(PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'",
                 Py_TYPE(object)->tp_name);
    throw PythonError();
}

Ref sequence_iterator(PyObject* object, std::size_t item_bytes, Py_ssize_t& claimed) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                     Py_TYPE(object)->tp_name);
        throw PythonError();
    }
    claimed = claimed_length(object);
    // A sequence that claims more values than one value may hold is refused before its first
    // item is read, as Python's own list() refuses it.
    require_allocatable(checked_mul(static_cast<std::uint64_t>(claimed), item_bytes));
    return Ref::steal(checked(PyObject_GetIter(object)));
}

bool copy_float_buffer(PyObject* object, std::vector<double>& out) {
    return copy_buffer_as(object, out);
}
bool copy_float_buffer(PyObject* object, std::vector<float>& out) {
    return copy_buffer_as(object, out);
}
bool copy_float_buffer(PyObject* object, TableVector<double>& out) {
    return copy_buffer_as(object, out);
}
bool copy_float_buffer(PyObject* object, TableVector<float>& out) {
    return copy_buffer_as(object, out);
}

template <>
ByteString FromPython<ByteString>::convert(PyObject* object) {
    return byte_string<std::vector<std::uint8_t>>(object);
}
template <>
TableByteString FromPython<TableByteString>::convert(PyObject* object) {
    return byte_string<TableVector<std::uint8_t>>(object);
}

PyObject* none() {
    return Py_NewRef(Py_None);
}

}  // namespace tarvek::py
