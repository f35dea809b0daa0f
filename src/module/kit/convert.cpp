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

// The sequence size hint is only a hint: cap it so a lying __len__ cannot reserve gigabytes.
constexpr Py_ssize_t max_reserved_items = Py_ssize_t{1} << 20;

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

// The contents of a bytes or bytearray object, measured before they are copied.
ByteString copied_bytes(const char* data, Py_ssize_t size) {
    require_allocatable(static_cast<std::uint64_t>(size));
    const auto* first = reinterpret_cast<const std::uint8_t*>(data);
    return ByteString{std::vector<std::uint8_t>(first, first + size)};
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

Ref sequence_iterator(PyObject* object, std::size_t item_bytes, Py_ssize_t& size_hint) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                     Py_TYPE(object)->tp_name);
        throw PythonError();
    }
    size_hint = PySequence_Size(object);
    if (size_hint < 0) {
        // A length beyond Py_ssize_t is beyond any value's ceiling too.
        const bool too_long = PyErr_ExceptionMatches(PyExc_OverflowError);
        PyErr_Clear();
        if (too_long) throw std::bad_alloc();
        size_hint = 0;
    }
    // A sequence that claims more values than one value may hold is refused before its first
    // item is read, as Python's own list() refuses it.
    require_allocatable(checked_mul(static_cast<std::uint64_t>(size_hint), item_bytes));
    size_hint = std::min(size_hint, max_reserved_items);
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

ByteString FromPython<ByteString>::convert(PyObject* object) {
    if (PyBytes_Check(object)) {
        return copied_bytes(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
    }
    if (PyByteArray_Check(object)) {
        return copied_bytes(PyByteArray_AS_STRING(object), PyByteArray_GET_SIZE(object));
    }
    return ByteString{FromPython<std::vector<std::uint8_t>>::convert(object)};
}

PyObject* none() {
    return Py_NewRef(Py_None);
}

}  // namespace tarvek::py
