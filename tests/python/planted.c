/* Leaks planted on purpose, for the tests that prove the leak checks see them: a reference taken
 * through the C API and never given back, as a module that forgot a Py_DECREF would keep it. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* keep_reference(PyObject* self, PyObject* obj) {
    (void)self;
    Py_INCREF(obj);
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"keep_reference", keep_reference, METH_O, "Takes a reference to obj and keeps it."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef planted_module = {
    PyModuleDef_HEAD_INIT, "planted", "Planted leaks for the leak checks' own tests.", -1, methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_planted(void) { return PyModule_Create(&planted_module); }
