// Asset materialization: what the module registers of it.
#pragma once

#include <Python.h>

namespace kevro {

/// Registers `materialize_asset`. Returns -1 with an exception set on failure.
int add_worker(PyObject* module);

}  // namespace kevro
