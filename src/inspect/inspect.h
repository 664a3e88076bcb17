// Module inspection: what the module registers of it.
#pragma once

#include <Python.h>

namespace kevro {

/// Registers `inspect_modules`. Returns -1 with an exception set on failure.
int add_inspect(PyObject* module);

}  // namespace kevro
