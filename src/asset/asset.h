// Asset declaration: what the module registers of it.
#pragma once

#include <Python.h>

namespace kevro {

/// Registers `AssetWrapper`, `Partitions`, `asset` and `partitions`, in this order. Returns -1
/// with an exception set at the first failure.
int add_asset(PyObject* module);

}  // namespace kevro
