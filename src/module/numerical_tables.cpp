// The numeric coefficient tables from Python: the enumeration of the two tables, views that
// read and atomically replace single entries, cursors that walk a table from either end, and
// the module functions that evaluate the table-driven operations.

#include <optional>
#include <string>
#include <vector>

#include "core/numerics/error.hpp"
#include "core/numerics/numerics.hpp"
#include "module/kit/registry.hpp"

namespace tarvek::py {
namespace {

using numerics::CoefficientTable;
constexpr std::size_t table_length = numerics::table_length;

// ---- NumericalTable: the closed two-member enumeration ---------------------------------

struct NumericalTableEnum {
    using Value = CoefficientTable;
    static std::string name() { return "NumericalTable"; }

    static void define(ClassBuilder<NumericalTableEnum>& c) {
        c.without_closing();
        c.slot(Py_tp_repr, reinterpret_cast<void*>(&repr));
        c.slot(Py_tp_richcompare, reinterpret_cast<void*>(&compare));
        c.slot(Py_nb_int, reinterpret_cast<void*>(&to_int));
    }

    // The two members: one shared instance each.
    static void finish(PyTypeObject* type) {
        for (auto [member, code] : {std::pair{"LogAdd", CoefficientTable::log_add},
                                    std::pair{"Exponential", CoefficientTable::exponential}}) {
            Object instance = make_object<NumericalTableEnum>(code);
            if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), member,
                                       instance.ref.get()) != 0) {
                raise_pending();
            }
        }
    }

    static CoefficientTable code_of(PyObject* self) { return *instance_cast<Value>(self)->value; }

    static PyObject* repr(PyObject* self) {
        return PyUnicode_FromString(code_of(self) == CoefficientTable::log_add
                                        ? "NumericalTable.LogAdd"
                                        : "NumericalTable.Exponential");
    }

    static PyObject* to_int(PyObject* self) {
        return PyLong_FromLong(static_cast<long>(code_of(self)));
    }

    // Equality with another member or anything that converts to a 64-bit integer; ordering is
    // not defined.
    static PyObject* compare(PyObject* self, PyObject* other, int op) {
        if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
        long long other_code;
        if (Py_TYPE(other) == Py_TYPE(self)) {
            other_code = static_cast<long long>(code_of(other));
        } else {
            PyObject* index = PyNumber_Index(other);
            if (index == nullptr) {
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
            other_code = PyLong_AsLongLong(index);
            Py_DECREF(index);
            if (other_code == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
        }
        const bool equal = static_cast<long long>(code_of(self)) == other_code;
        return Py_NewRef((op == Py_EQ) == equal ? Py_True : Py_False);
    }
};

// ---- NumericalIteratorF32/F64: a cursor over the live table ----------------------------

struct TableCursor {
    std::size_t front = 0;
    std::size_t back = table_length;
    CoefficientTable table = CoefficientTable::log_add;
};

template <Scalar S>
S live_entry(CoefficientTable table, std::size_t index) {
    return *numerics::read_entry<S>(table, index);
}

template <Scalar S>
struct NumericalIteratorClass {
    using Value = TableCursor;
    static std::string name() { return std::string("NumericalIterator") + Precision<S>::suffix; }

    static std::optional<S> next_front(TableCursor& cursor) {
        if (cursor.front == cursor.back) return std::nullopt;
        return live_entry<S>(cursor.table, cursor.front++);
    }
    static std::optional<S> next_back(TableCursor& cursor) {
        if (cursor.front == cursor.back) return std::nullopt;
        return live_entry<S>(cursor.table, --cursor.back);
    }
    static std::vector<S> as_storage(std::optional<S> entry) {
        return entry ? std::vector<S>{*entry} : std::vector<S>{};
    }

    static void define(ClassBuilder<NumericalIteratorClass>& c) {
        c.method("next_value()", [](TableCursor& cursor) { return next_front(cursor); });
        c.method("next_back_value()", [](TableCursor& cursor) { return next_back(cursor); });
        c.method("next_storage()",
                 [](TableCursor& cursor) { return as_storage(next_front(cursor)); });
        c.method("next_back_storage()",
                 [](TableCursor& cursor) { return as_storage(next_back(cursor)); });
        c.property("length", [](const TableCursor& cursor) { return cursor.back - cursor.front; });
    }
};

// ---- NumericalTableF32/F64: a view of one table ----------------------------------------

template <Scalar S>
struct NumericalTableClass {
    using Value = CoefficientTable;
    static std::string name() { return std::string("NumericalTable") + Precision<S>::suffix; }

    static void define(ClassBuilder<NumericalTableClass>& c) {
        c.constructor("(code)", [](std::uint32_t code) {
            if (code > 1) throw ModelError("invalid numerical coefficient table");
            return static_cast<CoefficientTable>(code);
        });
        c.method("get(index)", [](const Value& table, std::uint64_t index) {
            return numerics::read_entry<S>(table, index);
        });
        c.method("get_storage(index)", [](const Value& table, std::uint64_t index) {
            return NumericalIteratorClass<S>::as_storage(numerics::read_entry<S>(table, index));
        });
        c.method("replace(index, value)", [](const Value& table, std::uint64_t index, S value) {
            return numerics::replace_entry<S>(table, index, value);
        });
        c.method("replace_storage(index, values)",
                 [](const Value& table, std::uint64_t index, const std::vector<S>& values) {
                     if (values.size() != 1) {
                         throw ModelError("coefficient replacement requires one value");
                     }
                     return NumericalIteratorClass<S>::as_storage(
                         numerics::replace_entry<S>(table, index, values[0]));
                 });
        c.method("values()", [](const Value& table) {
            std::vector<S> values(table_length);
            for (std::size_t i = 0; i < table_length; ++i) values[i] = live_entry<S>(table, i);
            return values;
        });
        c.method("iter()", [](const Value& table) {
            return make_object<NumericalIteratorClass<S>>(TableCursor{0, table_length, table});
        });
        c.cloned();
        c.method("is_empty()", [](const Value&) { return false; });
        c.property("length", [](const Value&) { return table_length; });
    }
};

// ---- module functions -------------------------------------------------------------------

template <Scalar S>
void register_numerical_functions() {
    const std::string suffix = Precision<S>::lower;
    register_function("numerical_log_add_" + suffix + "(a, b)",
                      [](S a, S b) { return numerics::log_add(a, b); });
    register_function("numerical_exponential_" + suffix + "(value)",
                      [](S value) { return numerics::exponential(value); });
    register_function("numerical_negative_exponential_" + suffix + "(value)",
                      [](S value) { return numerics::negative_exponential(value); });
    register_function("numerical_log_add_table_" + suffix + "()", [] {
        return make_object<NumericalIteratorClass<S>>(
            TableCursor{0, table_length, CoefficientTable::log_add});
    });
    register_function("numerical_exponential_table_" + suffix + "()", [] {
        return make_object<NumericalIteratorClass<S>>(
            TableCursor{0, table_length, CoefficientTable::exponential});
    });
}

const Registration registration{[] {
    register_class<NumericalTableEnum>();
    register_class<NumericalTableClass<float>>();
    register_class<NumericalTableClass<double>>();
    register_class<NumericalIteratorClass<float>>();
    register_class<NumericalIteratorClass<double>>();
    register_numerical_functions<float>();
    register_numerical_functions<double>();
    // Table lengths and steps, the duration-update occupancy threshold, and log zero in
    // both precisions.
    register_function("numerical_constants()", [] {
        return std::vector<double>{static_cast<double>(table_length),
                                   numerics::log_add_step,
                                   static_cast<double>(table_length),
                                   -numerics::exponential_step,
                                   1e-7,
                                   static_cast<double>(log_zero<float>),
                                   log_zero<double>};
    });
}};

}  // namespace
}  // namespace tarvek::py
