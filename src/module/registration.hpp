#pragma once
// The module function, run by the module's execution slot.

#include "module/kit/python.hpp"

namespace tarvek::py {

// Adds every registered class and function to `module` in the fixed registration order, then
// `__version__`, appending each name to `__all__` as it is added. A name registered but not in
// the order, or in the order but not registered, raises SystemError before anything is added.
// Throws PythonError with the error set.
void register_everything(PyObject* module);

}  // namespace tarvek::py
