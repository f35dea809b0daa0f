// The module's registration checks, with no binding file linked in: every name of the order is
// missing, and the test registers or records the faults the other checks look for. Each check
// raises SystemError before anything is added to the module.

#include <gtest/gtest.h>

#include <string>

#include "module/kit/registry.hpp"
#include "module/registration.hpp"

namespace tarvek::py {
namespace {

// The message of the SystemError `register_everything` raises, or what went wrong instead.
std::string registration_error(PyObject* module) {
    const bool failed = guarded<bool>(true, [&] {
        register_everything(module);
        return false;
    });
    if (!failed) return "no error";
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref text = Ref::steal(value ? PyObject_Str(value) : nullptr);
    std::string message =
        type == PyExc_SystemError && text ? PyUnicode_AsUTF8(text.get()) : "another exception";
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();
    return message;
}

PyObject* probe(PyObject*, PyObject*) {
    return Py_NewRef(Py_None);
}
PyMethodDef probe_definition = {"registration_probe", &probe, METH_NOARGS, nullptr};

TEST(Registration, EachCheckRefusesBeforeAnythingIsAdded) {
    Py_Initialize();
    Ref module = Ref::steal(PyModule_New("registration_probe_module"));
    ASSERT_TRUE(module);

    // In the order but registered by no binding file: the first name of the order.
    EXPECT_EQ(registration_error(module.get()), "missing registration: DecodedStreamF32");
    // Registered but not in the order, which is checked first.
    register_function_entry("registration_probe", &probe_definition);
    EXPECT_EQ(registration_error(module.get()), "unknown registration: registration_probe");
    // A fault kept from load time comes before both.
    record_registration_fault("class registered twice");
    EXPECT_EQ(registration_error(module.get()), "class registered twice");

    EXPECT_FALSE(PyObject_HasAttrString(module.get(), "__all__"));
}

}  // namespace
}  // namespace tarvek::py
