// The object-layer kit seen from Python: a small test class bound with the kit, exercised by
// Python snippets in an embedded interpreter. Covers the paths no module class needs yet:
// consuming methods, borrow conflicts through re-entrant callbacks, and the order of
// conversion and closed checks.

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "core/numerics/allocation.hpp"
#include "core/numerics/block_cache.hpp"
#include "core/numerics/error.hpp"
#include "core/numerics/table_vector.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {
namespace {

struct Box {
    std::vector<double> values;
};

void call(PyObject* callback) {
    Ref result = Ref::steal(PyObject_CallNoArgs(callback));
    if (!result) raise_pending();
}

struct BoxClass {
    using Value = Box;
    static std::string name() { return "KitBox"; }
    static void define(ClassBuilder<BoxClass>& c) {
        c.constructor("(values)",
                      [](std::vector<double> values) { return Box{std::move(values)}; });
        c.method("total()", [](const Box& box) {
            return std::accumulate(box.values.begin(), box.values.end(), 0.0);
        });
        c.method("push(value)", [](Box& box, double value) { box.values.push_back(value); });
        c.method("absorb(other)", [](Box& box, const Shared<BoxClass>& other) {
            box.values.insert(box.values.end(), other->values.begin(), other->values.end());
        });
        c.method("into_values(limit)", [](Taken<Box> box, std::uint64_t limit) {
            if (box.value.values.size() > limit) throw ModelError("box holds too many values");
            return std::move(box.value.values);
        });
        c.method("into_merged(other)", [](Taken<Box> box, const Shared<BoxClass>& other) {
            box.value.values.insert(box.value.values.end(), other->values.begin(),
                                    other->values.end());
            return make_object<BoxClass>(std::move(box.value));
        });
        c.method("read_with(callback)", [](const Box&, PyObject* callback) { call(callback); });
        c.method("write_with(callback)", [](Box&, PyObject* callback) { call(callback); });
        c.method("index_of(index)",
                 [](const Box& box, std::uint64_t index) -> std::optional<double> {
                     if (index >= box.values.size()) return std::nullopt;
                     return box.values[index];
                 });
        c.method("bits(value)", [](const Box&, std::uint32_t value) { return value; });
        c.static_method("capacity(values)",
                        [](const std::vector<double>& values) { return values.capacity(); });
        c.static_method("widened(values)",
                        [](Widened<std::uint32_t, std::vector<std::uint64_t>> values) {
                            return std::move(values.values);
                        });
        // A table converted from Python, while it lives: its length, its sum, and what the
        // shared block cache keeps meanwhile.
        c.static_method("table(values)", [](const TableVector<double>& values) {
            return std::tuple<std::uint64_t, double, std::uint64_t>{
                values.size(), std::accumulate(values.begin(), values.end(), 0.0),
                BlockCache::shared().kept_bytes()};
        });
        c.static_method("make(count)", [](std::uint64_t count) {
            return make_object<BoxClass>(Box{std::vector<double>(count, 1.0)});
        });
        c.property(
            "first", [](const Box& box) { return box.values.empty() ? 0.0 : box.values[0]; },
            [](Box& box, double value) {
                if (box.values.empty()) throw ModelError("box is empty");
                box.values[0] = value;
            });
        c.cloned();
    }
};

// Counts its live values, to see that a value is freed whichever thread releases it.
struct Tracked {
    static inline int live = 0;
    Tracked() { ++live; }
    Tracked(const Tracked&) { ++live; }
    Tracked(Tracked&&) noexcept { ++live; }
    ~Tracked() { --live; }
};

struct BoundClass {
    using Value = Tracked;
    static constexpr bool bound_to_creating_thread = true;
    static std::string name() { return "KitBound"; }
    static void define(ClassBuilder<BoundClass>& c) {
        c.constructor("()", [] { return Tracked(); });
        c.method("touch()", [](const Tracked&) {});
        c.property("live", [](const Tracked&) { return Tracked::live; });
    }
};

PyObject* live_tracked(PyObject*, PyObject*) {
    return PyLong_FromLong(Tracked::live);
}
PyMethodDef live_tracked_definition = {"live_tracked", &live_tracked, METH_NOARGS, nullptr};

PyObject* kept_bytes(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLongLong(BlockCache::shared().kept_bytes());
}
PyMethodDef kept_bytes_definition = {"kept_bytes", &kept_bytes, METH_NOARGS, nullptr};

class Kit : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        Py_Initialize();
        globals_ = PyDict_New();
        PyDict_SetItemString(globals_, "__builtins__", PyEval_GetBuiltins());
        PyObject* type = reinterpret_cast<PyObject*>(type_object<BoxClass>());
        PyDict_SetItemString(globals_, "KitBox", type);
        PyDict_SetItemString(globals_, "KitBound",
                             reinterpret_cast<PyObject*>(type_object<BoundClass>()));
        PyDict_SetItemString(globals_, "live_tracked",
                             PyCFunction_New(&live_tracked_definition, nullptr));
        PyDict_SetItemString(globals_, "kept_bytes",
                             PyCFunction_New(&kept_bytes_definition, nullptr));
        PyDict_SetItemString(globals_, "CEILING",
                             PyLong_FromUnsignedLongLong(allocation_ceiling()));
        run(R"py(
def raises(kind, text, call):
    try:
        call()
    except BaseException as error:
        assert type(error) is kind, (type(error), error)
        assert text in str(error), str(error)
        return
    raise AssertionError("no exception")
)py");
    }

    // Runs a Python snippet; any exception (a failed assert included) fails the test.
    static void run(const std::string& code) {
        PyObject* result = PyRun_String(code.c_str(), Py_file_input, globals_, globals_);
        if (result == nullptr) {
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            PyObject* text = value ? PyObject_Str(value) : nullptr;
            ADD_FAILURE() << "Python: " << (text ? PyUnicode_AsUTF8(text) : "?");
            Py_XDECREF(text);
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
            PyErr_Clear();
            return;
        }
        Py_DECREF(result);
    }

    static PyObject* globals_;
};
PyObject* Kit::globals_ = nullptr;

TEST_F(Kit, TypeObjectShape) {
    run(R"py(
assert KitBox.__module__ == "tarvek_rs" and KitBox.__qualname__ == "KitBox"
assert KitBox.__text_signature__ == "(values)"
assert KitBox.push.__text_signature__ == "($self, value)"
assert KitBox.make.__text_signature__ == "(count)"
assert KitBox.free.__text_signature__ == "($self)"
raises(TypeError, "not an acceptable base type", lambda: type("Sub", (KitBox,), {}))
assert not hasattr(KitBox([1.0]), "__dict__")
)py");
}

TEST_F(Kit, ConsumingMethodsCloseTheReceiverEvenOnFailure) {
    run(R"py(
box = KitBox([1.0, 2.0])
assert box.into_values(5) == [1.0, 2.0] and box.is_closed
raises(RuntimeError, "owner has been consumed", lambda: box.into_values(5))

box = KitBox([1.0, 2.0])
raises(ValueError, "box holds too many values", lambda: box.into_values(1))
assert box.is_closed

# A wrong argument type fails in conversion and takes nothing.
box = KitBox([1.0])
raises(TypeError, "argument 'limit'", lambda: box.into_values("x"))
assert not box.is_closed

# A closed argument is refused after the value was taken out.
other = KitBox([3.0]); other.free()
raises(RuntimeError, "owner has been consumed", lambda: box.into_merged(other))
assert box.is_closed

box = KitBox([1.0]); merged = box.into_merged(KitBox([2.0]))
assert merged.total() == 3.0 and box.is_closed
)py");
}

TEST_F(Kit, BorrowConflictsFromReentrantCallbacks) {
    run(R"py(
box = KitBox([1.0])
raises(RuntimeError, "Already borrowed", lambda: box.read_with(lambda: box.push(2.0)))
raises(RuntimeError, "Already borrowed", lambda: box.read_with(lambda: box.free()))
box.read_with(lambda: box.total())          # shared borrows stack
raises(RuntimeError, "Already mutably borrowed", lambda: box.write_with(lambda: box.total()))
raises(RuntimeError, "Already mutably borrowed", lambda: box.write_with(lambda: box.is_closed))
raises(RuntimeError, "Already mutably borrowed", lambda: box.absorb(box))
assert box.total() == 1.0 and not box.is_closed   # every borrow was released
box.push(2.0)
assert box.total() == 3.0
)py");
}

TEST_F(Kit, ConversionBeforeClosedChecks) {
    run(R"py(
box = KitBox([1.0]); box.free(); box.free(); box.close()
assert box.is_closed
raises(TypeError, "cannot be converted to 'KitBox'", lambda: box.absorb(1))
closed_argument = KitBox([2.0]); closed_argument.free()
raises(RuntimeError, "owner has been consumed", lambda: box.absorb(closed_argument))
raises(RuntimeError, "owner has been consumed", lambda: box.first)
raises(RuntimeError, "owner has been consumed", lambda: box.cloned())
raises(TypeError, "argument 'value'", lambda: setattr(box, "first", "x"))   # converted first
raises(RuntimeError, "owner has been consumed", lambda: setattr(box, "first", 1.0))
open_box = KitBox([1.0])
raises(RuntimeError, "owner has been consumed", lambda: open_box.absorb(closed_argument))
)py");
}

TEST_F(Kit, ArgumentConversionRules) {
    run(R"py(
box = KitBox((1.0, 2, 3.5))
assert box.total() == 6.5
assert box.index_of(2) == 3.5 and box.index_of(3) is None and box.index_of(2**64 - 1) is None
raises(OverflowError, "", lambda: box.index_of(-1))
raises(OverflowError, "", lambda: box.index_of(2**64))
raises(TypeError, "argument 'index'", lambda: box.index_of(1.0))
raises(OverflowError, "out of range integral type conversion attempted", lambda: box.bits(-1))
raises(OverflowError, "out of range integral type conversion attempted", lambda: box.bits(2**32))
assert box.bits(2**32 - 1) == 2**32 - 1
raises(TypeError, "Can't extract `str` to `Vec`", lambda: KitBox("12"))
raises(TypeError, "argument 'values'", lambda: KitBox(3))
raises(TypeError, "missing 1 required positional argument: 'values'", lambda: KitBox())
raises(TypeError, "unexpected keyword argument 'x'", lambda: box.push(1.0, x=2))
raises(TypeError, "multiple values for argument 'value'", lambda: box.push(1.0, value=2))
raises(TypeError, "takes 1 positional argument but 2 were given", lambda: box.push(1.0, 2.0))
box.push(value=1.5)
assert box.total() == 8.0
assert KitBox.make(count=3).total() == 3.0
try:
    import array
    assert KitBox(array.array("d", [0.5, 0.25])).total() == 0.75
    assert KitBox(array.array("f", [0.5])).total() == 0.5
except ImportError:
    pass
)py");
}

// A sequence's length is measured at the width of the value made from it, before any item is
// read; what its __len__ raises propagates as list() propagates it.
TEST_F(Kit, SequenceLengths) {
    run(R"py(
class Claims:
    """Claims `length` (or raises `error` from __len__) and holds `items` items 0, 1, ..."""
    def __init__(self, length, items=3, error=None):
        self.length, self.items, self.error, self.read = length, items, error, 0
    def __len__(self):
        if self.error is not None:
            raise self.error
        return self.length
    def __getitem__(self, index):
        if index >= self.items:
            raise IndexError(index)
        self.read += 1
        return index

class Unsized:
    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        return 1.5

for kind in (RuntimeError, ValueError, KeyboardInterrupt, OverflowError):
    claims = Claims(3, error=kind("from __len__"))
    raises(kind, "from __len__", lambda: KitBox(claims))
    assert claims.read == 0
# No length is an unknown length, as for list().
assert KitBox(Claims(3, error=TypeError("no length"))).total() == 3.0
assert KitBox(Unsized()).total() == 4.5
# A claimed length is taken at once; what the items do not fill is given back.
assert KitBox.capacity(Claims(3)) == 3 and KitBox.capacity(Claims(1000)) == 3
# Longer than Py_ssize_t.
raises(MemoryError, "", lambda: KitBox(range(2**64)))
raises(MemoryError, "", lambda: KitBox(Claims(2**64)))

# Range-checked as 32-bit, measured at 64 bits.
assert KitBox.widened([0, 7, 2**32 - 1]) == [0, 7, 2**32 - 1]
raises(OverflowError, "out of range integral type conversion attempted",
       lambda: KitBox.widened([1, 2**32]))
raises(OverflowError, "out of range integral type conversion attempted",
       lambda: KitBox.widened([-1]))
wide = Claims(CEILING // 8 + 1)
raises(MemoryError, "", lambda: KitBox.widened(wide))
assert wide.read == 0
)py");
}

// A table grows past an understated or unknown length on the ordinary heap: no block of a
// growth step is left to the shared cache. Each case is four times the last, so no block the
// last one left is reused.
TEST_F(Kit, TablesGrowOutsideTheBlockCache) {
    run(R"py(
class Understated:
    def __init__(self, items):
        self.items = items
    def __len__(self):
        return 3
    def __getitem__(self, index):
        if index >= self.items:
            raise IndexError(index)
        return index

class Unsized(Understated):
    __len__ = None

for items, kind in ((50_000, Understated), (200_000, Unsized), (800_000, Understated)):
    before = kept_bytes()
    length, total, kept = KitBox.table(kind(items))
    # The table's own block may make the cache give kept blocks back, never keep more.
    assert (length, total) == (items, items * (items - 1) / 2) and kept <= before, kind
)py");
}

TEST_F(Kit, CopiesInAndOutAndWriters) {
    run(R"py(
source = KitBox([1.0, 2.0])
copy = source.cloned()
source.push(5.0)
assert copy.total() == 3.0 and source.total() == 8.0
source.free()
assert copy.total() == 3.0
copy.first = 10.0
assert copy.first == 10.0
empty = KitBox([])
raises(ValueError, "box is empty", lambda: setattr(empty, "first", 1.0))
raises(AttributeError, "property has no deleter", lambda: delattr(copy, "first"))
assert copy.first == 10.0
)py");
}

TEST_F(Kit, ThreadBoundClasses) {
    run(R"py(
import sys, threading

def in_thread(call):
    outcome = []
    def body():
        try:
            outcome.append(call())
        except BaseException as error:
            outcome.append(error)
    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    return outcome[0]

bound = KitBound()
sent = "_tarvek_rs::binding_kitbound::KitBound is unsendable, but sent to another thread"
for use in (lambda: bound.touch(), lambda: bound.live, lambda: bound.is_closed,
            lambda: bound.free()):
    fault = in_thread(use)
    assert not isinstance(fault, Exception) and str(fault) == sent, fault
assert not bound.is_closed and bound.live == 1, (bound.is_closed, bound.live)
fault = in_thread(lambda: bound.touch(1))  # binding the arguments comes first
assert type(fault) is TypeError, fault

reports = []
previous, sys.unraisablehook = sys.unraisablehook, reports.append
try:
    holder = [bound]
    del bound
    in_thread(holder.clear)
finally:
    sys.unraisablehook = previous
assert len(reports) == 1 and type(reports[0].exc_value) is RuntimeError, reports
assert str(reports[0].exc_value) == (
    "_tarvek_rs::binding_kitbound::KitBound is unsendable, but is being dropped on another thread")
assert live_tracked() == 0, live_tracked()  # the value was freed all the same
assert in_thread(lambda: KitBox([1.0]).total()) == 1.0  # unbound classes work anywhere
)py");
}

}  // namespace
}  // namespace tarvek::py
