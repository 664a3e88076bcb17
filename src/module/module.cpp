// Module entry: creates `_kevro` once per process and registers its classes and functions.
#include <Python.h>

#include "asset/asset.h"
#include "common/errors.h"
#include "common/ref.h"
#include "inspect/inspect.h"
#include "worker/worker.h"

namespace kevro {

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_kevro",
    .m_doc = "The native `_kevro` module.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module, once it has been initialised successfully; kept for the life of the process.
PyObject* cached_module = nullptr;

PyObject* init_module() {
    if (cached_module != nullptr) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) {
        ensure_error();
        return nullptr;
    }
    // Each area registers what it owns, in the order in which `__all__` lists it.
    if (add_asset(module.get()) < 0 || add_inspect(module.get()) < 0 ||
        add_worker(module.get()) < 0) {
        ensure_error();
        return nullptr;
    }
    cached_module = module.new_ref();
    return module.release();
}

}  // namespace
}  // namespace kevro

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kevro() noexcept {
    return kevro::boundary([] { return kevro::init_module(); });
}
