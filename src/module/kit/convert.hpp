#pragma once
// Conversion of Python arguments into C++ values and of C++ results into Python objects.
//
// The rules follow the binding layer the module's users know: unsigned 64-bit indices raise
// OverflowError when negative, 32-bit fields raise OverflowError "out of range integral type
// conversion attempted", any sequence (numpy arrays included) is accepted where a list is
// expected but a `str` is refused with TypeError "Can't extract `str` to `Vec`".

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/numerics/allocation.hpp"
#include "core/numerics/table_vector.hpp"
#include "module/kit/errors.hpp"
#include "module/kit/python.hpp"

namespace tarvek::py {

inline constexpr const char* integral_range_message =
    "out of range integral type conversion attempted";

// A byte string argument or result: `bytes` in Python. As an argument it may also go straight
// into a table's own vector (`TableByteString`).
template <class Vector>
struct BasicByteString {
    Vector bytes;
};
using ByteString = BasicByteString<std::vector<std::uint8_t>>;
using TableByteString = BasicByteString<TableVector<std::uint8_t>>;

// ---- argument conversion -----------------------------------------------------------------

template <class T>
struct FromPython;  // static T convert(PyObject*): throws PythonError with the error set

std::uint64_t to_u64(PyObject* object);
std::int64_t to_i64(PyObject* object);
// A C long converted to the range [low, high], OverflowError outside it.
long to_long_in_range(PyObject* object, long low, long high);
double to_f64(PyObject* object);

template <>
struct FromPython<unsigned long> {  // u64 and usize
    static unsigned long convert(PyObject* object) { return to_u64(object); }
};
template <>
struct FromPython<long> {
    static long convert(PyObject* object) { return to_i64(object); }
};
template <>
struct FromPython<std::uint32_t> {
    static std::uint32_t convert(PyObject* object) {
        return static_cast<std::uint32_t>(to_long_in_range(object, 0, 0xFFFFFFFFL));
    }
};
template <>
struct FromPython<std::int32_t> {
    static std::int32_t convert(PyObject* object) {
        return static_cast<std::int32_t>(to_long_in_range(object, -2147483648L, 2147483647L));
    }
};
template <>
struct FromPython<std::uint8_t> {
    static std::uint8_t convert(PyObject* object) {
        return static_cast<std::uint8_t>(to_long_in_range(object, 0, 255));
    }
};
template <>
struct FromPython<double> {
    static double convert(PyObject* object) { return to_f64(object); }
};
template <>
struct FromPython<float> {
    static float convert(PyObject* object) { return static_cast<float>(to_f64(object)); }
};
template <>
struct FromPython<bool> {
    static bool convert(PyObject* object);
};

// Refuses `str`, then requires a sequence; returns a new iterator over it and the length it
// claims (0 when it has none). MemoryError when that length, at `item_bytes` a value, is beyond
// what one value may take; an error of its `__len__` other than TypeError propagates.
Ref sequence_iterator(PyObject* object, std::size_t item_bytes, Py_ssize_t& claimed);
// Copies a contiguous one-dimensional buffer of doubles or floats, when `object` offers one;
// MemoryError when the copy is beyond what one value may take.
bool copy_float_buffer(PyObject* object, std::vector<double>& out);
bool copy_float_buffer(PyObject* object, std::vector<float>& out);
bool copy_float_buffer(PyObject* object, TableVector<double>& out);
bool copy_float_buffer(PyObject* object, TableVector<float>& out);

// Room for at least one more value: capacity doubles as usual, but never beyond what one value
// may take, so a sequence whose length was unknown or understated cannot outgrow the machine.
// `before` values held elsewhere count towards it.
template <class T, class Allocator>
void grow_within_ceiling(std::vector<T, Allocator>& values, std::size_t before = 0) {
    const std::uint64_t most = allocation_ceiling() / sizeof(T);
    if (before >= most || values.size() >= most - before) throw std::bad_alloc();
    const std::uint64_t doubled = std::max<std::uint64_t>(2 * values.size(), 16);
    values.reserve(static_cast<std::size_t>(std::min(doubled, most - before)));
}

// Converts the items of a sequence as `Item` (its range and its messages) into `values`, which
// may hold a wider type: the measure is always the stored width. The claimed length is taken
// at once; a table's items beyond it grow on the ordinary heap and the table is made at its
// exact size at the end, so that no block of a growth step is left to the shared cache.
template <class Item, class T, class Allocator>
void convert_items(PyObject* object, std::vector<T, Allocator>& values) {
    if constexpr (std::is_floating_point_v<Item>) {
        static_assert(std::is_same_v<Item, T>, "a float buffer is copied at its own type");
        if (!PyUnicode_Check(object) && copy_float_buffer(object, values)) return;
    }
    Py_ssize_t claimed = 0;
    Ref iterator = sequence_iterator(object, sizeof(T), claimed);
    try {
        values.reserve(static_cast<std::size_t>(claimed));
    } catch (const std::bad_alloc&) {
        // Within the ceiling but more than the machine gives at this moment: the items, fewer
        // than claimed perhaps, are read as those of a sequence of unknown length.
    }
    constexpr bool from_heap = std::is_same_v<Allocator, std::allocator<T>>;
    std::vector<T> beyond;  // a table's items past its claimed length
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        T value = FromPython<Item>::convert(item.get());
        if (from_heap || values.size() < values.capacity()) {
            if (values.size() == values.capacity()) grow_within_ceiling(values);
            values.push_back(std::move(value));
        } else {
            if (beyond.size() == beyond.capacity()) grow_within_ceiling(beyond, values.size());
            beyond.push_back(std::move(value));
        }
    }
    if (PyErr_Occurred()) raise_pending();
    // A claim longer than the items leaves no unused room behind, as list() leaves none.
    if (values.size() < static_cast<std::size_t>(claimed)) values.shrink_to_fit();
    if constexpr (!from_heap) {
        if (beyond.empty()) return;
        std::vector<T, Allocator> whole;
        whole.reserve(values.size() + beyond.size());  // measured as `beyond` grew
        whole.insert(whole.end(), std::make_move_iterator(values.begin()),
                     std::make_move_iterator(values.end()));
        whole.insert(whole.end(), std::make_move_iterator(beyond.begin()),
                     std::make_move_iterator(beyond.end()));
        values = std::move(whole);
    }
}

// Any vector: a table's argument is converted straight into the table's own vector.
template <class T, class Allocator>
struct FromPython<std::vector<T, Allocator>> {
    static std::vector<T, Allocator> convert(PyObject* object) {
        std::vector<T, Allocator> values;
        convert_items<T>(object, values);
        return values;
    }
};

// A list of 32-bit (or other narrow) numbers kept as a vector of a wider type: each item is
// converted and range-checked as `Item`, and the value is measured at the width it is made in.
template <class Item, class Vector>
struct Widened {
    Vector values;
};
template <class Item, class Vector>
struct FromPython<Widened<Item, Vector>> {
    static Widened<Item, Vector> convert(PyObject* object) {
        Widened<Item, Vector> widened;
        convert_items<Item>(object, widened.values);
        return widened;
    }
};

template <class Vector>
struct FromPython<BasicByteString<Vector>> {
    static BasicByteString<Vector> convert(PyObject* object);
};
// Bytes and bytearray are copied whole, anything else converted as a sequence of ints.
template <>
ByteString FromPython<ByteString>::convert(PyObject* object);
template <>
TableByteString FromPython<TableByteString>::convert(PyObject* object);

// A callable or any other object passed through unconverted (borrowed for the call).
template <>
struct FromPython<PyObject*> {
    static PyObject* convert(PyObject* object) { return object; }
};

// Converts one argument; a TypeError gets the argument's name in front of its message.
template <class T>
T convert_argument(PyObject* object, const char* name) {
    try {
        return FromPython<T>::convert(object);
    } catch (const PythonError&) {
        prefix_argument_name(name);
        throw;
    }
}

// ---- result conversion -------------------------------------------------------------------

// A result the method has already made into a Python object (a new reference).
struct Object {
    Ref ref;
};

inline PyObject* to_python(Object&& object) {
    if (!object.ref) raise_pending();
    return object.ref.release();
}
inline PyObject* to_python(bool value) {
    return Py_NewRef(value ? Py_True : Py_False);
}
inline PyObject* to_python(double value) {
    return made_for_python([&] { return PyFloat_FromDouble(value); });
}
inline PyObject* to_python(float value) {
    return to_python(static_cast<double>(value));
}
template <std::integral I>
    requires(!std::same_as<I, bool>)
PyObject* to_python(I value) {
    return made_for_python([&] {
        if constexpr (std::is_signed_v<I>) {
            return PyLong_FromLongLong(static_cast<long long>(value));
        } else {
            return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
        }
    });
}
inline PyObject* to_python(const std::string& text) {
    return made_for_python([&] {
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}
inline PyObject* to_python(const ByteString& bytes) {
    return made_for_python([&] {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.bytes.size()));
    });
}
PyObject* none();

// Declared ahead so that each container form can hold any other (an optional list, a list of
// tuples): a template only sees the overloads declared before it.
template <class T>
PyObject* to_python(std::optional<T>&& value);
template <class T>
PyObject* to_python(std::vector<T>&& values);
template <class T, class Allocator>
PyObject* to_python(const std::vector<T, Allocator>& values);
template <class... T>
PyObject* to_python(std::tuple<T...>&& values);

template <class T>
PyObject* to_python(std::optional<T>&& value) {
    if (!value) return none();
    return to_python(std::move(*value));
}

// ---- the size of a result list -----------------------------------------------------------
//
// A list holds one new object per value, several times the size of the value it is made from,
// so a list of a value that fits the machine may not. Its size is measured against the same
// ceiling as the core's values before anything is built; beyond it, MemoryError.

// A heap block for an object of `bytes`: a malloc header and rounding to 16 bytes, which also
// covers Python's small-object allocator (16-byte rounding, no header).
constexpr std::uint64_t python_block_bytes(std::uint64_t bytes) {
    return (bytes + sizeof(void*) + 15) / 16 * 16;
}

// The new object one value of `T` becomes: a float, or an int with as many digits as the
// widest value of `T` needs. Small ints and booleans are shared, but are counted all the same.
template <class T>
constexpr std::uint64_t python_value_bytes() {
    if constexpr (std::is_floating_point_v<T>) {
        return python_block_bytes(sizeof(PyFloatObject));
    } else {
        static_assert(std::is_integral_v<T>, "a result list holds numbers");
        constexpr std::uint64_t digits =
            (std::numeric_limits<T>::digits + PyLong_SHIFT - 1) / PyLong_SHIFT;
        return python_block_bytes(sizeof(PyVarObject) + digits * sizeof(digit));
    }
}

// Throws std::bad_alloc (MemoryError) when a list of `count` values of `T`, its pointers and
// one object per value, would take more than one value may.
template <class T>
void require_list_fits(std::size_t count) {
    require_allocatable(checked_mul(count, sizeof(PyObject*) + python_value_bytes<T>()));
}

// A new list of `count` empty slots, made after its measure. Each item is then made once more on
// its own when memory runs short: the whole list made again would find its items moved from.
inline PyObject* new_list(std::size_t count) {
    return made_for_python([&] { return PyList_New(static_cast<Py_ssize_t>(count)); });
}

// A new list, each element converted by `to_python`.
template <class T>
PyObject* to_python(std::vector<T>&& values) {
    require_list_fits<T>(values.size());
    Ref list = Ref::steal(new_list(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(std::move(values[i])));
    }
    return list.release();
}
// A new list from a borrowed vector (a held value's array), without copying the vector.
template <class T, class Allocator>
PyObject* to_python(const std::vector<T, Allocator>& values) {
    require_list_fits<T>(values.size());
    Ref list = Ref::steal(new_list(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(T(values[i])));
    }
    return list.release();
}

template <class... T>
PyObject* to_python(std::tuple<T...>&& values) {
    Ref tuple = Ref::steal(made_for_python([] { return PyTuple_New(sizeof...(T)); }));
    std::apply(
        [&](auto&... item) {
            Py_ssize_t index = 0;
            ((PyTuple_SET_ITEM(tuple.get(), index++, to_python(std::move(item)))), ...);
        },
        values);
    return tuple.release();
}

}  // namespace tarvek::py
