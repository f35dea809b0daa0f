// The module's two entry points and its execution function. Interpreters before 3.15 load the
// module through `PyInit__tarvek_rs` (multi-phase initialisation); from 3.15 on the interpreter
// asks `PyModExport__tarvek_rs` for the slot array below. The array is laid out here record by
// record rather than with the interpreter's slot type, so it is built and exported, with the
// same bytes, whichever interpreter's headers the module is compiled against.

#include <cstddef>
#include <cstdint>

#include "module/kit/errors.hpp"
#include "module/registration.hpp"

namespace tarvek::py {
namespace {

int execute_module(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        if (module == nullptr) raise_pending();
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                         Py_TYPE(module)->tp_name);
            throw PythonError();
        }
        register_everything(module);
        return 0;
    });
}

// One record of an exported slot array: 16-bit id, 16-bit flags, 32 zero bits, 8-byte value.
struct SlotRecord {
    std::uint16_t id;
    std::uint16_t flags;
    std::uint32_t reserved;
    union Value {
        const void* pointer;
        int (*function)(PyObject*);
        std::uint64_t integer;
    } value;
};
static_assert(sizeof(SlotRecord) == 16);
static_assert(offsetof(SlotRecord, id) == 0 && offsetof(SlotRecord, flags) == 2 &&
              offsetof(SlotRecord, reserved) == 4 && offsetof(SlotRecord, value) == 8);

constexpr std::uint16_t slot_end = 0;
constexpr std::uint16_t slot_execution = 85;
constexpr std::uint16_t slot_interpreter_lock = 87;
constexpr std::uint16_t slot_subslots = 92;
constexpr std::uint16_t slot_name = 100;
constexpr std::uint16_t slot_doc = 101;
constexpr std::uint16_t slot_abi = 109;
// The value points to data that lives as long as the process.
constexpr std::uint16_t flag_static = 0x0002;
// The value is an integer, not a pointer.
constexpr std::uint16_t flag_integer = 0x0004;

// The ABI the module is built for: record version 1.0, an interpreter with the interpreter
// lock (0x0002); build and ABI versions 0, which the interpreter does not compare.
struct AbiInfo {
    std::uint8_t major_version;
    std::uint8_t minor_version;
    std::uint16_t flags;
    std::uint32_t build_version;
    std::uint32_t abi_version;
    std::uint32_t reserved;
};
static_assert(sizeof(AbiInfo) == 16);

constexpr AbiInfo abi_info{1, 0, 0x0002, 0, 0, 0};

constexpr SlotRecord exported_slots[] = {
    {slot_execution, 0, 0, {.function = &execute_module}},
    {slot_abi, flag_static, 0, {.pointer = &abi_info}},
    // The module keeps no interpreter state of its own; objects guard themselves with their
    // borrow flags.
    {slot_interpreter_lock, flag_integer, 0, {.integer = 1}},
    {slot_name, flag_static, 0, {.pointer = "_tarvek_rs"}},
    {slot_doc, flag_static, 0, {.pointer = ""}},
    {slot_end, 0, 0, {.integer = 0}},
};

#ifdef Py_slot_subslots
static_assert(Py_slot_subslots == slot_subslots);
// The classic definition leads to the same array.
PyModuleDef_Slot module_slots[] = {
    {slot_subslots, const_cast<SlotRecord*>(exported_slots)},
    {0, nullptr},
};
#else
// Interpreters without slot records know only the classic slots.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};
#endif

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tarvek_rs",  // name
    "",            // doc: empty, not absent
    0,             // no per-module state
    nullptr,       // no methods: functions are added by the execution slot
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarvek::py

extern "C" PyMODINIT_FUNC PyInit__tarvek_rs() {
    return PyModuleDef_Init(&tarvek::py::module_definition);
}

// Hands out the static array and touches nothing of the interpreter, so it is exported on every
// interpreter; those before 3.15 never look for it.
extern "C" Py_EXPORTED_SYMBOL const void* PyModExport__tarvek_rs() {
    return tarvek::py::exported_slots;
}
